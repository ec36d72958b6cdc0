#include "error_codes.hpp"

#include <algorithm>
#include <array>

namespace qz121032 {

namespace {

struct Entry {
    std::int32_t code;
    std::string_view text;
};

// Sorted by code. Texts are the library's own, double spaces and missing full stops
// included: applications compare them.
constexpr std::array<Entry, 58> kTable = {{
    {128, "RP1210 DLL was not initialized."},
    {129, "The client identifier is not recognized as a valid connection handle."},
    {130, "Process already has a connection to the specified device."},
    {131, "RP1210 DLL has already reached maximum number of allowed connections."},
    {132, "Memory could not be de-allocated during the requested operation."},
    {133, "Memory could not be allocated for the requested operation."},
    {134, "The specified device ID is invalid."},
    {135, "Specified device is already in use and does not support multiple connections."},
    {136, "Specified protocol is invalid or unsupported."},
    {137, "The message transmit queue is already full."},
    {138, "The message transmit queue has become corrupt."},
    {139, "The message receive queue is full."},
    {140, "The message receive queue has become corrupt."},
    {141, "The message is too large to fit in the requested location."},
    {142, "The device hardware interface is no longer responding."},
    {143, "Command not supported by this version of the RP1210 DLL."},
    {144, "Command or associated parameters were invalid."},
    {145, "Message transmit notification code.  Check lParam for status."},
    {146, "The requested address could not be claimed."},
    {147, "Unknown how this was intended to be used - ERR_CANNOT_SET_PRIORITY"},
    {148, "Client connection was terminated while waiting on message processing."},
    {149, "Only one connection allowed to this device in the requested Mode."},
    {150, "Mode change is prohibited when multiple clients are connected to the device."},
    {151, "CAN packets can neither be sent or received due to hardware being BUS OFF."},
    {152, "Unable to request an address."},
    {153, "Address was lost to another node on the network."},
    {154, "No description found for specified error code."},
    {155, "Block not supported with current connection configuration."},
    {156, "Operation is not supported when multiple clients are connected to the device."},
    {157, "Client never issued a protect address."},
    {158, "Windows handle must be provided during connection to support notification."},
    {159, "The message was not transmitted."},
    {160, "No more handles are available to perform notification."},
    {161, "Maximum number of filters have been applied to the connection."},
    {162, "Hardware status change notification. RP1210_GetHardwareStatus for details."},
    {202, "RP1210.INI was not found in the Windows OS installation directory."},
    {204, "Required section header not found in RP1210.INI.  See RP1210B specification."},
    {205, "Required key identifier not found in RP1210.INI.  See RP1210B specification."},
    {206, "Invalid key value in RP1210.INI.  See RP1210B specification."},
    {207, "Device defined in RP1210.INI is not supported by the RP1210.DLL."},
    {208, "The Port parameter provided was not valid."},
    {220, "Detected Operating System version is not supported by installed RP1210.DLL."},
    {222, "Command queue is full.  Last command issued was dropped."},
    {224, "Specified CAN baudrate is not supported on this device."},
    {225, "The Broadcast address (0xFF) can not be claimed as a source address."},
    {226, "The maximum number of protected address has been exceeded."},
    {227, "The protected address release failed to free resources"},
    {230, "The COMM device is already in use."},
    {441, "A data link conflict has been detected."},
    {453, "The adapter is failing to respond."},
    {454, "A client is already using the CAN device with a different baudrate"},
    {455, "Multiple connections to the device are being blocked by another client."},
    {456, "A client is already using the J1708 device with a different baudrate."},
    {457, "A client is already using the J1939 device with a different baudrate."},
    {458, "A client is already using the ISO15765 device with a different baudrate."},
    {600, "The Ioctl ID is invalid."},
    {601, "NULL pointer supplied where a valid pointer is required."},
    {602, "This Ioctl operation is not supported by the hardware."},
}};

constexpr bool sorted_and_fitting() {
    for (std::size_t i = 0; i < kTable.size(); ++i) {
        if (kTable[i].text.size() + 1 > kErrorDescriptionSize) {
            return false;
        }
        if (i > 0 && kTable[i - 1].code >= kTable[i].code) {
            return false;
        }
    }
    return true;
}
static_assert(sorted_and_fitting(), "error texts must be sorted by code and fit 80 bytes");

}  // namespace

std::string_view error_text(std::int32_t code) noexcept {
    auto it = std::lower_bound(kTable.begin(), kTable.end(), code,
                               [](const Entry& e, std::int32_t c) { return e.code < c; });
    if (it == kTable.end() || it->code != code) {
        return {};
    }
    return it->text;
}

std::size_t error_text_count() noexcept { return kTable.size(); }

}  // namespace qz121032
