#pragma once
// A mutex shared by every process that opens it by name. A holder that dies leaves it
// to the next waiter, which proceeds (the lock reports that it was abandoned).
// Windows: CreateMutexA / WaitForSingleObject / ReleaseMutex. POSIX: a robust,
// process-shared pthread mutex in a small named shared segment.

#include <memory>
#include <string>

#include "platform/expected.hpp"

namespace platform {

class NamedMutex {
public:
    static Result<NamedMutex> open(const std::string& name);

    NamedMutex(NamedMutex&&) noexcept;
    NamedMutex& operator=(NamedMutex&&) noexcept;
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;
    ~NamedMutex();

    // BasicLockable, so std::lock_guard / std::unique_lock work. Recursive, like a Windows
    // mutex: a thread may lock again what it holds and unlocks as often.
    //
    // Waits without limit. Returns true when the previous holder died holding it; the
    // caller owns the mutex in both cases. A failure to wait ends the process.
    bool lock();
    // Only the thread that holds it may unlock; any other ends the process. Destroying the
    // object from the holding thread releases the mutex.
    void unlock();

    struct Impl;

private:
    explicit NamedMutex(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
