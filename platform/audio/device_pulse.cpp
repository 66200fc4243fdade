#include "platform/audio/device.h"
#include "platform/audio/realtime.h"
#include "platform/audio/route.h"
#include "platform/sys/steady_clock.h"

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

namespace velmora::audio {

namespace {

// 100 ms of buffer, asked for in 10 ms pieces. On a loaded or virtual machine the
// mainloop thread now and then wakes 20 ms or more late; with 40 ms of buffer that
// emptied the server's side of it, a burst lost 10 ms in the middle (a click) and every
// later frame played that much later, which threw the frame timing off by milliseconds.
// The cost is the engine's command latency, about 130 ms: every command keeps its
// spacing, only all of them are heard that much after their calls.
constexpr double kBufferSeconds = 0.100;
constexpr double kPieceSeconds = 0.010;

class PulseDevice final : public AudioDevice {
public:
    pa_threaded_mainloop *loop = nullptr;
    pa_context *context = nullptr;
    pa_stream *stream = nullptr;
    int sampleRate = 0;
    std::atomic<Render> render{nullptr};
    std::atomic<RouteChanged> changed{nullptr};
    std::atomic<void *> user{nullptr};
    std::atomic<bool> broken{false};
    std::atomic<std::uint64_t> underflows{0};
    std::atomic<long> renderTid{0};
    // Woken from idle, libpulse dates the first writes from timing taken before the cork
    // (tens of ms off): no play-out time is told until the server has answered afresh.
    std::atomic<bool> timingStale{false};
    // Where the sound goes. The mainloop thread writes it from the server's sink reports,
    // outside any render; readers on other threads copy it under the lock.
    mutable std::mutex routeMutex;
    RouteWatch route;
    std::atomic<std::uint64_t> changes{0};
    bool movePending = false;  // mainloop thread: a move whose new sink is not known yet

    ~PulseDevice() override
    {
        if (loop) pa_threaded_mainloop_stop(loop);  // joins the thread: no callback after this
        if (stream) {
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
        }
        if (context) {
            pa_context_disconnect(context);
            pa_context_unref(context);
        }
        if (loop) pa_threaded_mainloop_free(loop);
    }

    // Mainloop thread. Writes straight into the server's buffer (no copy, no allocation).
    static void onWrite(pa_stream *s, size_t bytes, void *self)
    {
        auto *d = static_cast<PulseDevice *>(self);
        if (d->renderTid.load(std::memory_order_relaxed) == 0)
            d->renderTid.store(currentThreadId(), std::memory_order_relaxed);
        const Render r = d->render.load(std::memory_order_acquire);
        void *u = d->user.load(std::memory_order_acquire);
        while (bytes >= 2 * sizeof(float)) {
            void *data = nullptr;
            size_t n = bytes;
            if (pa_stream_begin_write(s, &data, &n) < 0 || !data) return;
            n -= n % (2 * sizeof(float));
            if (n == 0) {
                // Less than one frame offered: asking again would get the same, with the
                // mainloop's lock held. The next request comes with more room.
                pa_stream_cancel_write(s);
                return;
            }
            const int frames = static_cast<int>(n / (2 * sizeof(float)));
            // The first frame written now plays after everything already queued. A latency
            // of 0 or below means libpulse's estimate of the play position has reached or
            // passed all that was written: the server ran dry, and the first of these
            // frames may be dropped as too late, so no time is told for them.
            const std::int64_t now = SteadyNs();
            std::int64_t playout = -1;
            pa_usec_t latency = 0;
            int negative = 0;
            if (!d->timingStale.load(std::memory_order_acquire) &&
                pa_stream_get_latency(s, &latency, &negative) == 0 && !negative && latency > 0)
                playout = now + static_cast<std::int64_t>(latency) * 1000;
            if (r)
                r(u, static_cast<float *>(data), frames, now, playout);
            else
                std::memset(data, 0, n);
            if (pa_stream_write(s, data, n, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
            bytes -= n;
        }
    }

    static void onUnderflow(pa_stream *, void *self)
    {
        auto *d = static_cast<PulseDevice *>(self);
        d->underflows.fetch_add(1, std::memory_order_relaxed);
    }

    void routeChangedNow()
    {
        const RouteChanged c = changed.load(std::memory_order_acquire);
        if (c) c(user.load(std::memory_order_acquire), SteadyNs());
    }

    // Mainloop thread. Asks for the sink under the stream; its report comes to onSink.
    void askSink()
    {
        const std::uint32_t sink = pa_stream_get_device_index(stream);
        if (sink == PA_INVALID_INDEX) return;
        if (pa_operation *op = pa_context_get_sink_info_by_index(context, sink, &PulseDevice::onSink, this))
            pa_operation_unref(op);
    }

    static void onSink(pa_context *, const pa_sink_info *info, int eol, void *self)
    {
        auto *d = static_cast<PulseDevice *>(self);
        if (eol != 0 || !info) {
            // The end of the list, or the sink went away before it answered: a move still
            // counts, with the sink's name unknown.
            if (eol < 0 && d->movePending) {
                SinkInfo unknown;
                unknown.name = "?";
                unknown.description = "an unknown device";
                d->noteSink(unknown);
            }
            pa_threaded_mainloop_signal(d->loop, 0);
            return;
        }
        SinkInfo s;
        s.index = info->index;
        s.name = info->name ? info->name : "";
        s.description = info->description ? info->description : "";
        if (info->active_port) {
            s.port = info->active_port->name ? info->active_port->name : "";
            s.portDescription = info->active_port->description ? info->active_port->description : "";
        }
        s.earsApart = pa_channel_map_can_balance(&info->channel_map) != 0;
        d->noteSink(s);
        pa_threaded_mainloop_signal(d->loop, 0);
    }

    void noteSink(const SinkInfo &s)
    {
        bool moved = false;
        {
            std::lock_guard lock(routeMutex);
            moved = route.observe(s);
        }
        // A move was faded when it was told; a port switch is known only now.
        if (moved && !movePending) routeChangedNow();
        if (moved || movePending) changes.fetch_add(1, std::memory_order_release);
        movePending = false;
    }

    // The server moved the stream to another sink: the user chose one, the default
    // changed, or the sink went away. The sound is already going there.
    static void onMoved(pa_stream *, void *self)
    {
        auto *d = static_cast<PulseDevice *>(self);
        d->routeChangedNow();
        d->movePending = true;
        d->askSink();
    }

    // A change of some sink: only the stream's own can have switched its port.
    static void onSinkEvent(pa_context *, pa_subscription_event_type_t type, std::uint32_t index, void *self)
    {
        auto *d = static_cast<PulseDevice *>(self);
        if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK ||
            (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_CHANGE || d->movePending ||
            index != pa_stream_get_device_index(d->stream))
            return;
        d->askSink();
    }

    static void onState(pa_context *c, void *self)
    {
        auto *d = static_cast<PulseDevice *>(self);
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c))) d->broken.store(true, std::memory_order_release);
        pa_threaded_mainloop_signal(d->loop, 0);
    }
    static void onStreamState(pa_stream *s, void *self)
    {
        auto *d = static_cast<PulseDevice *>(self);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s))) d->broken.store(true, std::memory_order_release);
        pa_threaded_mainloop_signal(d->loop, 0);
    }

    // Waits (lock held) until ready() or a failure, for at most 2 s: a server that
    // accepts the connection and then never answers must not hang the caller, which may
    // be the program's start-up, or a reopen that a quit is waiting for.
    template <typename Ready>
    bool waitFor(Ready ready)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!ready()) {
            if (broken.load(std::memory_order_acquire) || deviceOpensAbandoned() ||
                std::chrono::steady_clock::now() > deadline)
                return false;
            pa_threaded_mainloop_unlock(loop);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            pa_threaded_mainloop_lock(loop);
        }
        return true;
    }

    // pipewire-pulse reports play-out times as a sawtooth: the latency told rises for a
    // while and falls back at each timing update, and moves by tens of ms in a stream's
    // first seconds, while the sound keeps its grid. PulseAudio's own move as much beside
    // a compile, which the sink's monitor showed were not in the sound. Taken for steps,
    // either cut or stretched bursts by as much (README has the figures). An underrun
    // costs no time on this stream (no prebuffering, see openPulseDevice), so nothing ever
    // moves the schedule.
    bool playoutWanders() const override { return true; }

    void start(Render r, RouteChanged c, void *u) override
    {
        pa_threaded_mainloop_lock(loop);
        user.store(u, std::memory_order_release);
        changed.store(c, std::memory_order_release);
        render.store(r, std::memory_order_release);
        pa_threaded_mainloop_unlock(loop);
    }
    // A corked stream is not asked for frames and holds none in the server, so the sink
    // can suspend; the server's own events (moves, ports, its end) still come.
    bool setIdle(bool idle) override
    {
        pa_threaded_mainloop_lock(loop);
        if (pa_operation *op = pa_stream_cork(stream, idle ? 1 : 0, nullptr, nullptr)) pa_operation_unref(op);
        if (!idle) {
            // Asked after the uncork, so the server answers for the stream as it now plays.
            timingStale.store(true, std::memory_order_release);
            if (pa_operation *op = pa_stream_update_timing_info(stream, &PulseDevice::onFreshTiming, this))
                pa_operation_unref(op);
            else
                timingStale.store(false, std::memory_order_release);
        }
        pa_threaded_mainloop_unlock(loop);
        return true;
    }

    static void onFreshTiming(pa_stream *, int, void *self)
    {
        static_cast<PulseDevice *>(self)->timingStale.store(false, std::memory_order_release);
    }
    int rate() const override { return sampleRate; }
    bool failed() const override { return broken.load(std::memory_order_acquire); }
    double commandLatencySeconds() const override
    {
        static_assert(kBufferSeconds + 2.0 * kPieceSeconds + 0.008 == kPulseCommandLatencySeconds);
        return kPulseCommandLatencySeconds;
    }
    const char *name() const override { return "pulse"; }
    std::uint64_t underruns() const override { return underflows.load(std::memory_order_relaxed); }
    long renderThreadId() const override { return renderTid.load(std::memory_order_relaxed); }
    std::uint64_t routeChanges() const override { return changes.load(std::memory_order_acquire); }
    std::string routeName() const override
    {
        std::lock_guard lock(routeMutex);
        return route.displayName();
    }
    int earsApart() const override
    {
        std::lock_guard lock(routeMutex);
        return route.known() ? (route.now().earsApart ? 1 : 0) : -1;
    }
};

}  // namespace

std::unique_ptr<AudioDevice> openPulseDevice(int rate, std::string &error)
{
    auto d = std::make_unique<PulseDevice>();
    d->sampleRate = rate;
    d->loop = pa_threaded_mainloop_new();
    if (!d->loop) {
        error = "audio: cannot create the PulseAudio mainloop";
        return nullptr;
    }
    d->context = pa_context_new(pa_threaded_mainloop_get_api(d->loop), "Velmora");
    pa_context_set_state_callback(d->context, &PulseDevice::onState, d.get());
    // No autospawn: a program that finds no server must not start one.
    if (pa_context_connect(d->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        pa_threaded_mainloop_start(d->loop) < 0) {
        error = std::string("audio: no PulseAudio server: ") + pa_strerror(pa_context_errno(d->context));
        return nullptr;
    }
    pa_threaded_mainloop_lock(d->loop);
    if (!d->waitFor([&] { return pa_context_get_state(d->context) == PA_CONTEXT_READY; })) {
        error = std::string("audio: no PulseAudio server: ") + pa_strerror(pa_context_errno(d->context));
        pa_threaded_mainloop_unlock(d->loop);
        return nullptr;
    }
    pa_sample_spec format{};
    format.format = PA_SAMPLE_FLOAT32NE;
    format.rate = static_cast<std::uint32_t>(rate);
    format.channels = 2;
    d->stream = pa_stream_new(d->context, "tones", &format, nullptr);
    if (!d->stream) {
        error = std::string("audio: PulseAudio refuses the stream: ") + pa_strerror(pa_context_errno(d->context));
        pa_threaded_mainloop_unlock(d->loop);
        return nullptr;
    }
    const auto bytesPerSecond = static_cast<std::uint32_t>(rate * 2 * sizeof(float));
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(kBufferSeconds * bytesPerSecond);
    // No prebuffering: a stream that ran dry plays on in silence and drops what comes too
    // late for its place, on PulseAudio and pipewire-pulse alike. With the default the
    // server waits for a full buffer and then plays everything after it that much later;
    // measured from the reports after the hole, that loss landed on a random point of
    // pipewire-pulse's sawtooth, and bursts sounded tens of ms off after a long stall.
    // So every frame is heard when its place says, across any underrun, and the server
    // cuts the burst its hole falls into, as the hole would anyway.
    attr.prebuf = 0;
    attr.minreq = static_cast<std::uint32_t>(kPieceSeconds * bytesPerSecond);
    attr.fragsize = static_cast<std::uint32_t>(-1);
    pa_stream_set_state_callback(d->stream, &PulseDevice::onStreamState, d.get());
    pa_stream_set_write_callback(d->stream, &PulseDevice::onWrite, d.get());
    pa_stream_set_underflow_callback(d->stream, &PulseDevice::onUnderflow, d.get());
    pa_stream_set_moved_callback(d->stream, &PulseDevice::onMoved, d.get());
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
                                                      PA_STREAM_ADJUST_LATENCY);
    if (pa_stream_connect_playback(d->stream, nullptr, &attr, flags, nullptr, nullptr) < 0) {
        error = std::string("audio: PulseAudio refuses the stream: ") + pa_strerror(pa_context_errno(d->context));
        pa_threaded_mainloop_unlock(d->loop);
        return nullptr;
    }
    const bool ready = d->waitFor([&] { return pa_stream_get_state(d->stream) == PA_STREAM_READY; });
    if (!ready) {
        pa_threaded_mainloop_unlock(d->loop);
        error = std::string("audio: PulseAudio stream failed: ") + pa_strerror(pa_context_errno(d->context));
        return nullptr;
    }
    // Where the sound goes, before anything plays: a pass must know whether the ears are
    // kept apart. A server that does not tell in time leaves it unknown, which refuses
    // nothing. Then every change of a sink, for a port switch of the stream's.
    pa_context_set_subscribe_callback(d->context, &PulseDevice::onSinkEvent, d.get());
    if (pa_operation *op = pa_context_subscribe(d->context, PA_SUBSCRIPTION_MASK_SINK, nullptr, nullptr))
        pa_operation_unref(op);
    d->askSink();
    d->waitFor([&] { return d->earsApart() >= 0; });
    pa_threaded_mainloop_unlock(d->loop);
    return d;
}

}  // namespace velmora::audio
