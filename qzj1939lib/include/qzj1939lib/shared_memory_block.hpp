#pragma once
// Named blocks of memory shared by every process that loads the library, and the named
// mutexes that serialise access to them. The shared address-claim table and the RP1210
// hardware status are built on them; each user brings its own block name, data size and
// access mutex.
//
// Layout of a block (integers little-endian):
//   offset 0   4 bytes  data size, written by the creator
//   offset 4   4 bytes  reserved, 0
//   offset 8  56 bytes  reserved, zero
//   offset 64           the user's data, zero-filled when the block is created
//
// Creating a block and writing its header happen under the allocation lock
// "<block name>_ALLOCK", so that every other opener sees either no block or a block with
// its header. Initialising the data of a new block is the user's task, under the user's
// access mutex.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/expected.hpp"
#include "platform/named_mutex.hpp"
#include "platform/shared_memory.hpp"

namespace qzj1939lib {

// A named mutex held around every read-modify-write of a block's data. A holder that dies
// leaves it to the next waiter, which proceeds.
class AccessMutex {
  public:
    // Opens the mutex if it exists, else creates it, not owned. A name with a NUL byte in
    // it is refused.
    static platform::Result<AccessMutex> create(const std::string& name);

    AccessMutex(AccessMutex&&) noexcept = default;
    AccessMutex& operator=(AccessMutex&&) noexcept = default;

    // BasicLockable. Waits without limit.
    void lock();
    // A failure ends the process.
    void unlock();

  private:
    explicit AccessMutex(platform::NamedMutex mutex) : mutex_(std::move(mutex)) {}
    platform::NamedMutex mutex_;
};

struct SharedBlockError {
    enum class Kind {
        System,        // the system refused; code is its error number
        SizeMismatch,  // the block exists with another data size
    };
    Kind kind = Kind::System;
    std::string what;
    int code = 0;
};

class SharedMemoryBlock {
  public:
    static constexpr std::size_t kHeaderSize = 64;

    // Opens the block of that name, or creates it with zeroed data when no process holds
    // it. An existing block whose header gives another data size is refused and left
    // unchanged.
    static platform::Expected<SharedMemoryBlock, SharedBlockError> open_or_create(
        const std::string& name, std::uint32_t data_size);

    SharedMemoryBlock(SharedMemoryBlock&&) noexcept = default;
    SharedMemoryBlock& operator=(SharedMemoryBlock&&) noexcept = default;

    // The user's data: data_size() bytes, 64 bytes after the start of the block.
    std::uint8_t* data() const noexcept {
        return static_cast<std::uint8_t*>(memory_.data()) + kHeaderSize;
    }
    std::uint32_t data_size() const noexcept { return data_size_; }
    // True when this open created the block.
    bool created() const noexcept { return memory_.created(); }

  private:
    SharedMemoryBlock(platform::SharedMemory memory, std::uint32_t data_size)
        : memory_(std::move(memory)), data_size_(data_size) {}

    platform::SharedMemory memory_;
    std::uint32_t data_size_;
};

}  // namespace qzj1939lib
