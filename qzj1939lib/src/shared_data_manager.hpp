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
// Beside it, the companion block "<block name>_OWNERS" (68 bytes of data, under the same
// mutex) records which process added each entry, so that the claims of a process that
// ended without releasing them (killed, crashed) can be taken back by any process that
// lives; the table's own layout stays as it is, for every reader. Companion layout
// (little-endian): offset 0, 4 bytes, the last owner token handed out; offset 4, 16 words,
// the owner token of each table entry (0: none known). Each process that opens the table
// takes a token that is never handed out again and, while it has the table open, holds the
// liveness mark "<block name>_OWNER_<token>". An entry's owner is written before the entry
// when a claim takes it, and cleared after the entry when it is freed, so a process that
// dies between the two leaves nothing that names the wrong owner.
//
// Every access to the data, from any thread of any process, is made under the mutex, which
// is always the innermost lock. A process that dies holding it leaves it to the next
// waiter. Entries are written whole; an entry whose state byte is not one of the four
// states (a writer that died in the middle) reads as free.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "address_claim.hpp"
#include "platform/expected.hpp"
#include "platform/liveness.hpp"
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

    // Owners, between lock() and unlock(): this process's token (0 without the companion
    // block: nothing is ever taken back then), an entry's owner token, and whether the
    // owner of an entry is known to have ended.
    std::uint32_t token() const noexcept { return token_; }
    std::uint32_t owner(std::size_t index) const;
    void set_owner(std::size_t index, std::uint32_t token);
    bool owner_gone(std::size_t index) const;

  private:
    SharedDataManager(SharedMemoryBlock block, AccessMutex mutex)
        : block_(std::move(block)), mutex_(std::move(mutex)) {}

    SharedMemoryBlock block_;
    AccessMutex mutex_;
    std::string mark_prefix_;
    std::optional<SharedMemoryBlock> owners_;
    std::uint32_t token_ = 0;
    std::optional<platform::LivenessMark> mark_;
};

// The claim store of a channel in shared mode: the table's entries under its mutex.
std::unique_ptr<ClaimStore> make_shared_claim_store(SharedDataManager& table);

}  // namespace qzj1939lib
