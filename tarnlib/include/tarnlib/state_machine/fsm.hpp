#pragma once
// The machine object every active part of the CAN network system is built on. A state is a
// handler function; the current state is the current handler. Dispatch runs on the calling
// thread, one dispatch at a time per machine: the handler gets the event and answers
// "handled" or "go to that state", and the machine then calls the old state with Exit and
// the new one with Entry, as long as entry handlers keep answering with transitions.
//
// A handler may dispatch into other machines (the lock order follows the call chain, from
// the user-facing objects down to the devices), never into its own: that ends the process.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <utility>

#include "tarnlib/network_event.hpp"

namespace tarnlib {

// Serialises the dispatches into one machine, refuses a dispatch into a machine from inside
// its own handler, and lets the owner stop the machine.
class DispatchGate {
  public:
    DispatchGate() = default;
    DispatchGate(const DispatchGate&) = delete;
    DispatchGate& operator=(const DispatchGate&) = delete;

    // Starts a dispatch on the calling thread. Ends the process when the thread is inside a
    // dispatch of this machine already; waits while another thread dispatches. False when
    // the machine is stopped: the event is dropped.
    [[nodiscard]] bool enter() noexcept;
    void leave() noexcept;

    // After stop() returns, no handler of the machine runs again, apart from the one the
    // calling thread may itself be inside of (a machine dropped from its own handler).
    // Dispatches waiting for their turn return without running.
    void stop() noexcept;

    bool stopped() const noexcept;
    // Whether the calling thread is inside a dispatch of this machine.
    bool entered_by_current_thread() const noexcept;

  private:
    mutable std::mutex mutex_;  // guards busy_ and stopped_
    std::condition_variable changed_;
    bool busy_ = false;
    bool stopped_ = false;
};

template <class Context>
class Fsm {
  public:
    struct Outcome;
    using Handler = Outcome (*)(Context& context, const NetworkEvent& event, std::int32_t argument);
    // A handler's answer: handled (or ignored) when target is null, else a transition.
    struct Outcome {
        Handler target = nullptr;
    };
    // A state the machine knows by name.
    struct State {
        Handler handler;
        const char* name;
    };

    static constexpr Outcome handled() noexcept { return Outcome{}; }
    static constexpr Outcome transition(Handler target) noexcept { return Outcome{target}; }

    // states: the machine's named states (a static table); any other handler is "unknown".
    Fsm(std::string name, Context& context, Handler initial, std::span<const State> states)
        : name_(std::move(name)), context_(context), states_(states), current_(initial) {}
    Fsm(const Fsm&) = delete;
    Fsm& operator=(const Fsm&) = delete;

    // Dispatches Entry into the initial state. Called once, when the context is complete.
    void start() noexcept { dispatch(NetworkEvent::of(EventKind::Entry), 0); }

    // Calls the current state with the event and follows the transitions it asks for.
    // Callable from any thread that is not inside a handler of this machine.
    void dispatch(const NetworkEvent& event, std::int32_t argument) noexcept {
        if (!gate_.enter()) {
            return;
        }
        Handler state = current_.load();
        Outcome outcome = state(context_, event, argument);
        // A machine stopped from inside this dispatch makes no further transitions.
        while (outcome.target != nullptr && !gate_.stopped()) {
            state(context_, NetworkEvent::of(EventKind::Exit), 0);
            state = outcome.target;
            current_.store(state);
            outcome = state(context_, NetworkEvent::of(EventKind::Entry), 0);
        }
        gate_.leave();
    }

    // No handler runs after this returns (see DispatchGate::stop).
    void stop() noexcept { gate_.stop(); }

    // Whether the calling thread is inside a handler of this machine.
    bool is_current_thread_dispatching() const noexcept {
        return gate_.entered_by_current_thread();
    }

    const std::string& name() const noexcept { return name_; }
    Handler current() const noexcept { return current_.load(); }
    bool is_in(Handler state) const noexcept { return current_.load() == state; }
    // The current state's name, "unknown" for a handler outside the table.
    const char* state_name() const noexcept {
        const Handler state = current_.load();
        for (const State& known : states_) {
            if (known.handler == state) {
                return known.name;
            }
        }
        return "unknown";
    }

  private:
    const std::string name_;
    Context& context_;
    const std::span<const State> states_;
    DispatchGate gate_;
    // Written only inside a dispatch; read by anyone for the state name.
    std::atomic<Handler> current_;
};

}  // namespace tarnlib
