#pragma once
// An automatic-reset event shared by every process that opens it by name: any of them sets
// it, and one wait that sees it set takes the signal. A set with nobody waiting is kept for
// the next wait. Meant as a doorbell: a process waits on its own event, others ring it.
// Windows: CreateEventA. POSIX: a futex word in a small named shared segment.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/event.hpp"
#include "platform/expected.hpp"

namespace platform {

class NamedEvent {
  public:
    static Result<NamedEvent> open(const std::string& name);

    NamedEvent(NamedEvent&&) noexcept;
    NamedEvent& operator=(NamedEvent&&) noexcept;
    NamedEvent(const NamedEvent&) = delete;
    NamedEvent& operator=(const NamedEvent&) = delete;
    ~NamedEvent();

    void set() noexcept;
    // Waits until the event is set (and takes the signal) or the deadline on
    // platform::monotonic_ns() passes; INT64_MAX waits without limit.
    WaitResult wait_until(std::int64_t deadline_monotonic_ns) noexcept;

    struct Impl;

  private:
    explicit NamedEvent(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
