#pragma once
// The tone stimulation: one button that starts and stops it, and the run in the background.

// Control callback of START_STIMULATION. Main thread; never waits.
int Stimulation_Button(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);

// Plays tone bursts until iStimulationRunning is 0 at a cycle head. Pool thread; only
// sleeps. At most one runs at a time (uStimulationState).
int Stimulation(void *functionData);

inline constexpr int STIMULATION_FIRST_BLOCK = 10;
inline constexpr unsigned STIMULATION_BLOCK_BREAK_MS = 3000;
inline constexpr int STIMULATION_NOMINAL_RATE = 96000;
inline constexpr float STIMULATION_MASTER_VOLUME = 0.5f;
inline constexpr unsigned STIMULATION_MUTE_MS = 10;
