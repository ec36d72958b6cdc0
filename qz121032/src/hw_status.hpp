#pragma once
// The cross-process hardware status: one block shared by every process that loaded the
// library, counting the clients of each channel and noting recent traffic. Every client
// holds a reference to its process's HardwareStatus.
//
// The block holds 32 entries of 40 bytes, unsigned 32-bit little-endian words:
//   0 channel key (0: entry free)     5 activity in the current window
//   1 client count                    6 activity at the last window change
//   2 CAN client count                7 reserved
//   3 J1939 client count              8-9 window start, 64-bit ms since 1970
//   4 count of other clients
// Registrations and the count reads take the named access mutex; the counts also change
// by atomic steps. Activity and the window are changed without the mutex: report_activity
// stores word 5, and the poll thread of every process that has registrations moves the
// window once a second with a 64-bit compare-and-swap on its start, so that one window
// change happens per second and entry whichever process gets there first.
//
// The block itself only counts. Beside it, the companion block "<block name>_OWNERS", under
// the same access mutex, records which process made which registrations, so that the
// clients of a process that ended without unregistering them (killed, crashed) can be taken
// back by any process that lives. A process with registrations holds an owner record named
// by a token that is never handed out twice, and for as long as it holds the block a
// liveness mark "<block name>_OWNER_<token>". Row i of a record counts what its owner added
// to entry i. The poll thread, and a registration that finds no free entry, take back the
// rows of owners whose mark is gone: subtracted under the access mutex, and entries whose
// client count reaches 0 freed, as unregistrations would. Every change of an entry and of a
// row is first saved in the companion's journal, so that a process that dies in the middle
// of one leaves nothing half done: the next holder of the mutex puts the saved words back.

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/event.hpp"
#include "platform/expected.hpp"
#include "platform/liveness.hpp"
#include "platform/thread.hpp"
#include "qzj1939lib/shared_memory_block.hpp"
#include "tarnlib/channel_identity.hpp"

namespace qz121032 {

enum class ProtocolMarker : std::uint32_t { Can = 0, J1939 = 1, Other = 2 };

// The channel's key in the block: 32-bit FNV-1a over the identity's name, one byte 0xFF,
// the EAN (8 bytes), the serial number (8 bytes) and the channel number (4 bytes), all
// little-endian. Equal identities give equal keys in every process.
std::uint32_t channel_key(const tarnlib::ChannelIdentity& identity);

// What the client read from its open driver handle before asking for the status.
struct DeviceStatusInputs {
    std::optional<std::uint32_t> bus_type;     // driver item 30
    std::optional<std::uint32_t> status_word;  // tarnReadStatus
};

inline constexpr const char* kHardwareStatusBlockName = "QZ121032_RP1210_HW_STATUS";
inline constexpr const char* kHardwareStatusMutexName = "QZ121032_RP1210_HW_STATUS_LOCK";

class HardwareStatus {
    struct Private {};

  public:
    static constexpr std::size_t kEntries = 32;
    static constexpr std::size_t kEntrySize = 40;
    static constexpr std::uint32_t kBlockSize = kEntries * kEntrySize;  // 1280
    // How long the poll thread sleeps between steps, and the length of a window.
    static constexpr std::chrono::milliseconds kPollPeriod{500};
    static constexpr std::uint64_t kWindowMs = 1000;

    // Opens (or creates) the process's block. Failure to create the shared memory or its
    // mutex ends the process.
    static std::shared_ptr<HardwareStatus> open();
    // The same under other names, so that tests keep clear of the real block. The
    // failure's text when the block or the mutex cannot be had.
    static platform::Expected<std::shared_ptr<HardwareStatus>, std::string> open_named(
        const std::string& block_name, const std::string& mutex_name);

    HardwareStatus(Private, std::string block_name, qzj1939lib::SharedMemoryBlock block,
                   qzj1939lib::SharedMemoryBlock owners, qzj1939lib::AccessMutex mutex);
    HardwareStatus(const HardwareStatus&) = delete;
    HardwareStatus& operator=(const HardwareStatus&) = delete;
    // Stops the poll thread if registrations are left. They are left to the other
    // processes to take back, as those of a process that ended without unregistering.
    ~HardwareStatus();

    // Counts a client of the channel, in the channel's entry or the first free one. With
    // none free, the entries of processes that ended are taken back first; still none free:
    // nothing is recorded. The process's first registration starts the poll thread.
    void register_client(std::uint32_t key, ProtocolMarker marker);
    // Takes the client off again; the entry is freed with its last client. Only this
    // process's own registrations are taken off: with none on the channel and protocol,
    // nothing happens. The process's last unregistration stops and joins the poll thread.
    void unregister_client(std::uint32_t key, ProtocolMarker marker);
    // Notes traffic on the channel in the current window.
    void report_activity(std::uint32_t key);
    // The 64-byte RP1210 hardware-status record of the channel.
    std::array<std::uint8_t, 64> status(std::uint32_t key, const DeviceStatusInputs& device);

    // One step of the poll thread at the instant now_ms (ms since 1970): every entry whose
    // window started at least a second before moves to a new window.
    void poll_once(std::uint64_t now_ms);

    // Whether this process's poll thread runs.
    bool polling() const;

    // For tests: a function that every registration calls half done, with the access
    // mutex held and the entry counted but the owner record not yet. A test process blocks
    // in it to be killed there. nullptr (the default) calls nothing.
    static void set_registration_pause_for_tests(void (*pause)());

  private:
    struct Entry;
    struct Owners;
    Entry entry(std::size_t index) const;
    Owners owners() const;
    std::optional<std::size_t> find_locked(std::uint32_t key) const;
    void poll_thread_body();

    // Takes the access mutex, then undoes a change that a process dying under it left
    // half done.
    std::unique_lock<qzj1939lib::AccessMutex> lock_access();
    void recover_locked();
    // A change of entry `index` and of row `index` of `record`, saved in the journal
    // between begin and end.
    void begin_change_locked(std::size_t index, std::optional<std::size_t> record);
    void end_change_locked();
    // Counts a registration in the entry and, if this process has one, in its record.
    bool try_count(std::uint32_t key, ProtocolMarker marker);
    void uncount_locked(std::size_t index, ProtocolMarker marker);
    // Subtracts every row of the record from its entry and frees the record.
    void take_back_locked(std::size_t record);
    // Takes back the records of owners that are gone.
    void reclaim();
    // Take and give up this process's owner record, with registration_mutex_ held.
    void claim_owner_record();
    void release_owner_record();
    std::string mark_name(std::uint32_t token) const;

    const std::string block_name_;
    qzj1939lib::SharedMemoryBlock block_;
    qzj1939lib::SharedMemoryBlock owners_;
    // Guards every read-modify-write of the block and of the owner records, across
    // processes. Taken after registration_mutex_.
    qzj1939lib::AccessMutex access_mutex_;

    // Guards registrations_, poll_thread_, mark_, token_ and record_. token_ is set once,
    // before the poll thread first starts, which reads it without the mutex.
    mutable std::mutex registration_mutex_;
    std::uint32_t registrations_ = 0;  // made by this process and not yet undone
    platform::Thread poll_thread_;
    platform::Event stop_poll_{platform::Event::Reset::Manual};
    std::optional<platform::LivenessMark> mark_;  // held from the first registration on
    std::uint32_t token_ = 0;                     // names this process's record and mark
    std::optional<std::size_t> record_;           // while registrations_ > 0, if one was free
};

}  // namespace qz121032
