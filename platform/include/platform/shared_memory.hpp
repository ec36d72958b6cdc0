#pragma once
// A block of memory shared by every process that opens it by name, with the lifetime of a
// Windows paging-file mapping: the first opener creates it with zeroed data, the others
// open it, and it is gone when the last holder closes it or dies, so that the next open
// creates it afresh. Windows: CreateFileMappingA / MapViewOfFile. POSIX: a file under
// /dev/shm with a shared flock per holder as the liveness rule.

#include <cstddef>
#include <memory>
#include <string>

#include "platform/expected.hpp"

namespace platform {

class SharedMemory {
public:
    // Opens or creates the block. Opening an existing block with another size fails and
    // leaves the block unchanged.
    static Result<SharedMemory> open(const std::string& name, std::size_t size);

    SharedMemory(SharedMemory&&) noexcept;
    SharedMemory& operator=(SharedMemory&&) noexcept;
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;
    ~SharedMemory();

    void* data() const noexcept;
    std::size_t size() const noexcept;
    // True when this open created the block (its data was zeroed by this open).
    bool created() const noexcept;

    struct Impl;

private:
    explicit SharedMemory(std::unique_ptr<Impl> impl) noexcept;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
