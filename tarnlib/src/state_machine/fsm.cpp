#include "tarnlib/state_machine/fsm.hpp"

#include <algorithm>
#include <cstddef>
#include <type_traits>

#include "platform/process.hpp"

namespace tarnlib {

namespace {

// The machines the calling thread is dispatching into, innermost last. Plain data (see the
// rule in platform/thread.hpp); the chain from the user-facing objects down to the devices
// is a few machines deep.
struct DispatchStack {
    static constexpr std::size_t capacity = 16;
    const DispatchGate* gates[capacity];
    std::size_t depth;

    const DispatchGate* const* begin() const noexcept { return gates; }
    const DispatchGate* const* end() const noexcept { return gates + depth; }
    bool contains(const DispatchGate* gate) const noexcept {
        return std::find(begin(), end(), gate) != end();
    }
};
static_assert(std::is_trivially_destructible_v<DispatchStack>);

DispatchStack& dispatch_stack() {
    thread_local DispatchStack stack{};
    return stack;
}

}  // namespace

bool DispatchGate::enter() noexcept {
    auto& stack = dispatch_stack();
    if (stack.contains(this)) {
        platform::fatal(
            "nested dispatch is not allowed; dispatch must come from outside the state handler");
    }
    if (stack.depth == DispatchStack::capacity) {
        platform::fatal("dispatch chain too deep: more than 16 machines on one thread");
    }
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !busy_ || stopped_; });
        if (stopped_) {
            return false;
        }
        busy_ = true;
    }
    stack.gates[stack.depth++] = this;
    return true;
}

void DispatchGate::leave() noexcept {
    --dispatch_stack().depth;
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
    return dispatch_stack().contains(this);
}

}  // namespace tarnlib
