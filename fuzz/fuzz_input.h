#pragma once
// Draws typed values from a fuzzer's bytes. Past the end every draw is zero, so any input
// is a complete run and a shorter input is a prefix of a longer one's run.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velmora::fuzz {

class Input {
public:
    Input(const std::uint8_t *data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }

    template <typename T>
    T take()
    {
        T v{};
        unsigned char bytes[sizeof(T)] = {};
        for (std::size_t i = 0; i < sizeof(T) && pos_ < size_; ++i) bytes[i] = data_[pos_++];
        std::memcpy(&v, bytes, sizeof(T));
        return v;
    }

    // lo..hi inclusive.
    std::int64_t range(std::int64_t lo, std::int64_t hi)
    {
        const auto span = static_cast<std::uint64_t>(hi - lo) + 1;
        const std::uint64_t raw = span <= 0x100 ? take<std::uint8_t>() : span <= 0x10000 ? take<std::uint16_t>()
                                                                                          : take<std::uint32_t>();
        return lo + static_cast<std::int64_t>(span == 0 ? raw : raw % span);
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace velmora::fuzz
