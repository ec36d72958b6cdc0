#pragma once
// Threads with a name and an optional raised priority. Linux limits operating-system
// thread names to 15 characters; the full name stays available for logs.
//
// Rule for every layer: a thread_local object must be trivially destructible (plain data,
// checked with a static_assert where it is declared). The Windows builds emulate thread-local
// storage, and the emulation frees a thread's storage before the destructors of its
// thread_local objects run, so a std::string or std::vector there frees memory that is
// already free, often another thread's by then.

#include <cstddef>
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
// Windows: a native thread (_beginthreadex, joined by waiting for its handle), which needs
// nothing of the runtime's pthread emulation.
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

// Names the calling thread (truncated to what the system allows) and remembers up to
// max_thread_name_length bytes of the full name for current_thread_name().
inline constexpr std::size_t max_thread_name_length = 63;
void set_current_thread_name(const std::string& name);
std::string current_thread_name();
// Raises the calling thread's priority where the system allows it; false otherwise. Its
// timed waits end as close to their deadline as the system can (Linux: no timer slack),
// whether or not the priority could be raised.
bool raise_current_thread_priority() noexcept;

}  // namespace platform
