#pragma once
// Commands from the control threads to the audio thread: each with the time it was issued,
// applied by the audio thread at the output frame that the time maps to.

#include "platform/audio.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace velmora::audio {

enum class Op : std::uint8_t { Attach, Free, Play, Stop, Seek, Volume, Rate, Master };

struct Command {
    Op op = Op::Play;
    bool restart = false;
    AudioHandle handle = 0;
    std::int64_t stamp = 0;  // when issued (Sys_Stamp); on the audio side, the output frame to apply at
    std::uint32_t line = 0;  // the issuing thread's timeline, 0 for none
    std::uint32_t epoch = 0;
    std::int64_t frame = 0;  // seek target
    double value = 0.0;
    std::uint64_t play = 0;  // a play's number
};

// Bounded multi-producer queue (Vyukov): a push never blocks, a full queue refuses.
class CommandQueue {
public:
    explicit CommandQueue(int capacity)
    {
        // At least two cells: with one, a cell's "written at p" and "free for p + 1" are
        // the same sequence number, and a push would write over a command not yet taken.
        std::size_t n = 2;
        while (n < static_cast<std::size_t>(capacity)) n <<= 1;
        cells_ = std::make_unique<Cell[]>(n);
        mask_ = n - 1;
        for (std::size_t i = 0; i < n; ++i) cells_[i].seq.store(i, std::memory_order_relaxed);
    }

    bool push(const Command &c)
    {
        std::size_t pos = tail_.load(std::memory_order_relaxed);
        for (;;) {
            Cell &cell = cells_[pos & mask_];
            const std::size_t seq = cell.seq.load(std::memory_order_acquire);
            const auto diff = static_cast<std::intptr_t>(seq) - static_cast<std::intptr_t>(pos);
            if (diff == 0) {
                if (tail_.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                    cell.cmd = c;
                    cell.seq.store(pos + 1, std::memory_order_release);
                    return true;
                }
            } else if (diff < 0) {
                return false;
            } else {
                pos = tail_.load(std::memory_order_relaxed);
            }
        }
    }

    // Single consumer: the audio thread.
    bool pop(Command &out)
    {
        Cell &cell = cells_[head_ & mask_];
        const std::size_t seq = cell.seq.load(std::memory_order_acquire);
        if (static_cast<std::intptr_t>(seq) - static_cast<std::intptr_t>(head_ + 1) < 0) return false;
        out = cell.cmd;
        cell.seq.store(head_ + mask_ + 1, std::memory_order_release);
        ++head_;
        return true;
    }

private:
    struct Cell {
        std::atomic<std::size_t> seq{0};
        Command cmd;
    };
    std::unique_ptr<Cell[]> cells_;
    std::size_t mask_ = 0;
    alignas(64) std::atomic<std::size_t> tail_{0};
    alignas(64) std::size_t head_ = 0;
};

}  // namespace velmora::audio
