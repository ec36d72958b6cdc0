#pragma once
// Frames and flag sets shared by the whole CAN network system, and its error type.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/expected.hpp"
#include "tarnlib/status.hpp"

namespace tarnlib {

// A driver status with a text for the log and the caller.
struct TarnlibError {
    Status status = Status::tarnOK;
    std::string message;
};

// A value or the driver status that prevented it.
template <class T>
using TarnResult = platform::Expected<T, Status>;

// Message flags of the driver.
struct CanMsgFlags {
    static constexpr std::uint32_t RTR = 0x1;
    static constexpr std::uint32_t STD = 0x2;
    static constexpr std::uint32_t EXT = 0x4;
    static constexpr std::uint32_t WAKEUP = 0x8;
    static constexpr std::uint32_t NERR = 0x10;
    static constexpr std::uint32_t ERROR_FRAME = 0x20;
    static constexpr std::uint32_t TXACK = 0x40;
    static constexpr std::uint32_t TXRQ = 0x80;
    static constexpr std::uint32_t DELAY_MSG = 0x100;
    static constexpr std::uint32_t HW_OVERRUN = 0x200;
    static constexpr std::uint32_t SW_OVERRUN = 0x400;
    static constexpr std::uint32_t STUFF = 0x800;
    static constexpr std::uint32_t FORM = 0x1000;
    static constexpr std::uint32_t CRC = 0x2000;
    static constexpr std::uint32_t BIT0 = 0x4000;
    static constexpr std::uint32_t BIT1 = 0x8000;
    static constexpr std::uint32_t FDF = 0x10000;
    static constexpr std::uint32_t BRS = 0x20000;
    static constexpr std::uint32_t ESI = 0x40000;
    static constexpr std::uint32_t SINGLE_SHOT = 0x1000000;
    static constexpr std::uint32_t TXNACK = 0x2000000;
    static constexpr std::uint32_t ABL = 0x4000000;
    static constexpr std::uint32_t LOCAL_TXACK = 0x10000000;
    static constexpr std::uint32_t RESERVED_FOR_EXTENDING = 0x80000000;
    // The union of the named bits; flags read from the driver keep only these.
    static constexpr std::uint32_t kKnown = 0x9707FFFF;

    std::uint32_t bits = 0;

    static constexpr CanMsgFlags from_driver(std::uint32_t raw) { return {raw & kKnown}; }
    constexpr bool has(std::uint32_t flag) const { return (bits & flag) == flag; }
    friend constexpr bool operator==(CanMsgFlags, CanMsgFlags) = default;
};

// Open flags of the driver.
struct CanOpenFlags {
    static constexpr std::uint32_t EXCLUSIVE = 0x8;
    static constexpr std::uint32_t REQUIRE_EXTENDED = 0x10;
    static constexpr std::uint32_t ACCEPT_VIRTUAL = 0x20;
    static constexpr std::uint32_t OVERRIDE_EXCLUSIVE = 0x40;
    static constexpr std::uint32_t REQUIRE_INIT_ACCESS = 0x80;
    static constexpr std::uint32_t NO_INIT_ACCESS = 0x100;
    static constexpr std::uint32_t ACCEPT_LARGE_DLC = 0x200;
    static constexpr std::uint32_t CAN_FD = 0x400;
    static constexpr std::uint32_t CAN_FD_NONISO = 0x800;
    static constexpr std::uint32_t INTERNAL_L = 0x1000;

    std::uint32_t bits = 0;

    constexpr bool has(std::uint32_t flag) const { return (bits & flag) == flag; }
    friend constexpr bool operator==(CanOpenFlags, CanOpenFlags) = default;
};

// The set names joined by " | " in table order, then " | 0x<rest>" for unnamed bits
// ("0x<rest>" alone when no named bit is set); an empty set prints nothing.
std::string flag_text(CanMsgFlags flags);
std::string flag_text(CanOpenFlags flags);
// The message flags' text form (the flag text).
std::string to_string(CanMsgFlags flags);
// "CanOpenFlags(<flag text>)".
std::string to_string(CanOpenFlags flags);

struct CanMessage {
    std::uint32_t id = 0;
    std::vector<std::uint8_t> data;  // 0-64 bytes
    std::uint8_t dlc = 0;            // the length code the driver reports
    CanMsgFlags flag;
    std::uint64_t timestamp = 0;  // microseconds of the driver's clock (32-bit, zero-extended)

    friend bool operator==(const CanMessage&, const CanMessage&) = default;
};

}  // namespace tarnlib
