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

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/event.hpp"
#include "platform/expected.hpp"
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

    HardwareStatus(Private, qzj1939lib::SharedMemoryBlock block, qzj1939lib::AccessMutex mutex);
    HardwareStatus(const HardwareStatus&) = delete;
    HardwareStatus& operator=(const HardwareStatus&) = delete;
    // Stops the poll thread if registrations are left.
    ~HardwareStatus();

    // Counts a client of the channel, in the channel's entry or the first free one (none
    // free: nothing is recorded). The process's first registration starts the poll thread.
    void register_client(std::uint32_t key, ProtocolMarker marker);
    // Takes the client off again; the entry is freed with its last client. The process's
    // last unregistration stops and joins the poll thread.
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

  private:
    struct Entry;
    Entry entry(std::size_t index) const;
    std::optional<std::size_t> find_locked(std::uint32_t key) const;
    void poll_thread_body();

    qzj1939lib::SharedMemoryBlock block_;
    // Guards every read-modify-write of the block, across processes. Taken after
    // registration_mutex_.
    qzj1939lib::AccessMutex access_mutex_;

    mutable std::mutex registration_mutex_;  // guards registrations_ and poll_thread_
    std::uint32_t registrations_ = 0;        // made by this process and not yet undone
    platform::Thread poll_thread_;
    platform::Event stop_poll_{platform::Event::Reset::Manual};
};

}  // namespace qz121032
