#include "samples/samples.h"

#include <atomic>
#include <cstdio>

#include "app/globals.h"
#include "platform/audio.h"
#include "platform/sys.h"

AudioHandle SinSample[FREQUENCY_COUNT][EAR_COUNT] = {};

const char kNoOutputText[] =
    "No sound output works: no tone can be heard, so a hearing test cannot start. Velmora "
    "tries to open the output every 2 seconds; once the sound system runs, start the test "
    "again.\n";
const char kNoOutputStimulationText[] =
    "The sound output does not work: the stimulation runs and will be heard once the output "
    "is back. Velmora tries to open the output every 2 seconds.\n";

void Describe_Ears_Together(bool test, char *buffer, int bufferSize)
{
    char name[128];
    Audio_OutputName(name, sizeof name);
    buffer[0] = '\0';
    Append_Text(buffer, bufferSize,
                "The sound output \"%s\" has no separate left and right channels: both ears would hear "
                "every tone. %s\n",
                name,
                test ? "A hearing test of one ear cannot start on it. Choose a stereo output, such as "
                       "headphones, and start the test again."
                     : "The stimulation runs, in both ears.");
}

const int kFrequencyHz[FREQUENCY_COUNT] = {125, 250, 500, 750, 1000, 1500, 2000, 3000, 4000, 6000, 8000, 10000, 12000};

void Sample_Path(int frequencyIndex, int ear, char *buffer, int bufferSize)
{
    std::snprintf(buffer, static_cast<std::size_t>(bufferSize), "Samples/Sinus_96000%c_%05dHz_0dB.wav",
                  ear == 0 ? 'L' : 'R', kFrequencyHz[frequencyIndex]);
}

namespace {

// Written by Create_Samples, then only from pending to ready or refused (Sample_State).
std::atomic<int> iArySampleState[FREQUENCY_COUNT][EAR_COUNT];

// What the header tells: the rate and channel count every player relies on.
bool Header_Fits_Ear(AudioHandle handle, AudioInfo *info)
{
    return Audio_ChannelGetInfo(handle, info) != 0 && info->freq == 96000 && info->chans == 2;
}

}  // namespace

bool Tone_Fits_Ear(AudioHandle handle, int ear)
{
    AudioInfo info;
    const std::uint32_t own = 1u << ear;
    const std::uint32_t other = 1u << (1 - ear);
    return Header_Fits_Ear(handle, &info) && (info.silent & other) != 0 && (info.silent & own) == 0;
}

int Sample_State(int frequencyIndex, int ear)
{
    const AudioHandle handle = SinSample[frequencyIndex][ear];
    std::atomic<int> &word = iArySampleState[frequencyIndex][ear];
    int state = word.load();
    if (handle == 0) {
        return SAMPLE_REFUSED;
    }
    if (state != SAMPLE_PENDING) {
        return state;
    }
    const int read = Audio_StreamReady(handle);
    if (read == 0) {
        return SAMPLE_PENDING;
    }
    // A tone in the wrong ear would be charted as if it were right: such a file is as good
    // as missing. Two threads that get here at once reach the same verdict.
    const int verdict = read == 1 && Tone_Fits_Ear(handle, ear) ? SAMPLE_READY : SAMPLE_REFUSED;
    word.compare_exchange_strong(state, verdict);
    return word.load();
}

AudioHandle Sample_Wait(int frequencyIndex, int ear, bool (*stopped)(void *), void *data)
{
    int state = Sample_State(frequencyIndex, ear);
    while (state == SAMPLE_PENDING && !stopped(data)) {
        Sys_Sleep(SAMPLE_WAIT_MS);
        state = Sample_State(frequencyIndex, ear);
    }
    return state == SAMPLE_READY ? SinSample[frequencyIndex][ear] : 0;
}

int Samples_Checked()
{
    for (int ear = 0; ear < EAR_COUNT; ++ear) {
        for (int f = 0; f < FREQUENCY_COUNT; ++f) {
            if (Sample_State(f, ear) == SAMPLE_PENDING) {
                return 0;
            }
        }
    }
    return 1;
}

void Create_Samples()
{
    char path[64];
    for (int ear = 0; ear < EAR_COUNT; ++ear) {
        for (int f = 0; f < FREQUENCY_COUNT; ++f) {
            Sample_Path(f, ear, path, sizeof path);
            iArySampleState[f][ear].store(SAMPLE_PENDING);
            SinSample[f][ear] = Audio_StreamCreateFile(0, path, 0, 0, AUDIO_ASYNCFILE);
            // A tone at the wrong pitch would be charted as if it were right: named at
            // start-up as missing. The header says so at once; the channels come later.
            AudioInfo header;
            if (SinSample[f][ear] != 0 && !Header_Fits_Ear(SinSample[f][ear], &header)) {
                Audio_StreamFree(SinSample[f][ear]);
                SinSample[f][ear] = 0;
            }
        }
    }
}

void Free_Samples()
{
    // The process ends soon after: no file may still be read then.
    while (Samples_Checked() == 0) {
        Sys_Sleep(SAMPLE_WAIT_MS);
    }
    for (int f = 0; f < FREQUENCY_COUNT; ++f) {
        Audio_StreamFree(SinSample[f][0]);
        Audio_StreamFree(SinSample[f][1]);
    }
}
