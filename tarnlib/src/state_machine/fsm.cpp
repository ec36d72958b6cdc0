#include "tarnlib/state_machine/fsm.hpp"

#include <algorithm>
#include <vector>

#include "platform/process.hpp"

namespace tarnlib {

namespace {

// The machines the calling thread is dispatching into, innermost last.
std::vector<const DispatchGate*>& dispatch_stack() {
    thread_local std::vector<const DispatchGate*> stack;
    return stack;
}

}  // namespace

bool DispatchGate::enter() noexcept {
    auto& stack = dispatch_stack();
    if (std::find(stack.begin(), stack.end(), this) != stack.end()) {
        platform::fatal(
            "nested dispatch is not allowed; dispatch must come from outside the state handler");
    }
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !busy_ || stopped_; });
        if (stopped_) {
            return false;
        }
        busy_ = true;
    }
    stack.push_back(this);
    return true;
}

void DispatchGate::leave() noexcept {
    dispatch_stack().pop_back();
    {
        std::lock_guard lock(mutex_);
        busy_ = false;
    }
    changed_.notify_all();
}

void DispatchGate::stop() noexcept {
    const bool inside = entered_by_current_thread();
    std::unique_lock lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
    if (!inside) {
        changed_.wait(lock, [this] { return !busy_; });
    }
}

bool DispatchGate::stopped() const noexcept {
    std::lock_guard lock(mutex_);
    return stopped_;
}

bool DispatchGate::entered_by_current_thread() const noexcept {
    const auto& stack = dispatch_stack();
    return std::find(stack.begin(), stack.end(), this) != stack.end();
}

}  // namespace tarnlib
