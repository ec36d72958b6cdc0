#pragma once
// Waiting for a machine to reach a condition from an ordinary thread, with a time limit. An
// event waiter is a tiny machine ("armed", "triggered") subscribed to a notifier: an event
// of the awaited kind (for a batch of frames: the same frames) triggers it and wakes every
// thread in wait(). While triggered, a Down delivered with token 1 arms it again.
//
// A waiter sees only what is published after it subscribed: to wait for a state the
// publisher may already be in, subscribe first, then look at the publisher's state, then
// wait (CanDevice::wait_until_up does this).

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "tarnlib/network_event.hpp"
#include "tarnlib/state_machine/fsm.hpp"
#include "tarnlib/state_machine/notifier.hpp"

namespace tarnlib {

class EventWaiter : public std::enable_shared_from_this<EventWaiter> {
  public:
    static std::shared_ptr<EventWaiter> create(std::string name, NetworkEvent awaited);

    EventWaiter(const EventWaiter&) = delete;
    EventWaiter& operator=(const EventWaiter&) = delete;

    // The callback to subscribe; it keeps the waiter alive while subscribed.
    Notifier::Callback callback();
    // Delivers one event, as the notifier does.
    void deliver(const NetworkEvent& event, std::int32_t token);

    // Waits until triggered, at most the timeout; whether it is triggered.
    bool wait(std::chrono::milliseconds timeout);
    bool triggered() const;

    const std::string& name() const noexcept { return fsm_.name(); }
    // "armed", "triggered".
    std::string state_name() const { return fsm_.state_name(); }

    // Public for the machine's state table.
    using Machine = Fsm<EventWaiter>;
    static Machine::Outcome armed(EventWaiter& w, const NetworkEvent& e, std::int32_t token);
    static Machine::Outcome triggered_state(EventWaiter& w, const NetworkEvent& e,
                                            std::int32_t token);

  private:
    EventWaiter(std::string name, NetworkEvent awaited);
    bool matches(const NetworkEvent& event) const;
    void set_triggered(bool value);

    const NetworkEvent awaited_;
    mutable std::mutex mutex_;  // guards triggered_
    std::condition_variable changed_;
    bool triggered_ = false;
    Machine fsm_;
};

}  // namespace tarnlib
