#include "platform/named_mutex.hpp"

#include <windows.h>

#include <atomic>
#include <thread>

#include "handle.hpp"
#include "platform/process.hpp"

namespace platform {

struct NamedMutex::Impl {
    win32::UniqueHandle mutex;
    // The thread holding the mutex through this object, and how often (it is recursive).
    // Destroying a held mutex from its owner releases it, as on POSIX, instead of leaving
    // it owned until the thread ends. depth is written by the owner only.
    std::atomic<std::thread::id> owner{};
    int depth = 0;

    ~Impl() {
        if (owner.load() == std::this_thread::get_id()) {
            while (depth > 0) {
                --depth;
                ::ReleaseMutex(mutex.get());
            }
        } else if (owner.load() != std::thread::id{}) {
            fatal("platform::NamedMutex: destroyed while another thread holds it");
        }
    }
};

Result<NamedMutex> NamedMutex::open(const std::string& name) {
    if (name.empty()) {
        return unexpected(SystemError{"shared object names must not be empty", ERROR_INVALID_NAME});
    }
    auto impl = std::make_unique<Impl>();
    impl->mutex.reset(::CreateMutexA(nullptr, FALSE, name.c_str()));
    if (!impl->mutex) {
        return unexpected(
            SystemError{"CreateMutexA failed for " + name, static_cast<int>(::GetLastError())});
    }
    return NamedMutex(std::move(impl));
}

NamedMutex::NamedMutex(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
NamedMutex::NamedMutex(NamedMutex&&) noexcept = default;
NamedMutex& NamedMutex::operator=(NamedMutex&&) noexcept = default;
NamedMutex::~NamedMutex() = default;

bool NamedMutex::lock() {
    const DWORD r = ::WaitForSingleObject(impl_->mutex.get(), INFINITE);
    if (r != WAIT_OBJECT_0 && r != WAIT_ABANDONED) {
        fatal("platform::NamedMutex: waiting for the mutex failed");
    }
    impl_->owner.store(std::this_thread::get_id());
    ++impl_->depth;
    // WAIT_ABANDONED: the owner thread ended holding it; we own it now.
    return r == WAIT_ABANDONED;
}

void NamedMutex::unlock() {
    if (impl_->owner.load() != std::this_thread::get_id()) {
        fatal("platform::NamedMutex: unlocked by a thread that does not hold it");
    }
    if (--impl_->depth == 0) {
        impl_->owner.store(std::thread::id{});
    }
    if (!::ReleaseMutex(impl_->mutex.get())) {
        fatal("platform::NamedMutex: ReleaseMutex failed");
    }
}

}  // namespace platform
