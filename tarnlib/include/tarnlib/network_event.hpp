#pragma once
// The events the machines of the CAN network system exchange: the runtime's own (Entry,
// Exit, Timeout), the device states they publish, batches of received frames and the
// reports of the automatic bit-rate detector.

#include <memory>
#include <optional>
#include <vector>

#include "tarnlib/bus_configuration.hpp"
#include "tarnlib/can_message.hpp"

namespace tarnlib {

enum class EventKind {
    Entry,            // sent to a state when it becomes current
    Exit,             // sent to a state when it is left
    Timeout,          // a timer of the machine expired
    Reevaluate,       // the configuration changed: look at it again
    Up,               // on the bus
    Down,             // no longer on the bus
    Configured,       // open, but not on the bus
    Busy,             // the channel is held by someone else
    Missing,          // the channel is not there
    Misconfigured,    // the channel refused the configuration
    Frames,           // a batch of received frames
    TimingReport,     // the bit-rate detector is watching a timing
    DetectionFailed,  // the bit-rate detector gave up
};

// The kind's name: "Entry", "Exit", ..., "DetectionFailed".
const char* to_string(EventKind kind) noexcept;

struct NetworkEvent {
    EventKind kind = EventKind::Entry;
    // The frames of a Frames event, in driver order; null for every other kind.
    std::shared_ptr<const std::vector<CanMessage>> frames;
    // The timing of a TimingReport, and of the Up that ends a detection.
    std::optional<BusConfiguration> timing;

    static NetworkEvent of(EventKind kind) { return NetworkEvent{kind, nullptr, std::nullopt}; }
    static NetworkEvent with_frames(std::vector<CanMessage> frames) {
        return NetworkEvent{EventKind::Frames,
                            std::make_shared<const std::vector<CanMessage>>(std::move(frames)),
                            std::nullopt};
    }
    static NetworkEvent with_timing(EventKind kind, BusConfiguration timing) {
        return NetworkEvent{kind, nullptr, std::move(timing)};
    }
};

}  // namespace tarnlib
