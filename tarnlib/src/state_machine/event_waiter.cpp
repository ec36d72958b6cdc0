#include "tarnlib/state_machine/event_waiter.hpp"

namespace tarnlib {

namespace {

constexpr EventWaiter::Machine::State kStates[] = {
    {&EventWaiter::armed, "armed"},
    {&EventWaiter::triggered_state, "triggered"},
};

}  // namespace

std::shared_ptr<EventWaiter> EventWaiter::create(std::string name, NetworkEvent awaited) {
    std::shared_ptr<EventWaiter> waiter(new EventWaiter(std::move(name), std::move(awaited)));
    waiter->fsm_.start();
    return waiter;
}

EventWaiter::EventWaiter(std::string name, NetworkEvent awaited)
    : awaited_(std::move(awaited)), fsm_(std::move(name), *this, &EventWaiter::armed, kStates) {}

Notifier::Callback EventWaiter::callback() {
    // Shared, not weak: a waiter has no threads, and whoever subscribed it may drop their own
    // reference while it is still subscribed.
    return [self = shared_from_this()](const NetworkEvent& event, std::int32_t token) {
        self->deliver(event, token);
    };
}

void EventWaiter::deliver(const NetworkEvent& event, std::int32_t token) {
    fsm_.dispatch(event, token);
}

bool EventWaiter::wait(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return triggered_; });
}

bool EventWaiter::triggered() const {
    std::lock_guard lock(mutex_);
    return triggered_;
}

bool EventWaiter::matches(const NetworkEvent& event) const {
    if (event.kind != awaited_.kind) {
        return false;
    }
    if (event.kind != EventKind::Frames) {
        return true;
    }
    const auto empty = std::vector<CanMessage>{};
    const auto& want = awaited_.frames ? *awaited_.frames : empty;
    const auto& got = event.frames ? *event.frames : empty;
    return want == got;
}

void EventWaiter::set_triggered(bool value) {
    {
        std::lock_guard lock(mutex_);
        triggered_ = value;
    }
    if (value) {
        changed_.notify_all();
    }
}

EventWaiter::Machine::Outcome EventWaiter::armed(EventWaiter& w, const NetworkEvent& e,
                                                 std::int32_t) {
    if (e.kind != EventKind::Entry && e.kind != EventKind::Exit && w.matches(e)) {
        return Machine::transition(&EventWaiter::triggered_state);
    }
    return Machine::handled();
}

EventWaiter::Machine::Outcome EventWaiter::triggered_state(EventWaiter& w, const NetworkEvent& e,
                                                           std::int32_t token) {
    switch (e.kind) {
        case EventKind::Entry:
            w.set_triggered(true);
            return Machine::handled();
        case EventKind::Exit:
            w.set_triggered(false);
            return Machine::handled();
        case EventKind::Down:
            return token == 1 ? Machine::transition(&EventWaiter::armed) : Machine::handled();
        default:
            return Machine::handled();
    }
}

}  // namespace tarnlib
