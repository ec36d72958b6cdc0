#include "platform/thread.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

#include "platform/process.hpp"
#include "thread_os.hpp"

namespace platform {

namespace {
// The full name of the calling thread, for logs; the OS name may be shortened. Plain data
// (see the rule in thread.hpp).
struct ThreadName {
    char text[max_thread_name_length + 1];
};
static_assert(std::is_trivially_destructible_v<ThreadName>);
thread_local ThreadName current_name{};
}  // namespace

Thread::Thread() noexcept = default;

Thread::Thread(std::string name, ThreadPriority priority, std::function<void()> body)
    : name_(std::move(name)) {
    os_.reset(detail::start_os_thread([name = name_, priority, body = std::move(body)] {
        set_current_thread_name(name);
        if (priority == ThreadPriority::Raised) {
            raise_current_thread_priority();
        }
        body();
    }));
    if (!os_) {
        // No exception leaves the platform layer; a process that cannot start its threads
        // cannot work.
        fatal("platform::Thread: the thread could not be started");
    }
}

Thread::Thread(Thread&&) noexcept = default;

Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        join();
        name_ = std::move(other.name_);
        os_ = std::move(other.os_);
    }
    return *this;
}

Thread::~Thread() {
    join();
}

void Thread::join() {
    if (!os_) {
        return;
    }
    if (is_current()) {
        fatal("platform::Thread: a thread cannot join itself");
    }
    detail::join_os_thread(*os_);
    os_.reset();
}

void Thread::detach() noexcept {
    os_.reset();
}

bool Thread::is_current() const noexcept {
    return os_ && detail::is_current_os_thread(*os_);
}

void set_current_thread_name(const std::string& name) {
    const std::size_t length = std::min(name.size(), max_thread_name_length);
    std::memcpy(current_name.text, name.data(), length);
    current_name.text[length] = '\0';
    detail::set_os_thread_name(name);
}

std::string current_thread_name() {
    return current_name.text;
}

}  // namespace platform
