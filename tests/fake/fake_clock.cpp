// The scheduler behind the virtual clock: one mutex, one condition variable, and a turn
// that exactly one participant holds at a time (see fake_platform.h for the order).

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "fake/fake_platform.h"

namespace fake {
namespace {

// Tie order at one virtual time.
constexpr int kPrioTest = 0;
constexpr int kPrioPool = 1;
constexpr int kPrioAfterThreads = 2;

constexpr std::int64_t kDefaultSecondsAtZero = 1'750'000'000;

struct Slot {
    bool isTest = false;
    bool waiting = false;
    bool granted = false;
    bool ended = false;
    bool untilNoThreads = false;  // test only: also take the turn as soon as no pool thread lives
    std::int64_t wake = 0;
    int prio = 0;
    std::uint64_t seq = 0;
};

struct Action {
    std::int64_t t;
    int prio;
    std::uint64_t seq;
    std::function<void()> fn;
};

struct State {
    std::mutex m;
    std::condition_variable cv;
    std::int64_t now = 0;
    int testPrio = kPrioTest;  // where in the tie order at `now` the test thread last woke
    std::uint64_t seq = 0;
    std::vector<std::unique_ptr<Slot>> slots;  // [0] is the test thread
    Slot *holder = nullptr;
    int live = 0;
    std::vector<Action> actions;
    int watchdogSeconds = 10;
    std::function<void(std::int64_t)> onAdvance;
    std::vector<std::thread> threads;  // every thread started since the last ResetClock
    int nextThreadIndex = 1;

    std::int64_t secondsAtZero = kDefaultSecondsAtZero;
    int msIntoSecond = 0;
    std::uint64_t rng = 1;  // as the C library: unseeded is seeded with 1
    std::deque<int> queuedRand;
    std::vector<RandEvent> randLog;

    State()
    {
        slots.push_back(std::make_unique<Slot>());
        slots[0]->isTest = true;
        holder = slots[0].get();
    }
};

State &S()
{
    static State state;
    return state;
}

thread_local Slot *tlsSlot = nullptr;  // null on the test thread
thread_local int tlsIndex = 0;
thread_local int tlsStarted = -1;

std::uint64_t SplitMix(std::uint64_t &x)
{
    std::uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

int Draw(std::uint64_t &x) { return static_cast<int>(SplitMix(x) >> 33); }

[[noreturn]] void Die(State &s, const char *why)
{
    std::fprintf(stderr, "fake clock: %s\n  virtual time %lld ms, live pool threads %d, actions pending %zu\n", why,
                 static_cast<long long>(s.now), s.live, s.actions.size());
    for (std::size_t i = 0; i < s.slots.size(); ++i) {
        const Slot &x = *s.slots[i];
        std::fprintf(stderr, "  slot %zu%s: %s%s%s wake %lld prio %d%s\n", i, x.isTest ? " (test)" : "",
                     x.ended ? "ended" : (x.waiting ? "sleeping" : "running"), x.granted ? ", granted" : "",
                     x.untilNoThreads ? ", until no threads" : "", static_cast<long long>(x.wake), x.prio,
                     s.holder == &x ? " <- holds the turn" : "");
    }
    std::fflush(stderr);
    std::abort();
}

Slot *Self(State &s) { return tlsSlot != nullptr ? tlsSlot : s.slots[0].get(); }

// Hands the turn to the next sleeper; lock held.
void PassTurn(State &s)
{
    Slot *best = nullptr;
    for (auto &p : s.slots) {
        Slot *x = p.get();
        if (!x->waiting || x->granted || x->ended) {
            continue;
        }
        if (x->untilNoThreads && s.live == 0) {
            // Woken by the last pool thread's end, at the time it ended.
            s.holder = x;
            x->prio = kPrioPool;
            x->granted = true;
            s.cv.notify_all();
            return;
        }
        if (best == nullptr || std::tie(x->wake, x->prio, x->seq) < std::tie(best->wake, best->prio, best->seq)) {
            best = x;
        }
    }
    s.holder = best;
    if (best == nullptr) {
        return;
    }
    if (best->wake > s.now && s.onAdvance) {
        s.onAdvance(best->wake);
    }
    s.now = std::max(s.now, best->wake);
    best->granted = true;
    s.cv.notify_all();
}

void WaitTurn(State &s, std::unique_lock<std::mutex> &lock, Slot *self)
{
    if (self->isTest) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(s.watchdogSeconds);
        while (!self->granted) {
            if (s.cv.wait_until(lock, deadline) == std::cv_status::timeout && !self->granted) {
                Die(s, "watchdog: the test thread waited too long for its turn (a pool thread blocked "
                       "outside the fake clock?)");
            }
        }
        s.testPrio = self->prio;
    } else {
        s.cv.wait(lock, [self] { return self->granted; });
    }
    self->granted = false;
    self->waiting = false;
    self->untilNoThreads = false;
}

void Yield(State &s, std::unique_lock<std::mutex> &lock, std::int64_t wake, int prio, bool untilNoThreads)
{
    Slot *self = Self(s);
    if (s.holder != self && s.holder != nullptr) {
        Die(s, "a thread ran without holding the turn");
    }
    self->waiting = true;
    self->wake = wake;
    self->prio = prio;
    self->seq = ++s.seq;
    self->untilNoThreads = untilNoThreads;
    PassTurn(s);
    WaitTurn(s, lock, self);
}

void RequireTestThread(State &s, const char *what)
{
    if (tlsSlot != nullptr) {
        std::lock_guard lock(s.m);
        std::fprintf(stderr, "fake clock: %s called on a pool thread\n", what);
        Die(s, "misuse");
    }
}

// The test thread's next own wake: the earliest pending action, or `target` at targetPrio.
std::tuple<std::int64_t, int> NextTestWake(const State &s, std::int64_t target, int targetPrio)
{
    std::tuple<std::int64_t, int> next{target, targetPrio};
    for (const Action &a : s.actions) {
        next = std::min(next, std::tuple<std::int64_t, int>{std::max(a.t, s.now), a.prio});
    }
    return next;
}

void AddAction(std::int64_t t, int prio, std::function<void()> fn)
{
    State &s = S();
    std::lock_guard lock(s.m);
    s.actions.push_back(Action{t, prio, ++s.seq, std::move(fn)});
}

}  // namespace

void OnAdvance(std::function<void(std::int64_t)> fn)
{
    State &s = S();
    std::lock_guard lock(s.m);
    s.onAdvance = std::move(fn);
}

std::int64_t Now()
{
    State &s = S();
    std::lock_guard lock(s.m);
    return s.now;
}

void At(std::int64_t t, std::function<void()> fn) { AddAction(t, kPrioTest, std::move(fn)); }

void AtAfterThreads(std::int64_t t, std::function<void()> fn) { AddAction(t, kPrioAfterThreads, std::move(fn)); }

void detail::RunDueActions()
{
    State &s = S();
    RequireTestThread(s, "RunDueActions");
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard lock(s.m);
            auto due = s.actions.end();
            for (auto it = s.actions.begin(); it != s.actions.end(); ++it) {
                const bool isDue = it->t < s.now || (it->t == s.now && it->prio <= s.testPrio);
                if (isDue && (due == s.actions.end() ||
                              std::tie(it->t, it->prio, it->seq) < std::tie(due->t, due->prio, due->seq))) {
                    due = it;
                }
            }
            if (due == s.actions.end()) {
                return;
            }
            fn = std::move(due->fn);
            s.actions.erase(due);
        }
        fn();
    }
}

void RunUntil(std::int64_t t)
{
    State &s = S();
    RequireTestThread(s, "RunUntil");
    for (;;) {
        detail::RunDueActions();
        std::unique_lock lock(s.m);
        if (s.now >= t) {
            return;
        }
        const auto [wake, prio] = NextTestWake(s, t, kPrioTest);
        Yield(s, lock, wake, prio, false);
    }
}

bool RunUntilThreadsEnded(std::int64_t limit)
{
    State &s = S();
    RequireTestThread(s, "RunUntilThreadsEnded");
    for (;;) {
        detail::RunDueActions();
        std::unique_lock lock(s.m);
        if (s.live == 0) {
            return true;
        }
        // The limit is inclusive: threads that wake at it still run.
        if (s.now > limit || (s.now == limit && s.testPrio == kPrioAfterThreads)) {
            return false;
        }
        const auto [wake, prio] = NextTestWake(s, limit, kPrioAfterThreads);
        Yield(s, lock, wake, prio, true);
    }
}

int LiveThreads()
{
    State &s = S();
    std::lock_guard lock(s.m);
    return s.live;
}

void SetWatchdogSeconds(int seconds)
{
    State &s = S();
    std::lock_guard lock(s.m);
    s.watchdogSeconds = seconds;
}

int ThreadIndex() { return tlsIndex; }

void ResetClock()
{
    State &s = S();
    RequireTestThread(s, "ResetClock");
    if (LiveThreads() == 0) {
        detail::JoinThreads();
    }
    std::lock_guard lock(s.m);
    if (s.live != 0) {
        Die(s, "reset while pool threads are alive: the previous test left a procedure running");
    }
    s.slots.resize(1);
    *s.slots[0] = Slot{};
    s.slots[0]->isTest = true;
    s.holder = s.slots[0].get();
    s.now = 0;
    s.testPrio = kPrioTest;
    s.seq = 0;
    s.actions.clear();
    s.onAdvance = nullptr;
    s.nextThreadIndex = 1;
    s.secondsAtZero = kDefaultSecondsAtZero;
    s.msIntoSecond = 0;
    s.rng = 1;
    s.queuedRand.clear();
    s.randLog.clear();
}

int detail::TakeStartedSlot()
{
    const int slot = tlsStarted;
    tlsStarted = -1;
    return slot;
}

void detail::EnterThread(int slot, int threadIndex)
{
    tlsIndex = threadIndex;
    if (slot < 0) {
        return;
    }
    State &s = S();
    std::unique_lock lock(s.m);
    tlsSlot = s.slots.at(static_cast<std::size_t>(slot)).get();
    WaitTurn(s, lock, tlsSlot);
}

void detail::Sleep(unsigned ms)
{
    State &s = S();
    std::unique_lock lock(s.m);
    const bool test = tlsSlot == nullptr;
    Yield(s, lock, s.now + ms, test ? kPrioTest : kPrioPool, false);
}

int detail::StartThread(void (*fn)(void *), void *data)
{
    Announce();
    const int slot = TakeStartedSlot();
    State &s = S();
    std::lock_guard lock(s.m);
    const int index = s.nextThreadIndex++;
    s.threads.emplace_back([slot, index, fn, data] {
        EnterThread(slot, index);
        fn(data);
        // Last: the turn passes on here, so whatever fn did is seen by whoever runs next.
        Leave();
    });
    return 0;
}

void detail::JoinThreads()
{
    State &s = S();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(s.m);
        threads.swap(s.threads);
    }
    for (std::thread &t : threads) {
        t.join();
    }
}

void detail::Announce()
{
    State &s = S();
    std::lock_guard lock(s.m);
    // A new thread waits as if it had gone to sleep now: it runs once the announcing
    // thread gives up its turn, after every thread that went to sleep before it.
    auto slot = std::make_unique<Slot>();
    slot->waiting = true;
    slot->wake = s.now;
    slot->prio = kPrioPool;
    slot->seq = ++s.seq;
    s.slots.push_back(std::move(slot));
    ++s.live;
    tlsStarted = static_cast<int>(s.slots.size()) - 1;
}

void detail::Leave()
{
    if (tlsSlot == nullptr) {
        return;
    }
    State &s = S();
    std::lock_guard lock(s.m);
    if (s.holder != tlsSlot) {
        Die(s, "a pool thread ended without holding the turn");
    }
    tlsSlot->ended = true;
    tlsSlot->waiting = false;
    --s.live;
    tlsSlot = nullptr;
    PassTurn(s);
}

std::int64_t detail::Time()
{
    State &s = S();
    std::lock_guard lock(s.m);
    return s.secondsAtZero + (s.now + s.msIntoSecond) / 1000;
}

void detail::Srand(unsigned seed)
{
    State &s = S();
    std::lock_guard lock(s.m);
    s.rng = seed;
    s.randLog.push_back(RandEvent{s.now, tlsIndex, true, seed, 0, false});
}

int detail::Rand()
{
    State &s = S();
    std::lock_guard lock(s.m);
    int value = 0;
    bool scripted = false;
    if (!s.queuedRand.empty()) {
        value = s.queuedRand.front();
        s.queuedRand.pop_front();
        scripted = true;
    } else {
        value = Draw(s.rng);
    }
    s.randLog.push_back(RandEvent{s.now, tlsIndex, false, 0, value, scripted});
    return value;
}

void SetTimeBase(std::int64_t secondsAtZero, int msIntoSecond)
{
    State &s = S();
    std::lock_guard lock(s.m);
    s.secondsAtZero = secondsAtZero;
    s.msIntoSecond = msIntoSecond;
}

void QueueRand(std::vector<int> values)
{
    State &s = S();
    std::lock_guard lock(s.m);
    s.queuedRand.insert(s.queuedRand.end(), values.begin(), values.end());
}

std::vector<RandEvent> RandLog()
{
    State &s = S();
    std::lock_guard lock(s.m);
    return s.randLog;
}

int FirstDrawAfterSeed(unsigned seed)
{
    std::uint64_t x = seed;
    return Draw(x);
}

}  // namespace fake
