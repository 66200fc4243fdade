// Quitting while a resampled tone sounds: main returns with the audio thread still reading
// the resampler's kernels, and everything that exit tears down before the output is closed
// must stay readable until then. What fails here fails at exit, under the address or thread
// sanitizer (a read after free, a race with a destructor); the test body only makes sure
// the tone is really sounding at a shifted rate when main returns.
#include "platform/audio.h"
#include "platform/audio/engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Exit work that comes before the output is closed (in the program, the toolkit's
// teardown). Registered right after Audio_Init, it runs once exit has torn down everything
// made later, the resampler's tables among them if they could be, and the audio thread
// renders on meanwhile.
void holdExit() { std::this_thread::sleep_for(100ms); }

TEST(AudioExit, MainReturnsWhileAResampledToneSounds)
{
    ASSERT_NE(std::getenv("VELMORA_SOUND_DIR"), nullptr) << "run me under scripts/sound-server.sh run";
    setenv("SDL_AUDIODRIVER", "pulseaudio", 0);
    ASSERT_EQ(Audio_Init(-1, 96000, 0, nullptr, nullptr), 1);
    std::atexit(holdExit);
    const AudioHandle tone = Audio_StreamCreateFile(0, VELMORA_SAMPLES_DIR "/Sinus_96000L_01000Hz_0dB.wav", 0, 0,
                                                    AUDIO_ASYNCFILE);
    ASSERT_NE(tone, 0u);
    while (Audio_StreamReady(tone) == 0) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(Audio_ChannelSetAttribute(tone, AUDIO_ATTRIB_VOL, 0.1f), 1);
    ASSERT_EQ(Audio_ChannelSetAttribute(tone, AUDIO_ATTRIB_FREQ, 96000.0f * 1.13f), 1);
    ASSERT_EQ(Audio_ChannelPlay(tone, 1), 1);

    // The 2.5 s tone is well under way, far from its end, and the output still renders.
    std::this_thread::sleep_for(300ms);
    const auto *engine = velmora::audio::processEngine();
    const std::uint64_t before = engine->counters().framesRendered;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Audio_OutputWorking(), 1);
    EXPECT_GT(engine->counters().framesRendered, before + 4800) << "the output renders as main returns";
    EXPECT_TRUE(engine->soundDue()) << "the tone still sounds as main returns";
}

}  // namespace
