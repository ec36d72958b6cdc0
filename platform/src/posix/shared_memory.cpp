#include "platform/shared_memory.hpp"

#include "shared_file.hpp"

namespace platform {

// The block is a SharedFile of the "shm" kind; see shared_file.hpp for the liveness rule.
struct SharedMemory::Impl {
    std::unique_ptr<posix::SharedFile> file;
};

Result<SharedMemory> SharedMemory::open(const std::string& name, std::size_t size) {
    auto file = posix::SharedFile::open("shm", name, size);
    if (!file) {
        return unexpected(std::move(file).error());
    }
    return SharedMemory(std::make_unique<Impl>(Impl{std::move(*file)}));
}

SharedMemory::SharedMemory(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
SharedMemory::SharedMemory(SharedMemory&&) noexcept = default;
SharedMemory& SharedMemory::operator=(SharedMemory&&) noexcept = default;
SharedMemory::~SharedMemory() = default;

void* SharedMemory::data() const noexcept {
    return impl_->file->data();
}
std::size_t SharedMemory::size() const noexcept {
    return impl_->file->size();
}
bool SharedMemory::created() const noexcept {
    return impl_->file->created();
}

}  // namespace platform
