#pragma once
// A driver or control call's hold on the simulator.

#include <mutex>
#include <shared_mutex>

#include "simulator.hpp"
#include "simulator_internal.hpp"
#include "wire.hpp"

namespace tarnsim {

// Holds the attachment lock (shared) and the instance's named mutex, attached on first
// use, and gives the wake-ups found meanwhile once the named mutex is released.
class Simulator::Session {
  public:
    // attach: attach on first use (driver calls); otherwise an attachment must exist.
    explicit Session(Simulator& sim, bool attach = true) : sim_(sim) { enter(attach); }
    ~Session() { leave(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    tarnStatus status() const { return status_; }
    // The session's status if it failed, else whether the handle may be used.
    tarnStatus check(tarnHandle handle, bool require_card) {
        return status_ != kOk ? status_ : sim_.check_handle(state(), handle, require_card);
    }
    SharedState& state() { return *sim_.attachment_->shared; }
    Signals& signals() { return signals_; }
    // Where the wire model tells whose waiters its frames concern.
    WireWakeups& wakeups() { return wakeups_; }

    // Releases the locks, gives the wake-ups found so far, waits for the event or the
    // deadline, and takes the locks again.
    void wait(platform::Event& event, std::int64_t deadline) {
        leave();
        event.wait_until(deadline);
        enter(true);
    }

  private:
    void enter(bool attach) {
        status_ = kOk;
        shared_ = std::shared_lock(sim_.attach_mutex_);
        if (!sim_.attachment_) {
            if (!attach) {
                status_ = kErrNotInitialized;
                return;
            }
            shared_.unlock();
            {
                std::unique_lock exclusive(sim_.attach_mutex_);
                if (!sim_.attachment_) {
                    status_ = sim_.attach_locked();
                }
            }
            shared_.lock();
            if (status_ == kOk && !sim_.attachment_) {
                status_ = kErrNotInitialized;  // detached again meanwhile
            }
            if (status_ != kOk) {
                return;
            }
        }
        sim_.attachment_->mutex.lock();
        named_ = true;
    }

    void leave() {
        if (named_) {
            sim_.attachment_->mutex.unlock();
            named_ = false;
        }
        if (shared_.owns_lock()) {
            sim_.give(signals_);
            shared_.unlock();
        }
    }

    // Wakes them as a frame's end wakes waiters: only those that would look later.
    class Pokes final : public WireWakeups {
      public:
        Pokes(Simulator& sim, Signals& signals) : sim_(sim), signals_(signals) {}
        void frame_for(SharedState& s, std::size_t slot, std::int64_t at) override {
            sim_.poke(s, slot, at, false, signals_);
        }

      private:
        Simulator& sim_;
        Signals& signals_;
    };

    Simulator& sim_;
    std::shared_lock<std::shared_mutex> shared_;
    bool named_ = false;
    tarnStatus status_ = kOk;
    Signals signals_;
    Pokes wakeups_{sim_, signals_};
};

}  // namespace tarnsim
