#pragma once
// The address-claim table every process that loads the library shares, once a program asks
// for it (j1939_configure_shared_address_table): the claims of all J1939 channels of all
// processes, so that clients of one CAN channel in different processes see each other's
// claims and only the lowest NAME speaks for an address, and a counter that hands out
// client ids unique across processes.
//
// It is the named shared-memory block QZJ1939LIB_SHARED_AC_TABLE with 648 bytes of data,
// guarded by the named mutex QZJ1939LIB_SHARED_AC_TABLE_LOCK. Data layout (little-endian):
//   offset 0   4 bytes  next client id
//   offset 4   4 bytes  reserved
//   offset 8  16 claim entries of 40 bytes:
//     0  8  deadline, whole seconds of the machine-wide monotonic clock
//     8  4  deadline, nanoseconds; 1,000,000,000 means no deadline
//    12  4  padding
//    16  4  channel number
//    20  4  client id
//    24  8  NAME
//    32  1  state: 0 free, 1 ClaimSent, 2 Claimed, 3 CannotClaim
//    33  1  address (254 in a free entry)
//    34  1  protector flag
//    35  1  BAM transfer marker (never set)
//    36  1  RTS/CTS transfer marker (never set)
//    37  3  padding
//
// Every access to the data, from any thread of any process, is made under the mutex, which
// is always the innermost lock. A process that dies holding it leaves it to the next
// waiter. Entries are written whole; an entry whose state byte is not one of the four
// states (a writer that died in the middle) reads as free.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "address_claim.hpp"
#include "platform/expected.hpp"
#include "qzj1939lib/shared_memory_block.hpp"

namespace qzj1939lib {

inline constexpr const char* kSharedTableName = "QZJ1939LIB_SHARED_AC_TABLE";
inline constexpr const char* kSharedTableMutexName = "QZJ1939LIB_SHARED_AC_TABLE_LOCK";

inline constexpr std::uint32_t kSharedTableSize = 648;
inline constexpr std::size_t kSharedTableEntries = 16;
inline constexpr std::size_t kSharedEntrySize = 40;
inline constexpr std::size_t kSharedEntriesOffset = 8;

using EntryBytes = std::array<std::uint8_t, kSharedEntrySize>;
EntryBytes encode_entry(const ClaimEntry& entry);
ClaimEntry decode_entry(const std::uint8_t* bytes);

class SharedDataManager {
  public:
    // Opens the table of the process under the names above, or creates and initialises it
    // (next client id 1, every entry free). Fails when a block of another size has the
    // name, or when the process has configured it before. The table then stays open for
    // the life of the process.
    static platform::Expected<SharedDataManager*, std::string> configure();
    // The process's table once configured, else null.
    static SharedDataManager* configured() noexcept;

    // The same over other names (tests).
    static platform::Expected<std::unique_ptr<SharedDataManager>, std::string> open(
        const std::string& block_name, const std::string& mutex_name);

    SharedDataManager(const SharedDataManager&) = delete;
    SharedDataManager& operator=(const SharedDataManager&) = delete;

    // Reads and advances the counter under the mutex: ids unique across processes.
    std::uint32_t next_client_id();

    // The entries are read and written only between lock() and unlock().
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }
    ClaimEntry read(std::size_t index) const;
    void write(std::size_t index, const ClaimEntry& entry);

  private:
    SharedDataManager(SharedMemoryBlock block, AccessMutex mutex)
        : block_(std::move(block)), mutex_(std::move(mutex)) {}

    SharedMemoryBlock block_;
    AccessMutex mutex_;
};

// The claim store of a channel in shared mode: the table's entries under its mutex.
std::unique_ptr<ClaimStore> make_shared_claim_store(SharedDataManager& table);

}  // namespace qzj1939lib
