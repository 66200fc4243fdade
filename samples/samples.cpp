#include "samples/samples.h"

#include <cstdio>

AudioHandle SinSample[FREQUENCY_COUNT][EAR_COUNT] = {};

const char kNoOutputText[] =
    "No sound output works: no tone can be heard, so a hearing test cannot start. Velmora "
    "tries to open the output every 2 seconds; once the sound system runs, start the test "
    "again.\n";
const char kNoOutputStimulationText[] =
    "The sound output does not work: the stimulation runs and will be heard once the output "
    "is back. Velmora tries to open the output every 2 seconds.\n";

const int kFrequencyHz[FREQUENCY_COUNT] = {125, 250, 500, 750, 1000, 1500, 2000, 3000, 4000, 6000, 8000, 10000, 12000};

void Sample_Path(int frequencyIndex, int ear, char *buffer, int bufferSize)
{
    std::snprintf(buffer, static_cast<std::size_t>(bufferSize), "Samples/Sinus_96000%c_%05dHz_0dB.wav",
                  ear == 0 ? 'L' : 'R', kFrequencyHz[frequencyIndex]);
}

bool Tone_Fits_Ear(AudioHandle handle, int ear)
{
    AudioInfo info;
    if (Audio_ChannelGetInfo(handle, &info) == 0) {
        return false;
    }
    const std::uint32_t own = 1u << ear;
    const std::uint32_t other = 1u << (1 - ear);
    return info.freq == 96000 && info.chans == 2 && (info.silent & other) != 0 && (info.silent & own) == 0;
}

void Create_Samples()
{
    char path[64];
    for (int ear = 0; ear < EAR_COUNT; ++ear) {
        for (int f = 0; f < FREQUENCY_COUNT; ++f) {
            Sample_Path(f, ear, path, sizeof path);
            SinSample[f][ear] = Audio_StreamCreateFile(0, path, 0, 0, AUDIO_ASYNCFILE);
            // A tone at the wrong pitch or in the wrong ear would be charted as if it were
            // right: such a file is as good as missing, and is named as such at start-up.
            if (SinSample[f][ear] != 0 && !Tone_Fits_Ear(SinSample[f][ear], ear)) {
                Audio_StreamFree(SinSample[f][ear]);
                SinSample[f][ear] = 0;
            }
        }
    }
}

void Free_Samples()
{
    for (int f = 0; f < FREQUENCY_COUNT; ++f) {
        Audio_StreamFree(SinSample[f][0]);
        Audio_StreamFree(SinSample[f][1]);
    }
}
