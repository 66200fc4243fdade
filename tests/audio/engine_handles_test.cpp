// Handles and files: lifecycle, bad and freed handles, many streams, broken files, and
// control calls from several threads while the mixer runs.
#include "audio_test_helpers.h"
#include "platform/sys/steady_clock.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <thread>

namespace velmora::audio::test {
namespace {

namespace fs = std::filesystem;
using analysis::fitTone;
using analysis::measureLevel;

TEST(EngineHandles, FreedHandleStaysInvalidAfterItsSlotIsReused)
{
    EngineConfig cfg = offlineConfig();
    cfg.capacity = 1;
    Rig rig(512, cfg);
    const AudioHandle first = rig.load(constantFrames(0.5f, 1000));
    ASSERT_NE(first, 0u);
    EXPECT_TRUE(rig.engine.free(first, rig.now));
    rig.renderTo(rig.frameOf(0.0) + 1);  // the mixer lets go of the slot at the free's frame
    const AudioHandle second = rig.load(constantFrames(0.25f, kRate));
    ASSERT_NE(second, 0u);
    EXPECT_NE(second, first);

    EXPECT_FALSE(rig.engine.free(first, rig.now));
    EXPECT_FALSE(rig.engine.play(first, false, rig.now));
    EXPECT_FALSE(rig.engine.stop(first, rig.now));
    EXPECT_FALSE(rig.engine.setVolume(first, 1.0f, rig.now));
    EXPECT_FALSE(rig.engine.setRate(first, 48000.0f, rig.now));
    EXPECT_FALSE(rig.engine.setPositionBytes(first, 0, rig.now));
    rig.renderTo(rig.frameOf(0.0) + 1000);
    EXPECT_TRUE(measureLevel(rig.channel(0)).zero) << "a call on the old handle reached the new stream";
    EXPECT_TRUE(rig.engine.play(second, false, rig.now));
}

// A full queue refuses and counts, at any size: every call it accepted is applied.
TEST(EngineHandles, AFullQueueRefusesInsteadOfWritingOver)
{
    for (int capacity : {1, 2, 3}) {
        EngineConfig cfg = offlineConfig();
        cfg.queueCapacity = capacity;
        Rig rig(512, cfg);
        const AudioHandle h = rig.load(constantFrames(0.5f, 1000));
        ASSERT_NE(h, 0u);
        rig.renderTo(1);
        int accepted = 0;
        for (int i = 0; i < 5; ++i) accepted += rig.engine.setVolume(h, 0.5f, rig.now);
        rig.renderTo(rig.frameOf(0.0) + 2);
        const auto c = rig.engine.counters();
        EXPECT_EQ(c.commandsApplied, 1u + accepted) << "queue of " << capacity;
        EXPECT_EQ(c.droppedCommands, 5u - accepted) << "queue of " << capacity;
    }
}

// A stream reserved on its header takes no command until its samples come, so nothing of
// it sounds before its peak is known; then it plays. One refused never takes a command.
TEST(EngineHandles, AStreamReadBehindItsHandleSoundsOnlyOnceComplete)
{
    Rig rig(512);
    const AudioHandle later = rig.engine.reserve(2, kRate);
    const AudioHandle refused = rig.engine.reserve(2, kRate);
    ASSERT_NE(later, 0u);
    ASSERT_NE(refused, 0u);
    AudioInfo header;
    ASSERT_TRUE(rig.engine.info(later, header));
    EXPECT_EQ(header.freq, 96000u);
    EXPECT_EQ(header.chans, 2u);
    EXPECT_EQ(rig.engine.state(later), Engine::kPending);
    EXPECT_FALSE(rig.engine.setVolume(later, 1.0f, rig.now));
    EXPECT_EQ(rig.engine.play(later, false, rig.now), 0u);
    rig.renderSeconds(0.1);
    EXPECT_TRUE(measureLevel(rig.channel(0)).zero) << "played before its samples came";

    const std::vector<float> tone = sineFrames(1000.0, 0.5, kRate, 0, 0.5);
    rig.engine.complete(later, makeSample(tone.data(), static_cast<std::int64_t>(tone.size() / 2), 2, kRate));
    rig.engine.complete(refused, nullptr);
    EXPECT_EQ(rig.engine.state(later), Engine::kReady);
    EXPECT_EQ(rig.engine.state(refused), Engine::kRefused);
    EXPECT_NEAR(rig.engine.peak(later), 0.5f, 1e-4f);
    rig.at(0.1);
    EXPECT_EQ(rig.engine.play(refused, false, rig.now), 0u);
    EXPECT_NE(rig.engine.play(later, false, rig.now), 0u);
    const std::int64_t from = rig.frameOf(0.1) + rig.engine.rampFrames();
    rig.renderTo(from + kRate / 10);
    EXPECT_NEAR(measureLevel(rig.channel(0, from)).peak, 0.5, 1e-3);
    EXPECT_TRUE(measureLevel(rig.channel(1)).zero);

    EXPECT_TRUE(rig.engine.free(refused, rig.now));
    EXPECT_FALSE(rig.engine.free(refused, rig.now));
    EXPECT_EQ(rig.engine.state(refused), Engine::kRefused);
}

// Freed while its file is read: the samples that come later are dropped and the slot is
// free again, even with one slot in all.
TEST(EngineHandles, AStreamFreedWhileReadGivesItsSlotBack)
{
    EngineConfig cfg = offlineConfig();
    cfg.capacity = 1;
    Rig rig(512, cfg);
    const AudioHandle h = rig.engine.reserve(2, kRate);
    ASSERT_NE(h, 0u);
    EXPECT_TRUE(rig.engine.free(h, rig.now));
    EXPECT_EQ(rig.engine.reserve(2, kRate), 0u) << "the read still holds the slot";
    const std::vector<float> tone = constantFrames(0.5f, 1000);
    rig.engine.complete(h, makeSample(tone.data(), 1000, 2, kRate));
    EXPECT_EQ(rig.engine.state(h), Engine::kRefused);
    const AudioHandle next = rig.load(tone);
    ASSERT_NE(next, 0u);
    EXPECT_NE(next, h);
    EXPECT_TRUE(rig.engine.play(next, false, rig.now));
}

// A left-ear and a right-ear file of one tone hold the same samples, kept once. Each
// stream must still outlive the other: free one, fill its memory again, play the other.
TEST(EngineHandles, StreamsOfTheSameToneOutliveEachOther)
{
    Rig rig(512);
    const AudioHandle left = rig.load(sineFrames(1000.0, 0.5, kRate, 0, 0.5));
    const AudioHandle right = rig.load(sineFrames(1000.0, 0.5, kRate, 1, 0.5));
    ASSERT_NE(left, 0u);
    ASSERT_NE(right, 0u);
    EXPECT_TRUE(rig.engine.free(left, rig.now));
    rig.renderTo(rig.frameOf(0.0) + 1);
    for (int i = 0; i < 4; ++i) ASSERT_NE(rig.load(constantFrames(0.25f, kRate / 2)), 0u);
    rig.at(0.01);
    rig.engine.setRate(right, 120999.0f, rig.now);
    rig.engine.play(right, false, rig.now);
    rig.renderTo(rig.frameOf(0.01) + kRate / 4);
    const auto fit = fitTone(rig.channel(1, rig.frameOf(0.02), rig.rendered()), kRate);
    EXPECT_NEAR(fit.frequency, 1000.0 * 120999.0 / kRate, 1e-3);
    EXPECT_NEAR(fit.amplitude, 0.5, 0.0005);
    EXPECT_LE(fit.thdnDb, -120.0);
    EXPECT_TRUE(measureLevel(rig.channel(0)).zero);
}

TEST(EngineHandles, ZeroAndMadeUpHandlesAndBadValuesDoNothing)
{
    Rig rig;
    const AudioHandle h = rig.load(constantFrames(0.5f, 1000));
    for (const AudioHandle bad : {0u, 1u, 0xFFFFFFFFu, h + 1, h ^ 0x1000u, h & 0xFFFu}) {
        EXPECT_FALSE(rig.engine.play(bad, true, rig.now)) << bad;
        EXPECT_FALSE(rig.engine.stop(bad, rig.now)) << bad;
        EXPECT_FALSE(rig.engine.free(bad, rig.now)) << bad;
        EXPECT_FALSE(rig.engine.setVolume(bad, 1.0f, rig.now)) << bad;
    }
    EXPECT_FALSE(rig.engine.setVolume(h, -1.0f, rig.now));
    EXPECT_FALSE(rig.engine.setVolume(h, NAN, rig.now));
    EXPECT_FALSE(rig.engine.setRate(h, -5.0f, rig.now));
    EXPECT_FALSE(rig.engine.setMaster(1.5f, rig.now));
    EXPECT_FALSE(rig.engine.setMaster(-0.1f, rig.now));
    rig.renderTo(4000);
    EXPECT_TRUE(measureLevel(rig.channel(0)).zero);
    EXPECT_EQ(rig.engine.counters().commandsApplied, 1u);  // only the attach
}

TEST(EngineHandles, ManyStreamsUpToCapacity)
{
    EngineConfig cfg = offlineConfig();
    cfg.capacity = 40;
    Rig rig(512, cfg);
    const auto tone = sineFrames(1000.0, 0.05, kRate, 0, 0.01);
    std::set<AudioHandle> handles;
    for (int i = 0; i < 40; ++i) handles.insert(rig.load(tone));
    EXPECT_EQ(handles.size(), 40u);
    EXPECT_FALSE(handles.count(0));
    EXPECT_EQ(rig.load(tone), 0u) << "no slot left";
    for (AudioHandle h : handles) rig.engine.play(h, false, rig.now);
    rig.renderTo(rig.frameOf(0.0) + 2000);
    EXPECT_NEAR(measureLevel(rig.channel(0, rig.frameOf(0.0) + 1000, rig.rendered())).peak, 0.4, 0.01);
    EXPECT_EQ(rig.engine.counters().streamsLive, 40u);
    EXPECT_TRUE(rig.engine.free(*handles.begin(), rig.now));
    rig.renderTo(rig.rendered() + 1000);  // a playing stream fades before its slot returns
    EXPECT_NE(rig.load(tone), 0u);
}

// -- files -------------------------------------------------------------------------------

class FileCases : public ::testing::Test {
protected:
    fs::path dir;
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("velmora-audio-files-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path wav(const char *name, int channels, int rate, int format, double hz, double seconds)
    {
        const fs::path p = dir / name;
        SF_INFO info{};
        info.channels = channels;
        info.samplerate = rate;
        info.format = format;
        SNDFILE *f = sf_open(p.c_str(), SFM_WRITE, &info);
        EXPECT_NE(f, nullptr);
        const auto n = static_cast<sf_count_t>(seconds * rate);
        std::vector<float> x(static_cast<std::size_t>(n * channels));
        for (sf_count_t i = 0; i < n; ++i)
            x[static_cast<std::size_t>(i * channels)] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * hz * i / rate));
        sf_writef_float(f, x.data(), n);
        sf_close(f);
        return p;
    }
    fs::path bytes(const char *name, const std::string &content)
    {
        const fs::path p = dir / name;
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
};

// A file decoded while a stream with the same tone lives shares its planes only where they
// are the same to the bit; whatever the files hold, each stream plays its own samples exactly (the mix adds them to
// +0, so a -0 comes out as +0 whatever was kept).
TEST_F(FileCases, FilesThatBeginAsAnotherPlayTheirOwnSamples)
{
    const auto tone = [](std::size_t i) { return static_cast<float>(0.5 * std::sin(0.01 * static_cast<double>(i))); };
    const auto write = [&](const char *name, std::size_t frames, int channel, auto value) {
        const fs::path p = dir / name;
        SF_INFO info{};
        info.channels = 2;
        info.samplerate = kRate;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE *f = sf_open(p.c_str(), SFM_WRITE, &info);
        EXPECT_NE(f, nullptr);
        std::vector<float> x(frames * 2, 0.0f);
        for (std::size_t i = 0; i < frames; ++i) x[2 * i + static_cast<std::size_t>(channel)] = value(i);
        sf_writef_float(f, x.data(), static_cast<sf_count_t>(frames));
        sf_close(f);
        return std::make_pair(p, x);
    };
    const std::size_t n = 20000;
    const auto files = {
        write("first.wav", n, 0, tone),
        write("other-ear.wav", n, 1, tone),
        write("shorter.wav", n / 2, 0, tone),
        write("longer.wav", n + 3000, 1, tone),
        write("parts-ways.wav", n, 0, [&](std::size_t i) { return i < n / 3 ? tone(i) : -tone(i); }),
        write("late-start.wav", n, 1, [&](std::size_t i) { return i < 700 ? 0.0f : tone(i); }),
        write("negative-zeros.wav", n, 0, [&](std::size_t i) { return i % 2 ? -0.0f : tone(i); }),
    };
    Rig rig(700);
    std::vector<AudioHandle> handles;
    for (const auto &[path, frames] : files) {
        handles.push_back(rig.engine.createFromFile(path.c_str()));
        ASSERT_NE(handles.back(), 0u) << path;
    }
    for (std::size_t f = 0; f < handles.size(); ++f) {
        const auto &frames = std::data(files)[f].second;
        const std::int64_t start = rig.rendered() + rig.engine.latencyFrames() + 100;
        rig.at(static_cast<double>(start - rig.engine.latencyFrames()) / kRate);
        rig.engine.play(handles[f], false, rig.now);
        rig.renderTo(start + static_cast<std::int64_t>(frames.size() / 2) + 10);
        for (std::size_t i = 0; i < frames.size(); ++i) {
            const float got = rig.out[static_cast<std::size_t>(2 * start) + i];
            if (i / 2 < static_cast<std::size_t>(rig.engine.rampFrames())) continue;  // the fade-in
            ASSERT_EQ(got, frames[i]) << std::data(files)[f].first << " frame " << i / 2 << " channel " << i % 2 << ": " << got << " for " << frames[i];
        }
    }
}

TEST_F(FileCases, BrokenFilesNeverCrash)
{
    const int floatWav = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    const fs::path good = wav("good.wav", 2, kRate, floatWav, 1000.0, 0.5);

    const fs::path truncated = wav("truncated.wav", 2, kRate, floatWav, 1000.0, 0.5);
    fs::resize_file(truncated, fs::file_size(truncated) / 2 + 3);

    // A header that declares far more data than the file holds.
    const fs::path huge = wav("huge.wav", 2, kRate, floatWav, 1000.0, 0.5);
    {
        std::fstream f(huge, std::ios::in | std::ios::out | std::ios::binary);
        std::string head(512, '\0');
        f.read(head.data(), 512);
        const auto at = head.find("data");
        ASSERT_NE(at, std::string::npos);
        f.clear();
        const char big[4] = {'\xF0', '\xFF', '\xFF', '\x7F'};
        f.seekp(static_cast<std::streamoff>(at + 4));
        f.write(big, 4);
        f.seekp(4);
        f.write(big, 4);
    }

    struct Row {
        fs::path path;
        bool opens;
        double hz;  // expected pitch in the first channel; 0: not checked
        bool bothEars;
    };
    const Row rows[] = {
        {dir / "missing.wav", false, 0, false},
        {bytes("empty.wav", ""), false, 0, false},
        {bytes("text.wav", "this is not a sound file, only some words\n"), false, 0, false},
        {bytes("riff-only.wav", std::string("RIFF\x24\x00\x00\x00WAVE", 12)), false, 0, false},
        {wav("no-frames.wav", 2, kRate, floatWav, 1000.0, 0.0), false, 0, false},
        {good, true, 1000.0, false},
        {truncated, true, 1000.0, false},
        {huge, true, 1000.0, false},
        {wav("mono.wav", 1, kRate, floatWav, 1000.0, 0.5), true, 1000.0, true},
        {wav("rate48k.wav", 2, 48000, floatWav, 1000.0, 0.5), true, 1000.0, false},
        {wav("pcm16.wav", 2, kRate, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1000.0, 0.5), true, 1000.0, false},
        {dir, false, 0, false},  // a folder
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path.filename().string());
        Rig rig(4096);
        const AudioHandle h = rig.engine.createFromFile(row.path.c_str());
        EXPECT_EQ(h != 0, row.opens);
        rig.engine.play(h, false, rig.now);
        rig.renderTo(rig.frameOf(0.0) + kRate / 5);
        const auto left = rig.channel(0, rig.frameOf(0.01), rig.rendered());
        if (row.hz > 0) {
            EXPECT_NEAR(fitTone(left, kRate).frequency, row.hz, 0.01);
            EXPECT_NEAR(measureLevel(left).peak, 0.5, 0.01);
        }
        EXPECT_EQ(measureLevel(rig.channel(1)).zero, !row.bothEars);

        // The same bytes in a memfd, by its path (the fuzz target's way in): the same stream.
        const int fd = ::memfd_create("copy", MFD_CLOEXEC);
        const std::string copy = "/proc/self/fd/" + std::to_string(fd);
        std::error_code unread;  // a folder or no file: no bytes
        fs::copy_file(row.path, copy, fs::copy_options::overwrite_existing, unread);
        Rig fromMemory(4096);
        const AudioHandle m = fromMemory.engine.createFromFile(copy.c_str());
        ::close(fd);
        EXPECT_EQ(m != 0, row.opens);
        fromMemory.engine.play(m, false, fromMemory.now);
        fromMemory.renderTo(rig.rendered());
        EXPECT_EQ(fromMemory.out, rig.out);
    }
}

// -- threads -----------------------------------------------------------------------------

TEST(EngineThreads, ControlCallsFromManyThreadsWhileMixing)
{
    EngineConfig cfg;  // real clock: commands land wherever the mixer is
    cfg.capacity = 32;
    cfg.queueCapacity = 256;  // small, so that a full queue is exercised too
    Engine engine(cfg);
    const auto tone = sineFrames(1000.0, 0.2, kRate, -1, 0.5);
    std::vector<AudioHandle> handles;
    for (int i = 0; i < 26; ++i)
        handles.push_back(engine.createFromFrames(tone.data(), static_cast<std::int64_t>(tone.size() / 2), 2, kRate));

    std::atomic<bool> done{false};
    std::atomic<bool> mixing{false};
    std::atomic<double> peak{0.0};
    std::thread mixer([&] {
        std::vector<float> block(2 * 256);
        double p = 0.0;
        while (!done.load()) {
            engine.render(block.data(), 256, SteadyNs(), kPlayoutUnknown);
            mixing = true;
            for (float v : block) p = std::max(p, static_cast<double>(std::abs(v)));
        }
        peak = p;
    });
    // On a loaded machine the mixer thread may not have run at all before the control
    // threads are through; the point is that both sides run at once.
    while (!mixing.load()) std::this_thread::yield();
    std::vector<std::thread> controls;
    for (int t = 0; t < 4; ++t) {
        controls.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t));
            for (int i = 0; i < 4000; ++i) {
                const AudioHandle h = handles[rng() % handles.size()];
                switch (rng() % 8) {
                case 0: engine.play(h, rng() % 2, SysStamp{SteadyNs()}); break;
                case 1: engine.stop(h, SysStamp{SteadyNs()}); break;
                case 2: engine.setPositionBytes(h, 0, SysStamp{SteadyNs()}); break;
                case 3: engine.setVolume(h, static_cast<float>(rng() % 5000) / 100.0f, SysStamp{SteadyNs()}); break;
                case 4: engine.setRate(h, static_cast<float>(60000 + rng() % 70000), SysStamp{SteadyNs()}); break;
                case 5: engine.setMaster(static_cast<float>(rng() % 100) / 100.0f, SysStamp{SteadyNs()}); break;
                case 6:
                    if (t == 0 && engine.free(h, SysStamp{SteadyNs()})) {
                        const AudioHandle n = engine.createFromFrames(tone.data(), 1000, 2, kRate);
                        (void)n;  // handles[] keeps the stale one: calls on it must stay harmless
                    }
                    break;
                default: {
                    AudioInfo info;
                    engine.info(h, info);
                    break;
                }
                }
            }
        });
    }
    for (auto &c : controls) c.join();
    // Commands land 25 ms after their calls: let the mixer reach the last of them.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (engine.counters().commandsApplied == 0 && std::chrono::steady_clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    done = true;
    mixer.join();
    const auto c = engine.counters();
    EXPECT_EQ(c.nonFiniteFrames, 0u) << "output peak " << peak.load();
    EXPECT_GT(c.commandsApplied, 0u);
    EXPECT_GT(c.framesRendered, 0u);
}

}  // namespace
}  // namespace velmora::audio::test
