// The Audio_* calls over the process-wide engine. ctest runs this with an SDL driver that
// does not exist, so Audio_Init cannot open a device: the calls must stay harmless and
// files must still become streams. The tests run in order and share the one engine.
#include "platform/audio.h"
#include "platform/audio/engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string kTone = std::string(VELMORA_SAMPLES_DIR) + "/Sinus_96000L_01000Hz_0dB.wav";

void expectEveryCallRefused(AudioHandle h)
{
    EXPECT_EQ(Audio_ChannelPlay(h, 0), 0);
    EXPECT_EQ(Audio_ChannelPlay(h, 1), 0);
    EXPECT_EQ(Audio_ChannelStop(h), 0);
    EXPECT_EQ(Audio_ChannelSetPosition(h, 0, AUDIO_POS_BYTE), 0);
    EXPECT_EQ(Audio_ChannelSetAttribute(h, AUDIO_ATTRIB_VOL, 1.0f), 0);
    EXPECT_EQ(Audio_ChannelSetAttribute(h, AUDIO_ATTRIB_FREQ, 96000.0f), 0);
    EXPECT_EQ(Audio_StreamFree(h), 0);
}

TEST(AudioApi, BeforeInitEverythingIsRefused)
{
    EXPECT_EQ(velmora::audio::processEngine(), nullptr);
    EXPECT_EQ(Audio_StreamCreateFile(0, kTone.c_str(), 0, 0, AUDIO_ASYNCFILE), 0u);
    expectEveryCallRefused(0);
    expectEveryCallRefused(0x1001);
    EXPECT_EQ(Audio_SetVolume(0.5f), 0);
}

TEST(AudioApi, WithoutADeviceStreamsExistButPlayNowhere)
{
    EXPECT_EQ(Audio_Init(-1, 96000, 0, nullptr, nullptr), 0) << "the driver does not exist";
    ASSERT_NE(velmora::audio::processEngine(), nullptr);
    EXPECT_EQ(Audio_Init(-1, 96000, 0, nullptr, nullptr), 0) << "second init";

    const AudioHandle h = Audio_StreamCreateFile(0, kTone.c_str(), 0, 0, AUDIO_ASYNCFILE);
    ASSERT_NE(h, 0u);
    const auto deadline = std::chrono::steady_clock::now() + 10s;  // fail here, not at ctest's timeout
    while (Audio_StreamReady(h) == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(Audio_StreamReady(h), 1) << "still read after 10 s";
    EXPECT_EQ(Audio_ChannelStop(h), 1);
    EXPECT_EQ(Audio_ChannelSetPosition(h, 0, AUDIO_POS_BYTE), 1);
    EXPECT_EQ(Audio_ChannelSetPosition(h, 0, 1), 0) << "only byte positions";
    EXPECT_EQ(Audio_ChannelSetAttribute(h, AUDIO_ATTRIB_VOL, 40.96f), 1);
    EXPECT_EQ(Audio_ChannelSetAttribute(h, AUDIO_ATTRIB_FREQ, 120999.0f), 1);
    EXPECT_EQ(Audio_ChannelSetAttribute(h, 99, 1.0f), 0);
    EXPECT_EQ(Audio_ChannelPlay(h, 0), 1);
    EXPECT_EQ(Audio_SetVolume(0.5f), 1);
    EXPECT_EQ(Audio_SetVolume(2.0f), 0);
    EXPECT_EQ(Audio_StreamFree(h), 1);
    expectEveryCallRefused(h);
}

TEST(AudioApi, UnsupportedOpensGiveZero)
{
    const char bytes[4] = {};
    EXPECT_EQ(Audio_StreamCreateFile(1, bytes, 0, 4, 0), 0u) << "from memory";
    EXPECT_EQ(Audio_StreamCreateFile(0, kTone.c_str(), 44, 0, 0), 0u) << "offset";
    EXPECT_EQ(Audio_StreamCreateFile(0, nullptr, 0, 0, 0), 0u);
    EXPECT_EQ(Audio_StreamCreateFile(0, "Samples/none.wav", 0, 0, 0), 0u);
}

TEST(AudioApi, TheWholeToneBankOpensAndFrees)
{
    std::vector<AudioHandle> bank;
    for (const char ear : {'L', 'R'})
        for (const int hz : {125, 250, 500, 750, 1000, 1500, 2000, 3000, 4000, 6000, 8000, 10000, 12000}) {
            char name[64];
            std::snprintf(name, sizeof name, "/Sinus_96000%c_%05dHz_0dB.wav", ear, hz);
            bank.push_back(Audio_StreamCreateFile(0, (VELMORA_SAMPLES_DIR + std::string(name)).c_str(), 0, 0,
                                                  AUDIO_ASYNCFILE));
            EXPECT_NE(bank.back(), 0u) << name;
        }
    const auto deadline = std::chrono::steady_clock::now() + 20s;  // one bound: the files are read in turn
    for (AudioHandle h : bank) {
        while (Audio_StreamReady(h) == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
        EXPECT_EQ(Audio_StreamReady(h), 1) << "stream " << h << " still read after 20 s";
    }
    for (AudioHandle h : bank) EXPECT_EQ(Audio_StreamFree(h), 1);
    for (AudioHandle h : bank) EXPECT_EQ(Audio_StreamFree(h), 0);
}

}  // namespace
