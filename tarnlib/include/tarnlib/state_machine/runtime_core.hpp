#pragma once
// The timer threads that feed the machines their time-outs. A ThreadControl owns one thread
// that sleeps until its deadline (or without limit when there is none) and then calls its
// fire function, which dispatches the machine's timer event. Setting a new deadline wakes
// the thread, which then waits for the new one.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/thread.hpp"

namespace tarnlib {

class ThreadControl {
  public:
    using Fire = std::function<void()>;

    ThreadControl() = default;
    ThreadControl(const ThreadControl&) = delete;
    ThreadControl& operator=(const ThreadControl&) = delete;
    // Stops the thread (see stop()).
    ~ThreadControl();

    // Starts the thread with the given name and a raised priority (when the system refuses
    // the priority the thread runs at its normal one). The fire function runs on the thread
    // each time the deadline passes; the deadline is cleared before. Ends the process when
    // the wake-up event, the timer or the thread cannot be created. Called once.
    void start(std::string thread_name, Fire fire);

    // Deadline = now + timeout (saturated); nullopt cancels. Wakes the thread.
    void set_timeout(std::optional<std::chrono::nanoseconds> timeout) noexcept;
    // An absolute deadline on platform::monotonic_ns(); nullopt cancels. A deadline that has
    // passed fires at once.
    void set_deadline(std::optional<std::int64_t> deadline_monotonic_ns) noexcept;
    void cancel() noexcept { set_deadline(std::nullopt); }
    std::optional<std::int64_t> deadline() const noexcept;

    // Sets the stop flag, wakes the thread and joins it; on the thread itself (its machine is
    // being dropped from its own handler) the thread is detached instead and ends when its
    // fire function returns. No fire starts after stop() returns. Idempotent.
    void stop() noexcept;

  private:
    struct Shared;
    std::shared_ptr<Shared> shared_;  // shared with the thread, which may outlive a detach
    platform::Thread thread_;
};

}  // namespace tarnlib
