#include <errno.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <system_error>
#include <thread>
#include <utility>

#include "platform/thread.hpp"
#include "thread_os.hpp"

namespace platform {

namespace detail {

struct OsThread {
    std::thread thread;
};

OsThread* start_os_thread(std::function<void()> body) {
    try {
        return new OsThread{std::thread(std::move(body))};
    } catch (const std::system_error&) {
        return nullptr;
    }
}

void join_os_thread(OsThread& thread) noexcept {
    thread.thread.join();
}

bool is_current_os_thread(const OsThread& thread) noexcept {
    return thread.thread.get_id() == std::this_thread::get_id();
}

void OsThreadDeleter::operator()(OsThread* thread) const noexcept {
    if (thread->thread.joinable()) {
        thread->thread.detach();
    }
    delete thread;
}

void set_os_thread_name(const std::string& name) noexcept {
    // Linux takes at most 15 bytes; cut on a character boundary of UTF-8 text.
    constexpr std::size_t kMaxLength = 15;
    std::size_t length = name.size();
    if (length > kMaxLength) {
        length = kMaxLength;
        while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    ::pthread_setname_np(::pthread_self(), name.substr(0, length).c_str());
}

}  // namespace detail

bool raise_current_thread_priority() noexcept {
    // Timed waits of a raised thread end when they are due: Linux otherwise lets a timer of
    // an ordinary thread run up to 50 us late to batch wake-ups. Allowed without privilege.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    // Linux nice values are per thread (setpriority with a thread id). A lower nice value is
    // the analogue of a raised priority inside the Windows normal class. Real-time policies
    // are not used: a real-time thread that spins could starve the machine. Without the
    // privilege (CAP_SYS_NICE or RLIMIT_NICE) the call fails and the thread stays as it was.
    constexpr int kRaisedNice = -10;
    const pid_t thread = ::gettid();
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
    if (current == -1 && errno != 0) {
        return false;
    }
    if (current <= kRaisedNice) {
        return true;
    }
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), kRaisedNice) == 0;
}

}  // namespace platform
