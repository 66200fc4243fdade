#pragma once
// The empty audiogram and the mapping from a test result to canvas pixels.

inline constexpr int CHART_BACKGROUND = 0xF0F0F0;

// x pixel of each frequency's column; the name is the shared table's, the values are x.
extern const int iAryYPos[13];
// Column labels, kHz with a decimal comma.
extern const char iAryXStr[13][6];

// y pixel of a result that took `steps` level steps: 40 + 12.5 * steps, truncated.
int Chart_StepY(int steps);

// Draws the empty chart on EAR_LEFT when iLeftRight is 0, on EAR_RIGHT otherwise.
// Leaves that canvas's pen black, width 1, fill colour the background. Any thread.
void Clear_Canvas();
