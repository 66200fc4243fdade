// Damaged tone files on the real engine: each row puts one bad file in place of the
// right-ear 1000 Hz tone in a folder of good ones, then opens the bank as start-up does.
// No row may crash; an unusable file leaves its entry refused (which a hearing test leaves
// out) and is named by the start-up warning, a usable one plays.
//
// Decided usable: an 8-bit file and a file cut short in its data, as long as they decode
// to 96000 Hz stereo with the tone in the right channel only (8-bit silence decodes to
// exact zeros). The tone is then at its pitch and in its ear; a short file only ends a
// long tone early. Up to 10 s a file is taken; a frame more and it is refused.

#include <gtest/gtest.h>
#include <sndfile.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "app/shell.h"
#include "fake/fake_platform.h"
#include "platform/audio.h"
#include "platform/sys.h"
#include "samples/samples.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFaultyRow = 4;  // 1000 Hz
constexpr int kFaultyEar = 1;
constexpr const char *kFaultyName = "Sinus_96000R_01000Hz_0dB.wav";

// A 1000 Hz tone, 0.5 s unless asked, in the channels whose bit is set in `toneIn`.
void WriteTone(const fs::path &path, int format, int rate, int channels, unsigned toneIn, int frames = 0)
{
    frames = frames > 0 ? frames : rate / 2;
    std::vector<float> x(static_cast<std::size_t>(frames * channels), 0.0f);
    for (int n = 0; n < frames; ++n) {
        for (int c = 0; c < channels; ++c) {
            if (toneIn & (1u << c)) {
                x[static_cast<std::size_t>(n * channels + c)] =
                    static_cast<float>(0.9 * std::sin(2.0 * std::numbers::pi * 1000.0 * n / rate));
            }
        }
    }
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | format;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    sf_writef_float(f, x.data(), frames);
    sf_close(f);
}

void Truncate(const fs::path &path, double keep)
{
    fs::resize_file(path, static_cast<std::uintmax_t>(static_cast<double>(fs::file_size(path)) * keep));
}

struct Fault {
    const char *name;
    void (*make)(const fs::path &);
    bool usable;
};

const Fault kFaults[] = {
    {"missing", [](const fs::path &) {}, false},
    {"empty", [](const fs::path &p) { std::ofstream{p}; }, false},
    {"header_only", [](const fs::path &p) { WriteTone(p, SF_FORMAT_FLOAT, 96000, 2, 2); fs::resize_file(p, 40); }, false},
    {"cut_in_its_data", [](const fs::path &p) { WriteTone(p, SF_FORMAT_FLOAT, 96000, 2, 2); Truncate(p, 0.4); }, true},
    {"pcm_8_bit", [](const fs::path &p) { WriteTone(p, SF_FORMAT_PCM_U8, 96000, 2, 2); }, true},
    {"pcm_16_bit", [](const fs::path &p) { WriteTone(p, SF_FORMAT_PCM_16, 96000, 2, 2); }, true},
    {"mono", [](const fs::path &p) { WriteTone(p, SF_FORMAT_FLOAT, 96000, 1, 1); }, false},
    {"rate_44100", [](const fs::path &p) { WriteTone(p, SF_FORMAT_FLOAT, 44100, 2, 2); }, false},
    {"rate_48000", [](const fs::path &p) { WriteTone(p, SF_FORMAT_FLOAT, 48000, 2, 2); }, false},
    {"three_channels", [](const fs::path &p) { WriteTone(p, SF_FORMAT_FLOAT, 96000, 3, 2); }, false},
    {"tone_in_both_ears", [](const fs::path &p) { WriteTone(p, SF_FORMAT_FLOAT, 96000, 2, 3); }, false},
    {"tone_in_the_other_ear", [](const fs::path &p) { WriteTone(p, SF_FORMAT_FLOAT, 96000, 2, 1); }, false},
    {"all_silent", [](const fs::path &p) { WriteTone(p, SF_FORMAT_FLOAT, 96000, 2, 0); }, false},
    {"not_a_sound_file", [](const fs::path &p) { std::ofstream{p} << "RIFF this is no wave file\n"; }, false},
    {"folder", [](const fs::path &p) { fs::create_directory(p); }, false},
    // Opening a FIFO for reading waits for a writer: start-up would never end.
    {"fifo", [](const fs::path &p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, false},
    {"link_to_a_device", [](const fs::path &p) { fs::create_symlink("/dev/zero", p); }, false},
    // Every tone is kept decoded for the whole run: 26 long files would take gigabytes.
    {"ten_seconds", [](const fs::path &p) { WriteTone(p, SF_FORMAT_FLOAT, 96000, 2, 2, 960000); }, true},
    {"ten_seconds_and_a_frame", [](const fs::path &p) { WriteTone(p, SF_FORMAT_FLOAT, 96000, 2, 2, 960001); }, false},
    {"a_minute_in_16_bit", [](const fs::path &p) { WriteTone(p, SF_FORMAT_PCM_16, 96000, 2, 2, 60 * 96000); }, false},
    // Root reads files whatever their mode: a symbolic link to itself cannot be opened by anyone.
    {"unreadable",
     [](const fs::path &p) {
         if (geteuid() == 0) {
             fs::create_symlink(p.filename(), p);
         } else {
             WriteTone(p, SF_FORMAT_FLOAT, 96000, 2, 2);
             fs::permissions(p, fs::perms::none);
         }
     },
     false},
};

class ToneFault : public ::testing::TestWithParam<Fault> {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(Audio_Init(0, 96000, 0, nullptr, nullptr), 1); }

    void SetUp() override
    {
        home_ = fs::current_path();
        dir_ = fs::temp_directory_path() / ("velmora-faults-" + std::to_string(getpid()) + "-" + GetParam().name);
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "Samples");
        for (const auto &entry : fs::directory_iterator(VELMORA_SAMPLES_DIR)) {
            if (entry.path().filename() != kFaultyName) {
                fs::create_symlink(entry.path(), dir_ / "Samples" / entry.path().filename());
            }
        }
        fs::current_path(dir_);
    }

    void TearDown() override
    {
        fake::ResetClock();  // joins the thread that read the files
        fs::current_path(home_);
        std::error_code ec;
        fs::permissions(dir_ / "Samples" / kFaultyName, fs::perms::owner_all, ec);
        fs::remove_all(dir_, ec);
    }

    fs::path home_, dir_;
};

TEST_P(ToneFault, UnusableFileIsLeftOutAndNamedUsableFilePlays)
{
    const Fault fault = GetParam();
    const fs::path faulty = fs::path("Samples") / kFaultyName;
    fault.make(faulty);

    // Should the bank wait on a FIFO, a writer that comes and goes lets it go on, so that
    // the row fails instead of holding the suite.
    std::promise<void> opened;
    bool held = false;
    std::thread watchdog([&, done = opened.get_future()] {
        if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return;
        held = true;
        close(open((dir_ / faulty).c_str(), O_WRONLY | O_NONBLOCK));
    });
    Create_Samples();
    while (Samples_Checked() == 0) {
        Sys_Sleep(SAMPLE_WAIT_MS);  // the files are read on a thread of the virtual clock
    }
    opened.set_value();
    watchdog.join();
    EXPECT_FALSE(held) << "opening the bank waited on the file";
    for (int ear = 0; ear < EAR_COUNT; ++ear) {
        for (int f = 0; f < FREQUENCY_COUNT; ++f) {
            const bool faulty = f == kFaultyRow && ear == kFaultyEar;
            EXPECT_EQ(Sample_State(f, ear) == SAMPLE_READY, !faulty || fault.usable) << f << "," << ear;
        }
    }
    if (fault.usable) {
        AudioInfo tone;
        ASSERT_EQ(Audio_ChannelGetInfo(SinSample[kFaultyRow][kFaultyEar], &tone), 1);
        EXPECT_GT(tone.peak, 0.5f);
    }

    char text[4096];
    Describe_Silent_Tones(1, text, sizeof text);
    const std::string warning = text;
    EXPECT_EQ(warning.find(kFaultyName) != std::string::npos, !fault.usable) << warning;
    EXPECT_EQ(warning.find("Sinus_96000L_01000Hz"), std::string::npos) << "only the damaged file is named";

    Free_Samples();
    AudioInfo freed;
    EXPECT_EQ(Audio_ChannelGetInfo(SinSample[0][0], &freed), 0) << "the bank is freed";
}

INSTANTIATE_TEST_SUITE_P(Files, ToneFault, ::testing::ValuesIn(kFaults),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
