#include "qzj1939lib/shared_memory_block.hpp"

#include <mutex>

#include "platform/process.hpp"

namespace qzj1939lib {

namespace {

// A name has to survive the trip through a NUL-terminated string unchanged.
bool valid_name(const std::string& name) {
    return name.find('\0') == std::string::npos;
}

void store_le32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t load_le32(const std::uint8_t* at) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(at[i]) << (8 * i);
    }
    return value;
}

}  // namespace

platform::Result<AccessMutex> AccessMutex::create(const std::string& name) {
    if (!valid_name(name)) {
        return platform::unexpected(platform::SystemError{"mutex name holds a NUL byte", 0});
    }
    auto mutex = platform::NamedMutex::open(name);
    if (!mutex) {
        return platform::unexpected(std::move(mutex).error());
    }
    return AccessMutex(std::move(*mutex));
}

void AccessMutex::lock() {
    // An abandoned mutex is ours all the same: the data it guards is only ever changed by
    // single atomic steps, so a holder that died cannot have left it half written.
    (void)mutex_.lock();
}

void AccessMutex::unlock() {
    mutex_.unlock();
}

platform::Expected<SharedMemoryBlock, SharedBlockError> SharedMemoryBlock::open_or_create(
    const std::string& name, std::uint32_t data_size) {
    using Kind = SharedBlockError::Kind;
    if (!valid_name(name)) {
        return platform::unexpected(
            SharedBlockError{Kind::System, "shared block name holds a NUL byte", 0});
    }

    // Serialises creating the block and writing its header against every other opener.
    auto allocation = platform::NamedMutex::open(name + "_ALLOCK");
    if (!allocation) {
        platform::fatal("Failed to create shared memory allocation lock");
    }
    std::lock_guard lock(*allocation);

    auto memory = platform::SharedMemory::open(name, std::size_t{data_size} + kHeaderSize);
    if (!memory) {
        return platform::unexpected(
            SharedBlockError{Kind::System, memory.error().what, memory.error().code});
    }
    auto* header = static_cast<std::uint8_t*>(memory->data());
    if (memory->created()) {
        // The rest of the header and the data are zero already.
        store_le32(header, data_size);
        store_le32(header + 4, 0);
    } else {
        const std::uint32_t found = load_le32(header);
        if (found != data_size) {
            return platform::unexpected(
                SharedBlockError{Kind::SizeMismatch,
                                 "shared block " + name + " holds " + std::to_string(found) +
                                     " bytes, not " + std::to_string(data_size),
                                 0});
        }
    }
    return SharedMemoryBlock(std::move(*memory), data_size);
}

}  // namespace qzj1939lib
