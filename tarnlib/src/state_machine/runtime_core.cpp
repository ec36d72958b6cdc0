#include "tarnlib/state_machine/runtime_core.hpp"

#include <atomic>
#include <limits>
#include <mutex>

#include "platform/clock.hpp"
#include "platform/event.hpp"
#include "platform/process.hpp"
#include "platform/thread.hpp"

namespace tarnlib {

namespace {

// Far enough never to come: the wait without limit of a thread that has no deadline.
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max() / 2;

std::int64_t saturated_add(std::int64_t now, std::chrono::nanoseconds timeout) noexcept {
    const std::int64_t count = timeout.count() < 0 ? 0 : timeout.count();
    return count > std::numeric_limits<std::int64_t>::max() - now
               ? std::numeric_limits<std::int64_t>::max()
               : now + count;
}

}  // namespace

struct ThreadControl::Shared {
    std::mutex mutex;                      // guards deadline
    std::optional<std::int64_t> deadline;  // on platform::monotonic_ns(); absent: no timer
    std::unique_ptr<platform::TimerWait> timer;
    std::atomic<bool> stop{false};
};

ThreadControl::~ThreadControl() {
    stop();
}

void ThreadControl::start(std::string thread_name, Fire fire) {
    auto shared = std::make_shared<Shared>();
    auto timer = platform::TimerWait::create();
    if (!timer) {
        platform::fatal(timer.error() == platform::TimerWait::Failure::WakeEvent
                            ? "ThreadControl: failed to create wakeup event"
                            : "ThreadControl: failed to create waitable timer");
    }
    shared->timer = std::move(timer.value());
    shared_ = shared;
    // Raised: refused without the privilege.
    thread_ = platform::Thread(
        std::move(thread_name), platform::ThreadPriority::Raised, [shared, fire = std::move(fire)] {
            while (!shared->stop.load()) {
                std::optional<std::int64_t> deadline;
                {
                    std::lock_guard lock(shared->mutex);
                    deadline = shared->deadline;
                }
                if (shared->timer->wait_until(deadline.value_or(kNever)) ==
                    platform::WaitResult::Signalled) {
                    continue;  // woken: read the deadline again
                }
                // Fire only for a deadline that is still set and has passed: one set while
                // this thread was waking must not be lost.
                bool due = false;
                {
                    std::lock_guard lock(shared->mutex);
                    if (shared->deadline && *shared->deadline <= platform::monotonic_ns()) {
                        shared->deadline.reset();
                        due = true;
                    }
                }
                if (due && !shared->stop.load()) {
                    fire();
                }
            }
        });
}

void ThreadControl::set_timeout(std::optional<std::chrono::nanoseconds> timeout) noexcept {
    if (!timeout) {
        set_deadline(std::nullopt);
        return;
    }
    set_deadline(saturated_add(platform::monotonic_ns(), *timeout));
}

void ThreadControl::set_deadline(std::optional<std::int64_t> deadline_monotonic_ns) noexcept {
    if (!shared_) {
        return;
    }
    {
        std::lock_guard lock(shared_->mutex);
        shared_->deadline = deadline_monotonic_ns;
    }
    shared_->timer->wake();
}

std::optional<std::int64_t> ThreadControl::deadline() const noexcept {
    if (!shared_) {
        return std::nullopt;
    }
    std::lock_guard lock(shared_->mutex);
    return shared_->deadline;
}

void ThreadControl::stop() noexcept {
    if (!shared_) {
        return;
    }
    shared_->stop.store(true);
    shared_->timer->wake();
    if (thread_.is_current()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

}  // namespace tarnlib
