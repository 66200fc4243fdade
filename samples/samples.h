#pragma once
// The 26 tone streams, opened once at start-up and freed once at the end.

#include "platform/audio.h"

inline constexpr int FREQUENCY_COUNT = 13;
inline constexpr int EAR_COUNT = 2;

// [frequency index][ear]; 0 where a file could not be opened. Written only by
// Create_Samples on the main thread before any background thread exists.
extern AudioHandle SinSample[FREQUENCY_COUNT][EAR_COUNT];

// The frequency of each index in Hz, lowest first.
extern const int kFrequencyHz[FREQUENCY_COUNT];

// Fills buffer with the relative path of the tone file for (frequency index, ear).
void Sample_Path(int frequencyIndex, int ear, char *buffer, int bufferSize);

// Whether an open stream sounds as its entry promises: 96000 Hz (the rate every player
// asks for), two channels, the tone in the ear's own channel and the other one silent
// (a mono file would sound in both ears).
bool Tone_Fits_Ear(AudioHandle handle, int ear);

// Left ear's 13 files first, then the right ear's, each lowest frequency first. A file
// that opens but does not fit its ear is freed again and leaves 0.
void Create_Samples();
// Frees every entry, 0 entries included, frequency by frequency, left before right.
void Free_Samples();

// Why nothing can be heard when no sound output works: shown at start-up, and again when a
// hearing test is asked for then.
extern const char kNoOutputText[];
// The same, when a stimulation is started then: it runs, unheard until the output is back.
extern const char kNoOutputStimulationText[];
