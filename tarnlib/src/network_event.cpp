#include "tarnlib/network_event.hpp"

namespace tarnlib {

const char* to_string(EventKind kind) noexcept {
    switch (kind) {
        case EventKind::Entry:
            return "Entry";
        case EventKind::Exit:
            return "Exit";
        case EventKind::Timeout:
            return "Timeout";
        case EventKind::Reevaluate:
            return "Reevaluate";
        case EventKind::Up:
            return "Up";
        case EventKind::Down:
            return "Down";
        case EventKind::Configured:
            return "Configured";
        case EventKind::Busy:
            return "Busy";
        case EventKind::Missing:
            return "Missing";
        case EventKind::Misconfigured:
            return "Misconfigured";
        case EventKind::Frames:
            return "Frames";
        case EventKind::TimingReport:
            return "TimingReport";
        case EventKind::DetectionFailed:
            return "DetectionFailed";
    }
    return "unknown";
}

}  // namespace tarnlib
