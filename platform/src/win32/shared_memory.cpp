#include "platform/shared_memory.hpp"

#include <windows.h>

#include <cstdint>
#include <limits>

#include "handle.hpp"

namespace platform {

namespace {

// Every mapping starts with this header. A view's region size is rounded up to pages and
// cannot tell 100 bytes from 200, so the creator writes the data size here, and an open with
// another size is refused by comparing it. 64 bytes keep the data cache-line aligned.
struct Header {
    std::uint64_t magic;
    std::uint64_t size;
};
constexpr std::uint64_t kMagic = 0x31'32'31'30'5A'51'4D'53;  // "SMQZ0121", little-endian
constexpr std::size_t kHeaderSize = 64;
static_assert(sizeof(Header) <= kHeaderSize);

SystemError last_error(std::string what) {
    return SystemError{std::move(what), static_cast<int>(::GetLastError())};
}

// Holds a mutex for a scope.
class MutexLock {
  public:
    explicit MutexLock(HANDLE mutex) noexcept : mutex_(mutex) {
        const DWORD r = ::WaitForSingleObject(mutex_, INFINITE);
        // An abandoned guard is fine: whoever died under it cannot have left a mapping
        // without a header (its handle died with it), and this open proceeds as usual.
        locked_ = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    ~MutexLock() {
        if (locked_) {
            ::ReleaseMutex(mutex_);
        }
    }
    bool locked() const noexcept { return locked_; }

  private:
    HANDLE mutex_;
    bool locked_;
};

}  // namespace

struct SharedMemory::Impl {
    win32::UniqueHandle mapping;
    void* view = nullptr;
    std::size_t size = 0;
    bool created = false;

    ~Impl() {
        if (view != nullptr) {
            ::UnmapViewOfFile(view);
        }
    }
};

Result<SharedMemory> SharedMemory::open(const std::string& name, std::size_t size) {
    if (name.empty()) {
        return unexpected(SystemError{"shared object names must not be empty", ERROR_INVALID_NAME});
    }
    if (size == 0 || size > std::numeric_limits<std::size_t>::max() - kHeaderSize) {
        return unexpected(
            SystemError{"invalid shared block size: " + name, ERROR_INVALID_PARAMETER});
    }

    // A named guard mutex orders "create and write the header" before "open and check the
    // header" in every other process.
    win32::UniqueHandle guard(::CreateMutexA(nullptr, FALSE, (name + ".qzguard").c_str()));
    if (!guard) {
        return unexpected(last_error("CreateMutexA failed for the guard of " + name));
    }
    MutexLock lock(guard.get());
    if (!lock.locked()) {
        return unexpected(last_error("cannot take the guard of " + name));
    }

    const auto total = static_cast<std::uint64_t>(size) + kHeaderSize;
    // Paging-file backed: Windows removes it when its last handle is closed, by the holder
    // or by the death of the holder.
    auto impl = std::make_unique<Impl>();
    impl->mapping.reset(::CreateFileMappingA(
        INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(total >> 32),
        static_cast<DWORD>(total & 0xFFFFFFFFu), name.c_str()));
    if (!impl->mapping) {
        return unexpected(last_error("CreateFileMappingA failed for " + name));
    }
    const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;

    // Size 0 maps the whole section: an existing one keeps its own size.
    impl->view = ::MapViewOfFile(impl->mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
    if (impl->view == nullptr) {
        return unexpected(last_error("MapViewOfFile failed for " + name));
    }
    auto* header = static_cast<Header*>(impl->view);
    if (existed) {
        // A section made by someone else may be smaller than our header.
        MEMORY_BASIC_INFORMATION region{};
        if (::VirtualQuery(impl->view, &region, sizeof region) == 0 ||
            region.RegionSize < kHeaderSize || header->magic != kMagic || header->size != size) {
            return unexpected(SystemError{"shared block " + name + " exists with another size",
                                          ERROR_INVALID_PARAMETER});
        }
    } else {
        // A new section reads as zeros.
        header->magic = kMagic;
        header->size = size;
    }
    impl->size = size;
    impl->created = !existed;
    return SharedMemory(std::move(impl));
}

SharedMemory::SharedMemory(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
SharedMemory::SharedMemory(SharedMemory&&) noexcept = default;
SharedMemory& SharedMemory::operator=(SharedMemory&&) noexcept = default;
SharedMemory::~SharedMemory() = default;

void* SharedMemory::data() const noexcept {
    return static_cast<unsigned char*>(impl_->view) + kHeaderSize;
}
std::size_t SharedMemory::size() const noexcept {
    return impl_->size;
}
bool SharedMemory::created() const noexcept {
    return impl_->created;
}

}  // namespace platform
