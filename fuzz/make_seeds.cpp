// velmora-fuzz-seeds PANEL_FILE OUT_FOLDER
//
// Starting inputs for the fuzz targets, written at build time so that nothing large is
// committed: the panel file as shipped and damaged copies of it (OUT/panel_file), and
// short sound files in the formats libsndfile reads, each also cut short and with a header
// field broken (OUT/wav). The first sound is the tone files' own format, 96 kHz stereo
// float with one silent ear, cut to 200 frames. The other targets get a few byte runs.

#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<char>;

Bytes readAll(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeAll(const fs::path &p, const Bytes &b)
{
    std::ofstream(p, std::ios::binary).write(b.data(), static_cast<std::streamsize>(b.size()));
}

struct Format {
    const char *name;
    int format;
    int channels;
    int rate;
};

constexpr Format kFormats[] = {
    {"tone_float_96k.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, 96000},
    {"pcm16_mono.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 8000},
    {"pcm24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, 44100},
    {"u8.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 1, 22050},
    {"double.wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 1, 48000},
    {"ima_adpcm.wav", SF_FORMAT_WAV | SF_FORMAT_IMA_ADPCM, 2, 44100},
    {"ulaw.wav", SF_FORMAT_WAV | SF_FORMAT_ULAW, 1, 8000},
    {"extensible.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_16, 3, 48000},
    {"pcm16.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 2, 44100},
    {"float.au", SF_FORMAT_AU | SF_FORMAT_FLOAT, 1, 16000},
    {"pcm16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 2, 44100},
    {"float.w64", SF_FORMAT_W64 | SF_FORMAT_FLOAT, 2, 96000},
};

bool writeSound(const fs::path &p, const Format &f)
{
    SF_INFO info{};
    info.samplerate = f.rate;
    info.channels = f.channels;
    info.format = f.format;
    SNDFILE *s = sf_open(p.c_str(), SFM_WRITE, &info);
    if (!s) return false;
    constexpr int kFrames = 200;
    std::vector<float> frames(static_cast<std::size_t>(kFrames * f.channels), 0.0f);
    for (int n = 0; n < kFrames; ++n)
        frames[static_cast<std::size_t>(n * f.channels)] =
            static_cast<float>(std::sin(2.0 * std::numbers::pi * 1000.0 * n / f.rate));
    const bool ok = sf_writef_float(s, frames.data(), kFrames) == kFrames;
    return sf_close(s) == 0 && ok;
}

void put32(Bytes &b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4 && at + i < b.size(); ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: velmora-fuzz-seeds PANEL_FILE OUT_FOLDER\n");
        return 1;
    }
    const fs::path out = argv[2];
    const fs::path panels = out / "panel_file", sounds = out / "wav";
    fs::create_directories(panels);
    fs::create_directories(sounds);

    const Bytes panel = readAll(argv[1]);
    if (panel.empty()) {
        std::fprintf(stderr, "velmora-fuzz-seeds: cannot read %s\n", argv[1]);
        return 1;
    }
    writeAll(panels / "shipped.ui", panel);
    writeAll(panels / "cut_third.ui", Bytes(panel.begin(), panel.begin() + panel.size() / 3));
    writeAll(panels / "cut_two_thirds.ui", Bytes(panel.begin(), panel.begin() + 2 * panel.size() / 3));
    {
        // Every number grown past what an int holds.
        std::string text(panel.begin(), panel.end());
        for (std::size_t at = 0; (at = text.find("<number>", at)) != std::string::npos; at += 8)
            text.insert(at + 8, "99999999999");
        writeAll(panels / "huge_numbers.ui", Bytes(text.begin(), text.end()));
    }
    {
        // One widget's closing tag gone: the nesting no longer matches.
        std::string text(panel.begin(), panel.end());
        const std::size_t at = text.find("</widget>");
        if (at != std::string::npos) text.erase(at, 9);
        writeAll(panels / "unclosed.ui", Bytes(text.begin(), text.end()));
    }

    for (const Format &f : kFormats) {
        const fs::path p = sounds / f.name;
        if (!writeSound(p, f)) {
            std::fprintf(stderr, "velmora-fuzz-seeds: cannot write %s: %s\n", p.c_str(), sf_strerror(nullptr));
            return 1;
        }
        const Bytes b = readAll(p);
        writeAll(sounds / (std::string("cut_") + f.name), Bytes(b.begin(), b.begin() + b.size() / 2));
        // Bytes 4 and 40 are the RIFF and (for a plain WAV) data lengths; 22 the channels.
        Bytes broken = b;
        put32(broken, 4, 0xffffffffu);
        put32(broken, 40, 0x7ffffff0u);
        writeAll(sounds / (std::string("long_") + f.name), broken);
        broken = b;
        put32(broken, 22, 0xffffu);
        writeAll(sounds / (std::string("channels_") + f.name), broken);
    }
    // The byte-driven targets start from a few plain byte runs; the fuzzer grows the rest.
    for (const char *target : {"engine_commands", "frame_clock"}) {
        fs::create_directories(out / target);
        std::uint32_t x = 12345;
        for (int seed = 0; seed < 4; ++seed) {
            Bytes b(static_cast<std::size_t>(64 << seed));
            for (char &c : b) c = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
            writeAll(out / target / ("lcg" + std::to_string(seed)), b);
        }
    }
    return 0;
}
