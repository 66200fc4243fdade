// Audio_* as a recorder: every call is kept with its virtual time and thread, and each
// stream keeps the state a test asserts at the end (playing, rewound, volume, rate).

#include <cstdio>
#include <map>
#include <mutex>
#include <set>

#include "fake/fake_platform.h"
#include "platform/audio.h"
#include "platform/sys.h"

namespace {

constexpr AudioHandle kFirstHandle = 101;

struct AudioState {
    std::mutex m;
    std::vector<fake::AudioCall> calls;
    std::map<AudioHandle, fake::StreamState> streams;
    std::set<std::string> failing;
    std::map<std::string, std::pair<std::int64_t, bool>> reads;  // path -> (read at, refused)
    std::map<std::string, AudioInfo> shapes;
    AudioHandle next = kFirstHandle;
    float master = 1.0f;
    bool working = true;
    int losses = 0;
    int routeChanges = 0;
    int earsApart = 1;
    std::string name = "Headphones", from, to;
    std::vector<std::int64_t> playSounds;  // play n - 1: when it sounds (Sys_NowNs), -1 never
    std::map<AudioHandle, std::uint64_t> lastPlay;
};

AudioState &A()
{
    static AudioState state;
    return state;
}

// Runs f on the state under its lock: every query below is one such read.
template <typename F>
auto Locked(F f)
{
    AudioState &state = A();
    std::lock_guard lock(state.m);
    return f(state);
}

fake::AudioCall Call(fake::AudioOp op, AudioHandle handle)
{
    fake::AudioCall c{};
    c.t = fake::Now();
    c.thread = fake::ThreadIndex();
    c.op = op;
    c.handle = handle;
    c.live = true;
    return c;
}

// A stream not freed, or null; lock held.
fake::StreamState *Open(AudioState &a, AudioHandle handle)
{
    auto it = a.streams.find(handle);
    if (it == a.streams.end() || it->second.freed) {
        return nullptr;
    }
    return &it->second;
}

// As Audio_StreamReady; lock held.
int Readiness(AudioState &a, AudioHandle handle)
{
    const fake::StreamState *s = Open(a, handle);
    if (s == nullptr) {
        return -1;
    }
    auto read = a.reads.find(s->path);
    if (read == a.reads.end()) {
        return 1;
    }
    return fake::Now() < read->second.first ? 0 : read->second.second ? -1 : 1;
}

// The stream a call addresses, or null for handle 0, freed handles and streams not ready
// (the call is then recorded as one that did nothing); lock held.
fake::StreamState *Find(AudioState &a, AudioHandle handle)
{
    return Readiness(a, handle) == 1 ? Open(a, handle) : nullptr;
}

}  // namespace

int Audio_Init(int, std::uint32_t, std::uint32_t, void *, const void *)
{
    AudioState &a = A();
    fake::AudioCall c = Call(fake::AudioOp::Init, 0);
    std::lock_guard lock(a.m);
    a.calls.push_back(c);
    return 1;
}

AudioHandle Audio_StreamCreateFile(int, const void *file, std::uint64_t, std::uint64_t, std::uint32_t)
{
    AudioState &a = A();
    fake::AudioCall c = Call(fake::AudioOp::Create, 0);
    c.path = static_cast<const char *>(file);
    std::lock_guard lock(a.m);
    if (a.failing.count(c.path) == 0) {
        c.handle = a.next++;
        a.streams[c.handle].path = c.path;
    } else {
        c.live = false;
    }
    a.calls.push_back(c);
    return c.handle;
}

int Audio_StreamFree(AudioHandle handle)
{
    AudioState &a = A();
    fake::AudioCall c = Call(fake::AudioOp::Free, handle);
    std::lock_guard lock(a.m);
    fake::StreamState *s = Open(a, handle);
    c.live = s != nullptr;
    if (s != nullptr) {
        s->freed = true;
        s->playing = false;
    }
    a.calls.push_back(c);
    return c.live ? 1 : 0;
}

int Audio_ChannelStop(AudioHandle handle)
{
    AudioState &a = A();
    fake::AudioCall c = Call(fake::AudioOp::Stop, handle);
    std::lock_guard lock(a.m);
    fake::StreamState *s = Find(a, handle);
    c.live = s != nullptr;
    if (s != nullptr) {
        s->playing = false;
    }
    a.calls.push_back(c);
    return c.live ? 1 : 0;
}

int Audio_ChannelSetPosition(AudioHandle handle, std::uint64_t pos, std::uint32_t mode)
{
    AudioState &a = A();
    fake::AudioCall c = Call(fake::AudioOp::SetPosition, handle);
    c.attrib = mode;
    std::lock_guard lock(a.m);
    fake::StreamState *s = Find(a, handle);
    c.live = s != nullptr;
    if (s != nullptr) {
        s->atStart = pos == 0;
    }
    a.calls.push_back(c);
    return c.live ? 1 : 0;
}

int Audio_ChannelSetAttribute(AudioHandle handle, std::uint32_t attrib, float value)
{
    AudioState &a = A();
    fake::AudioCall c = Call(fake::AudioOp::SetAttribute, handle);
    c.attrib = attrib;
    c.value = value;
    std::lock_guard lock(a.m);
    fake::StreamState *s = Find(a, handle);
    c.live = s != nullptr;
    if (s != nullptr) {
        if (attrib == AUDIO_ATTRIB_VOL) {
            s->volume = value;
        } else if (attrib == AUDIO_ATTRIB_FREQ) {
            s->rate = value;
        }
    }
    a.calls.push_back(c);
    return c.live ? 1 : 0;
}

int Audio_ChannelPlay(AudioHandle handle, int restart)
{
    AudioState &a = A();
    fake::AudioCall c = Call(fake::AudioOp::Play, handle);
    c.attrib = static_cast<std::uint32_t>(restart);
    std::lock_guard lock(a.m);
    fake::StreamState *s = Find(a, handle);
    c.live = s != nullptr;
    if (s != nullptr) {
        s->playing = true;
        s->atStart = false;
        a.playSounds.push_back(a.working ? Sys_NowNs() : -1);
        a.lastPlay[handle] = a.playSounds.size();
    }
    a.calls.push_back(c);
    return c.live ? 1 : 0;
}

std::uint64_t Audio_ChannelLastPlay(AudioHandle handle)
{
    return Locked([&](AudioState &a) -> std::uint64_t {
        auto it = a.lastPlay.find(handle);
        return Find(a, handle) && it != a.lastPlay.end() ? it->second : 0;
    });
}

int Audio_PlaySoundedAt(std::uint64_t play, std::int64_t *ns)
{
    // On the sys that the test links: the virtual clock, or the real one.
    const std::int64_t now = Sys_NowNs();
    return Locked([&](AudioState &a) {
        if (play == 0 || play > a.playSounds.size() || a.playSounds[play - 1] < 0) return -1;
        if (a.playSounds[play - 1] > now) return 0;
        if (ns) *ns = a.playSounds[play - 1];
        return 1;
    });
}

int Audio_SetVolume(float volume)
{
    AudioState &a = A();
    fake::AudioCall c = Call(fake::AudioOp::SetMasterVolume, 0);
    c.value = volume;
    std::lock_guard lock(a.m);
    a.master = volume;
    a.calls.push_back(c);
    return 1;
}

// A file is taken as the generator writes it unless a test scripts its shape: 96000 Hz,
// two channels, the channel of the other ear silent (the ear letter follows "96000").
int Audio_StreamReady(AudioHandle handle)
{
    return Locked([&](AudioState &a) { return Readiness(a, handle); });
}

int Audio_ChannelGetInfo(AudioHandle handle, AudioInfo *info)
{
    return Locked([&](AudioState &a) {
        const fake::StreamState *s = Open(a, handle);
        if (s == nullptr || info == nullptr) {
            return 0;
        }
        auto scripted = a.shapes.find(s->path);
        if (scripted != a.shapes.end()) {
            *info = scripted->second;
        } else {
            const std::size_t at = s->path.find("96000");
            const char ear = at == std::string::npos ? '?' : s->path[at + 5];
            *info = AudioInfo{96000, 2, ear == 'L' ? 2u : ear == 'R' ? 1u : 0u};
        }
        info->peak = 1.0f;  // the files peak at full scale
        if (Readiness(a, handle) != 1) {
            info->silent = 0;
            info->peak = 0.0f;
        }
        return 1;
    });
}

int Audio_OutputWorking()
{
    return Locked([&](AudioState &a) { return a.working ? 1 : 0; });
}

int Audio_OutputLosses()
{
    return Locked([&](AudioState &a) { return a.losses; });
}

int Audio_OutputRouteChanges()
{
    return Locked([&](AudioState &a) { return a.routeChanges; });
}

int Audio_OutputEarsApart()
{
    return Locked([&](AudioState &a) { return a.working ? a.earsApart : -1; });
}

void Audio_OutputName(char *name, std::size_t size)
{
    Locked([&](AudioState &a) { std::snprintf(name, size, "%s", a.name.c_str()); });
}

void Audio_OutputLastChange(char *from, char *to, std::size_t size)
{
    Locked([&](AudioState &a) {
        std::snprintf(from, size, "%s", a.from.c_str());
        std::snprintf(to, size, "%s", a.to.c_str());
    });
}

namespace fake {

void ChangeRoute(const std::string &to, int earsApart)
{
    Locked([&](AudioState &a) {
        a.from = a.name;
        a.to = a.name = to;
        a.earsApart = earsApart;
        ++a.routeChanges;
    });
}

void SetOutputWorking(bool working)
{
    Locked([&](AudioState &a) {
        if (a.working && !working) ++a.losses;
        a.working = working;
    });
}

void SetShape(const std::string &path, AudioInfo info)
{
    Locked([&](AudioState &a) { a.shapes[path] = info; });
}

void ReadAt(const std::string &path, std::int64_t ms, bool refused)
{
    Locked([&](AudioState &a) { a.reads[path] = {ms, refused}; });
}

void FailOpen(const std::string &path)
{
    AudioState &a = A();
    std::lock_guard lock(a.m);
    a.failing.insert(path);
}

std::vector<AudioCall> AudioCalls()
{
    return Locked([&](AudioState &a) { return a.calls; });
}

void ClearAudioCalls()
{
    AudioState &a = A();
    std::lock_guard lock(a.m);
    a.calls.clear();
}

StreamState Stream(AudioHandle handle)
{
    AudioState &a = A();
    std::lock_guard lock(a.m);
    auto it = a.streams.find(handle);
    return it == a.streams.end() ? StreamState{} : it->second;
}

float MasterVolume()
{
    return Locked([&](AudioState &a) { return a.master; });
}

void ResetAudio()
{
    AudioState &a = A();
    std::lock_guard lock(a.m);
    a.calls.clear();
    a.streams.clear();
    a.failing.clear();
    a.reads.clear();
    a.shapes.clear();
    a.next = kFirstHandle;
    a.master = 1.0f;
    a.working = true;
    a.losses = 0;
    a.routeChanges = 0;
    a.earsApart = 1;
    a.name = "Headphones";
    a.from.clear();
    a.to.clear();
    a.playSounds.clear();
    a.lastPlay.clear();
}

}  // namespace fake
