#pragma once
// Threads with a name and an optional raised priority. Linux limits operating-system
// thread names to 15 characters; the full name stays available for logs.

#include <functional>
#include <memory>
#include <string>

namespace platform {

enum class ThreadPriority { Normal, Raised };

namespace detail {
// The operating system's thread, in posix/ and win32/. Destroying it without a join lets
// the thread run on by itself.
struct OsThread;
struct OsThreadDeleter {
    void operator()(OsThread* thread) const noexcept;
};
}  // namespace detail

// A thread that is joined by its owner. The destructor joins if the owner did not.
//
// Windows: a native thread. The pthread emulation of the mingw-w64 runtime that
// std::thread uses there corrupts its heap (and hangs joins) when threads start and end in
// several threads at once, as clients connecting and disconnecting do.
class Thread {
  public:
    Thread() noexcept;
    Thread(std::string name, ThreadPriority priority, std::function<void()> body);
    Thread(Thread&&) noexcept;
    Thread& operator=(Thread&&) noexcept;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    ~Thread();

    bool joinable() const noexcept { return static_cast<bool>(os_); }
    void join();
    // Lets the thread end by itself: for a thread stopped from inside its own body, which
    // ends when the body returns.
    void detach() noexcept;
    // Whether the calling thread is this one.
    bool is_current() const noexcept;
    const std::string& name() const noexcept { return name_; }

  private:
    std::string name_;
    std::unique_ptr<detail::OsThread, detail::OsThreadDeleter> os_;
};

// Names the calling thread (truncated to what the system allows) and remembers the full
// name for current_thread_name().
void set_current_thread_name(const std::string& name);
const std::string& current_thread_name();
// Raises the calling thread's priority where the system allows it; false otherwise. Its
// timed waits end as close to their deadline as the system can (Linux: no timer slack),
// whether or not the priority could be raised.
bool raise_current_thread_priority() noexcept;

}  // namespace platform
