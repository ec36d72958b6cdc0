#include "tarnlib/can_message.hpp"

#include <fmt/format.h>

#include <string_view>
#include <utility>

namespace tarnlib {

namespace {

using NamedBit = std::pair<std::uint32_t, std::string_view>;

constexpr NamedBit kMsgFlagNames[] = {
    {CanMsgFlags::RTR, "RTR"},
    {CanMsgFlags::STD, "STD"},
    {CanMsgFlags::EXT, "EXT"},
    {CanMsgFlags::WAKEUP, "WAKEUP"},
    {CanMsgFlags::NERR, "NERR"},
    {CanMsgFlags::ERROR_FRAME, "ERROR_FRAME"},
    {CanMsgFlags::TXACK, "TXACK"},
    {CanMsgFlags::TXRQ, "TXRQ"},
    {CanMsgFlags::DELAY_MSG, "DELAY_MSG"},
    {CanMsgFlags::HW_OVERRUN, "HW_OVERRUN"},
    {CanMsgFlags::SW_OVERRUN, "SW_OVERRUN"},
    {CanMsgFlags::STUFF, "STUFF"},
    {CanMsgFlags::FORM, "FORM"},
    {CanMsgFlags::CRC, "CRC"},
    {CanMsgFlags::BIT0, "BIT0"},
    {CanMsgFlags::BIT1, "BIT1"},
    {CanMsgFlags::FDF, "FDF"},
    {CanMsgFlags::BRS, "BRS"},
    {CanMsgFlags::ESI, "ESI"},
    {CanMsgFlags::SINGLE_SHOT, "SINGLE_SHOT"},
    {CanMsgFlags::TXNACK, "TXNACK"},
    {CanMsgFlags::ABL, "ABL"},
    {CanMsgFlags::LOCAL_TXACK, "LOCAL_TXACK"},
    {CanMsgFlags::RESERVED_FOR_EXTENDING, "RESERVED_FOR_EXTENDING"},
};

constexpr NamedBit kOpenFlagNames[] = {
    {CanOpenFlags::EXCLUSIVE, "EXCLUSIVE"},
    {CanOpenFlags::REQUIRE_EXTENDED, "REQUIRE_EXTENDED"},
    {CanOpenFlags::ACCEPT_VIRTUAL, "ACCEPT_VIRTUAL"},
    {CanOpenFlags::OVERRIDE_EXCLUSIVE, "OVERRIDE_EXCLUSIVE"},
    {CanOpenFlags::REQUIRE_INIT_ACCESS, "REQUIRE_INIT_ACCESS"},
    {CanOpenFlags::NO_INIT_ACCESS, "NO_INIT_ACCESS"},
    {CanOpenFlags::ACCEPT_LARGE_DLC, "ACCEPT_LARGE_DLC"},
    {CanOpenFlags::CAN_FD, "CAN_FD"},
    {CanOpenFlags::CAN_FD_NONISO, "CAN_FD_NONISO"},
    {CanOpenFlags::INTERNAL_L, "INTERNAL_L"},
};

template <std::size_t N>
std::string names_of(std::uint32_t bits, const NamedBit (&names)[N]) {
    std::string text;
    std::uint32_t rest = bits;
    for (const auto& [bit, name] : names) {
        if (bits & bit) {
            if (!text.empty()) {
                text += " | ";
            }
            text += name;
            rest &= ~bit;
        }
    }
    if (rest != 0) {
        if (!text.empty()) {
            text += " | ";
        }
        text += fmt::format("0x{:x}", rest);
    }
    return text;
}

}  // namespace

std::string flag_text(CanMsgFlags flags) {
    return names_of(flags.bits, kMsgFlagNames);
}
std::string flag_text(CanOpenFlags flags) {
    return names_of(flags.bits, kOpenFlagNames);
}
std::string to_string(CanMsgFlags flags) {
    return flag_text(flags);
}
std::string to_string(CanOpenFlags flags) {
    return "CanOpenFlags(" + flag_text(flags) + ")";
}

}  // namespace tarnlib
