#include "tarnlib/status.hpp"

#include <array>
#include <string_view>

namespace tarnlib {

std::string status_name(std::int32_t status) {
    // Indexed by -status.
    static constexpr std::array<std::string_view, 50> names = {
        "tarnOK",
        "tarnERR_PARAM",
        "tarnERR_NOMSG",
        "tarnERR_NOTFOUND",
        "tarnERR_NOMEM",
        "tarnERR_NOCHANNELS",
        "tarnERR_INTERRUPTED",
        "tarnERR_TIMEOUT",
        "tarnERR_NOTINITIALIZED",
        "tarnERR_NOHANDLES",
        "tarnERR_INVHANDLE",
        "tarnERR_INIFILE",
        "tarnERR_DRIVER",
        "tarnERR_TXBUFOFL",
        "tarnERR_RESERVED_1",
        "tarnERR_HARDWARE",
        "tarnERR_DYNALOAD",
        "tarnERR_DYNALIB",
        "tarnERR_DYNAINIT",
        "tarnERR_NOT_SUPPORTED",
        "tarnERR_RESERVED_5",
        "tarnERR_RESERVED_6",
        "tarnERR_RESERVED_2",
        "tarnERR_DRIVERLOAD",
        "tarnERR_DRIVERFAILED",
        "tarnERR_NOCONFIGMGR",
        "tarnERR_NOCARD",
        "tarnERR_RESERVED_7",
        "tarnERR_REGISTRY",
        "tarnERR_LICENSE",
        "tarnERR_INTERNAL",
        "tarnERR_NO_ACCESS",
        "tarnERR_NOT_IMPLEMENTED",
        "tarnERR_DEVICE_FILE",
        "tarnERR_HOST_FILE",
        "tarnERR_DISK",
        "tarnERR_CRC",
        "tarnERR_CONFIG",
        "tarnERR_MEMO_FAIL",
        "tarnERR_SCRIPT_FAIL",
        "tarnERR_SCRIPT_WRONG_VERSION",
        "tarnERR_SCRIPT_TXE_CONTAINER_VERSION",
        "tarnERR_SCRIPT_TXE_CONTAINER_FORMAT",
        "tarnERR_BUFFER_TOO_SMALL",
        "tarnERR_IO_WRONG_PIN_TYPE",
        "tarnERR_IO_NOT_CONFIRMED",
        "tarnERR_IO_CONFIG_CHANGED",
        "tarnERR_IO_PENDING",
        "tarnERR_IO_NO_VALID_CONFIG",
        "tarnERR__RESERVED",
    };
    if (status <= 0 && status > -static_cast<std::int32_t>(names.size())) {
        return std::string(names[static_cast<std::size_t>(-status)]);
    }
    return std::to_string(status);
}

}  // namespace tarnlib
