#include "tarnlib/state_machine/runtime_core.hpp"

#include <atomic>
#include <limits>
#include <mutex>
#include <system_error>

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
    try {
        thread_ = std::thread([shared, name = std::move(thread_name), fire = std::move(fire)] {
            platform::set_current_thread_name(name);
            platform::raise_current_thread_priority();  // refused without the privilege
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
    } catch (const std::system_error&) {
        platform::fatal("ThreadControl: failed to start the timer thread");
    }
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
    if (!thread_.joinable()) {
        return;
    }
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

}  // namespace tarnlib
