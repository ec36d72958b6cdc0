#pragma once
// Threads with a name and an optional raised priority. Linux limits operating-system
// thread names to 15 characters; the full name stays available for logs.

#include <functional>
#include <string>
#include <thread>

namespace platform {

enum class ThreadPriority { Normal, Raised };

// A thread that is joined by its owner. The destructor joins if the owner did not.
class Thread {
  public:
    Thread() = default;
    Thread(std::string name, ThreadPriority priority, std::function<void()> body);
    Thread(Thread&&) noexcept = default;
    Thread& operator=(Thread&&) noexcept;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    ~Thread();

    bool joinable() const noexcept { return thread_.joinable(); }
    void join();
    const std::string& name() const noexcept { return name_; }
    std::thread::id id() const noexcept { return thread_.get_id(); }

  private:
    std::string name_;
    std::thread thread_;
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
