#include "platform/thread.hpp"

#include <system_error>

#include "platform/process.hpp"
#include "thread_os.hpp"

namespace platform {

namespace {
// The full name of the calling thread, for logs; the OS name may be shortened.
thread_local std::string current_name;
}  // namespace

Thread::Thread(std::string name, ThreadPriority priority, std::function<void()> body)
    : name_(std::move(name)) {
    try {
        thread_ = std::thread([name = name_, priority, body = std::move(body)] {
            set_current_thread_name(name);
            if (priority == ThreadPriority::Raised) {
                raise_current_thread_priority();
            }
            body();
        });
    } catch (const std::system_error&) {
        // No exception leaves the platform layer; a process that cannot start its threads
        // cannot work.
        fatal("platform::Thread: the thread could not be started");
    }
}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        join();
        name_ = std::move(other.name_);
        thread_ = std::move(other.thread_);
    }
    return *this;
}

Thread::~Thread() {
    join();
}

void Thread::join() {
    if (!thread_.joinable()) {
        return;
    }
    if (thread_.get_id() == std::this_thread::get_id()) {
        fatal("platform::Thread: a thread cannot join itself");
    }
    thread_.join();
}

void set_current_thread_name(const std::string& name) {
    current_name = name;
    detail::set_os_thread_name(name);
}

const std::string& current_thread_name() {
    return current_name;
}

}  // namespace platform
