#pragma once
// Where the sound goes, as a sound server tells it of the sink under the stream. The
// server reports a sink again for every change of it (volume, state, port); only another
// sink, or the same sink through another port, sends the sound somewhere else. Plain data
// and logic, no library: the pulse device feeds it, a test feeds it by hand.

#include <cstdint>
#include <string>

namespace velmora::audio {

struct SinkInfo {
    std::uint32_t index = 0;
    std::string name;             // the server's own name of the sink
    std::string description;      // for people
    std::string port;             // the active port's name, empty for a sink without ports
    std::string portDescription;
    bool earsApart = true;        // a left and a right channel
};

class RouteWatch {
public:
    // The sink under the stream as the server tells it now. True when the sound goes
    // elsewhere than at the last call; never for the first.
    bool observe(const SinkInfo &info)
    {
        const bool moved = known_ && (info.name != now_.name || info.port != now_.port);
        if (moved) before_ = displayName();
        known_ = true;
        now_ = info;
        return moved;
    }
    bool known() const { return known_; }
    const SinkInfo &now() const { return now_; }
    // For a line on standard error or a warning: "Built-in Audio (Headphones)".
    std::string displayName() const
    {
        if (!known_) return {};
        const std::string &base = now_.description.empty() ? now_.name : now_.description;
        return now_.portDescription.empty() ? base : base + " (" + now_.portDescription + ")";
    }
    // The display name before the last change.
    const std::string &before() const { return before_; }

private:
    bool known_ = false;
    SinkInfo now_;
    std::string before_;
};

}  // namespace velmora::audio
