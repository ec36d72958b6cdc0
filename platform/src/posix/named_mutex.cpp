#include "platform/named_mutex.hpp"

#include <errno.h>
#include <pthread.h>

#include <atomic>
#include <new>
#include <thread>

#include "platform/process.hpp"
#include "shared_file.hpp"

namespace platform {

namespace {

// The segment of the "mtx" kind holds one robust, process-shared mutex. It is recursive,
// like a Windows mutex, so that both platforms behave alike when a thread locks twice.
struct Segment {
    pthread_mutex_t mutex;
};

// Runs under the SharedFile guard when the segment is created, so no other process can see
// the mutex before it is initialised.
int initialise_segment(void* data, std::size_t) {
    pthread_mutexattr_t attributes;
    int e = ::pthread_mutexattr_init(&attributes);
    if (e != 0) {
        return e;
    }
    e = ::pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    if (e == 0) {
        e = ::pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    }
    if (e == 0) {
        e = ::pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    }
    if (e == 0) {
        auto* segment = new (data) Segment;
        e = ::pthread_mutex_init(&segment->mutex, &attributes);
    }
    ::pthread_mutexattr_destroy(&attributes);
    return e;
}

}  // namespace

struct NamedMutex::Impl {
    std::unique_ptr<posix::SharedFile> file;
    pthread_mutex_t* mutex = nullptr;
    // The thread holding the mutex through this object, and how often (it is recursive).
    // A held robust mutex is on its owner thread's robust list, which the kernel walks when
    // the thread ends: the segment must not be unmapped while it is listed, so destroying a
    // held mutex releases it first. depth is written by the owner only.
    std::atomic<std::thread::id> owner{};
    int depth = 0;

    ~Impl() {
        if (owner.load() == std::this_thread::get_id()) {
            while (depth > 0) {
                --depth;
                ::pthread_mutex_unlock(mutex);
            }
        } else if (owner.load() != std::thread::id{}) {
            fatal("platform::NamedMutex: destroyed while another thread holds it");
        }
    }
};

Result<NamedMutex> NamedMutex::open(const std::string& name) {
    auto file = posix::SharedFile::open("mtx", name, sizeof(Segment), initialise_segment);
    if (!file) {
        return unexpected(std::move(file).error());
    }
    auto impl = std::make_unique<Impl>();
    impl->mutex = &static_cast<Segment*>((*file)->data())->mutex;
    impl->file = std::move(*file);
    return NamedMutex(std::move(impl));
}

NamedMutex::NamedMutex(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
NamedMutex::NamedMutex(NamedMutex&&) noexcept = default;
NamedMutex& NamedMutex::operator=(NamedMutex&&) noexcept = default;
NamedMutex::~NamedMutex() = default;

bool NamedMutex::lock() {
    const int e = ::pthread_mutex_lock(impl_->mutex);
    bool abandoned = false;
    if (e == EOWNERDEAD) {
        // The previous owner died holding it; we own it now. Marking it consistent keeps it
        // usable for everybody after our unlock.
        if (::pthread_mutex_consistent(impl_->mutex) != 0) {
            fatal("platform::NamedMutex: cannot recover an abandoned mutex");
        }
        abandoned = true;
    } else if (e != 0) {
        fatal("platform::NamedMutex: waiting for the mutex failed");
    }
    impl_->owner.store(std::this_thread::get_id());
    ++impl_->depth;
    return abandoned;
}

void NamedMutex::unlock() {
    if (impl_->owner.load() != std::this_thread::get_id()) {
        fatal("platform::NamedMutex: unlocked by a thread that does not hold it");
    }
    if (--impl_->depth == 0) {
        impl_->owner.store(std::thread::id{});
    }
    if (::pthread_mutex_unlock(impl_->mutex) != 0) {
        fatal("platform::NamedMutex: unlock failed");
    }
}

}  // namespace platform
