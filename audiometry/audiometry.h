#pragma once
// The hearing test: its three buttons and the pass that runs in the background.

// Control callback of START_AUDIOMETRIE_L, START_AUDIOMETRIE_R and STOP_AUDIOMETRIE.
// Main thread; never waits.
int Audiometrie_Button(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);

// One pass over the 13 frequencies on the ear that functionData points to (an int, 0 left,
// 1 right). Runs on a pool thread for minutes; only sleeps, never waits on a lock.
int Audiometrie(void *functionData);

// Mark of a frequency answered after `steps` level steps (25: not answered).
inline constexpr int AUDIOMETRY_STEP_LIMIT = 25;
inline constexpr double AUDIOMETRY_FIRST_LEVEL = 0.01;
inline constexpr double AUDIOMETRY_STEP_FACTOR = 1.41421356;
inline constexpr unsigned AUDIOMETRY_TONE_INTERVAL_MS = 1400;

// The first step whose tone cannot sound at its level under this master volume, for a
// stream whose file peaks at `peak`: the engine holds louder requests at full scale, so
// from this step on the tones no longer grow 3 dB a step. AUDIOMETRY_STEP_LIMIT when the
// whole ladder fits.
int First_Capped_Step(float masterVolume, float peak);
// The highest setting of the master volume slide (a multiple of its 0.005 increment) at
// which the whole ladder fits for that peak; 0 when none does.
double Highest_Fitting_Master(float peak);
