#pragma once
// The 26 tone streams, opened once at start-up and freed once at the end.

#include "platform/audio.h"

inline constexpr int FREQUENCY_COUNT = 13;
inline constexpr int EAR_COUNT = 2;

// [frequency index][ear]; 0 where a file could not be opened or its header does not fit its
// ear. Written only by Create_Samples on the main thread before any background thread
// exists. A stream is read behind its handle: ask Sample_State before driving it.
extern AudioHandle SinSample[FREQUENCY_COUNT][EAR_COUNT];

// What a procedure may do with an entry: drive it (ready), wait for it (pending), or treat
// it as 0 (refused: a 0 entry, or a file that failed a check past its header; it never
// sounds and stays refused).
inline constexpr int SAMPLE_REFUSED = -1;
inline constexpr int SAMPLE_PENDING = 0;
inline constexpr int SAMPLE_READY = 1;
// Any thread; never waits. The first call that finds a stream read makes its last check.
int Sample_State(int frequencyIndex, int ear);
// Holds the calling thread through Sys_Sleep, SAMPLE_WAIT_MS at a time, while the entry is
// pending and stopped(data) is false. Returns the handle to drive: the entry once ready, 0
// when refused or still pending when stopped.
inline constexpr unsigned SAMPLE_WAIT_MS = 10;
AudioHandle Sample_Wait(int frequencyIndex, int ear, bool (*stopped)(void *), void *data);
// 1 once no entry is pending: every file has been read and checked.
int Samples_Checked();

// The frequency of each index in Hz, lowest first.
extern const int kFrequencyHz[FREQUENCY_COUNT];

// Fills buffer with the relative path of the tone file for (frequency index, ear).
void Sample_Path(int frequencyIndex, int ear, char *buffer, int bufferSize);

// Whether an open stream sounds as its entry promises: 96000 Hz (the rate every player
// asks for), two channels, the tone in the ear's own channel and the other one silent
// (a mono file would sound in both ears). The channels are known only once it is read.
bool Tone_Fits_Ear(AudioHandle handle, int ear);

// Left ear's 13 files first, then the right ear's, each lowest frequency first. Returns
// once the headers are read; the files are read behind their handles in the same order.
// A file whose header does not fit its ear (rate, channel count) is freed again and
// leaves 0.
void Create_Samples();
// Waits for every file to be read, then frees every entry, 0 entries included, frequency
// by frequency, left before right. Main thread.
void Free_Samples();

// Why nothing can be heard when no sound output works: shown at start-up, and again when a
// hearing test is asked for then.
extern const char kNoOutputText[];
// The same, when a stimulation is started then: it runs, unheard until the output is back.
extern const char kNoOutputStimulationText[];
// Why an output without a left and a right channel (a mono headset, a speakerphone) cannot
// test one ear: both ears would hear every tone. Names the output; for the hearing test,
// which refuses it, or the stimulation, which runs.
void Describe_Ears_Together(bool test, char *buffer, int bufferSize);
