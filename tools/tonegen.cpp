// velmora-tonegen FOLDER
//
// Writes the 26 tone files that the program opens from "Samples/": for each of the 13
// frequencies a left-ear and a right-ear file, Sinus_96000{L,R}_{5-digit Hz}Hz_0dB.wav.
// Each is 96000 Hz, two channels of 32-bit float, 2.5 s: a sine at exactly the named
// frequency with its peak at full scale (the "0dB" of the name is 0 dBFS) in its ear's
// channel, the other channel exactly zero, and a 20 ms raised-cosine fade at both ends.
//
// 2.5 s: the longest stimulation hold (1400 ms) plus its 10 ms mute must still fit when
// played at the fastest rate the band width slide allows (96000 + 49999 = 145999 Hz),
// which shortens the file to 1.64 s; 2.0 s would last only 1.315 s there.
//
// Creates FOLDER if needed, writes only its own 26 files (each to a temporary name first,
// so a broken run never leaves a half file under the real name), and exits 1 with a
// message on stderr when it cannot.

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr int kRate = 96000;
constexpr int kFrames = kRate * 5 / 2;
constexpr int kFadeFrames = kRate / 50;  // 20 ms
constexpr int kHz[13] = {125, 250, 500, 750, 1000, 1500, 2000, 3000, 4000, 6000, 8000, 10000, 12000};

// The phase is taken from the integer product hz * n modulo the rate, so it carries no
// rounding drift however long the file: every period is the same samples.
std::vector<float> tone(int hz, int channel)
{
    std::vector<float> frames(static_cast<std::size_t>(kFrames) * 2, 0.0f);
    for (int n = 0; n < kFrames; ++n) {
        const long long cycle = (static_cast<long long>(hz) * n) % kRate;
        double x = std::sin(2.0 * std::numbers::pi * static_cast<double>(cycle) / kRate);
        const int edge = std::min(n, kFrames - 1 - n);
        if (edge < kFadeFrames) x *= 0.5 - 0.5 * std::cos(std::numbers::pi * edge / kFadeFrames);
        frames[static_cast<std::size_t>(n) * 2 + static_cast<std::size_t>(channel)] = static_cast<float>(x);
    }
    return frames;
}

bool writeWav(const std::filesystem::path &path, const std::vector<float> &frames)
{
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    const std::filesystem::path tmp = path.string() + ".tmp";
    SNDFILE *f = sf_open(tmp.c_str(), SFM_WRITE, &info);
    if (!f) {
        std::fprintf(stderr, "velmora-tonegen: cannot write %s: %s\n", tmp.c_str(), sf_strerror(nullptr));
        return false;
    }
    sf_command(f, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    const sf_count_t wrote = sf_writef_float(f, frames.data(), kFrames);
    const int closed = sf_close(f);
    std::error_code ec;
    if (wrote != kFrames || closed != 0) {
        std::fprintf(stderr, "velmora-tonegen: short write to %s\n", tmp.c_str());
        std::filesystem::remove(tmp, ec);
        return false;
    }
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::fprintf(stderr, "velmora-tonegen: cannot rename %s: %s\n", tmp.c_str(), ec.message().c_str());
        std::filesystem::remove(tmp, ec);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2 || argv[1][0] == '\0') {
        std::fprintf(stderr, "usage: velmora-tonegen FOLDER\n");
        return 1;
    }
    const std::filesystem::path dir = argv[1];
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec || !std::filesystem::is_directory(dir)) {
        std::fprintf(stderr, "velmora-tonegen: cannot create folder %s: %s\n", dir.c_str(),
                     ec ? ec.message().c_str() : "not a folder");
        return 1;
    }
    for (int ear = 0; ear < 2; ++ear) {
        for (int hz : kHz) {
            char name[64];
            std::snprintf(name, sizeof name, "Sinus_96000%c_%05dHz_0dB.wav", ear == 0 ? 'L' : 'R', hz);
            if (!writeWav(dir / name, tone(hz, ear))) return 1;
        }
    }
    return 0;
}
