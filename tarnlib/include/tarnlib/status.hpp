#pragma once
// Driver status codes: 0 for success, negative for errors. Their text form is their name.

#include <cstdint>
#include <string>

namespace tarnlib {

enum class Status : std::int32_t {
    tarnOK = 0,
    tarnERR_PARAM = -1,
    tarnERR_NOMSG = -2,
    tarnERR_NOTFOUND = -3,
    tarnERR_NOMEM = -4,
    tarnERR_NOCHANNELS = -5,
    tarnERR_INTERRUPTED = -6,
    tarnERR_TIMEOUT = -7,
    tarnERR_NOTINITIALIZED = -8,
    tarnERR_NOHANDLES = -9,
    tarnERR_INVHANDLE = -10,
    tarnERR_INIFILE = -11,
    tarnERR_DRIVER = -12,
    tarnERR_TXBUFOFL = -13,
    tarnERR_RESERVED_1 = -14,
    tarnERR_HARDWARE = -15,
    tarnERR_DYNALOAD = -16,
    tarnERR_DYNALIB = -17,
    tarnERR_DYNAINIT = -18,
    tarnERR_NOT_SUPPORTED = -19,
    tarnERR_RESERVED_5 = -20,
    tarnERR_RESERVED_6 = -21,
    tarnERR_RESERVED_2 = -22,
    tarnERR_DRIVERLOAD = -23,
    tarnERR_DRIVERFAILED = -24,
    tarnERR_NOCONFIGMGR = -25,
    tarnERR_NOCARD = -26,
    tarnERR_RESERVED_7 = -27,
    tarnERR_REGISTRY = -28,
    tarnERR_LICENSE = -29,
    tarnERR_INTERNAL = -30,
    tarnERR_NO_ACCESS = -31,
    tarnERR_NOT_IMPLEMENTED = -32,
    tarnERR_DEVICE_FILE = -33,
    tarnERR_HOST_FILE = -34,
    tarnERR_DISK = -35,
    tarnERR_CRC = -36,
    tarnERR_CONFIG = -37,
    tarnERR_MEMO_FAIL = -38,
    tarnERR_SCRIPT_FAIL = -39,
    tarnERR_SCRIPT_WRONG_VERSION = -40,
    tarnERR_SCRIPT_TXE_CONTAINER_VERSION = -41,
    tarnERR_SCRIPT_TXE_CONTAINER_FORMAT = -42,
    tarnERR_BUFFER_TOO_SMALL = -43,
    tarnERR_IO_WRONG_PIN_TYPE = -44,
    tarnERR_IO_NOT_CONFIRMED = -45,
    tarnERR_IO_CONFIG_CHANGED = -46,
    tarnERR_IO_PENDING = -47,
    tarnERR_IO_NO_VALID_CONFIG = -48,
    tarnERR__RESERVED = -49,
};

// The status's name; a value outside the list prints as its number.
std::string status_name(std::int32_t status);

}  // namespace tarnlib
