// DeviceParams resolver: the first byte chooses the channel counts, the rest is the
// DeviceParams text. A resolved selection must obey the rules the resolver enforces.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "config_reader.hpp"

// A broken invariant is a crash for libFuzzer.
static void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    qz121032::DeviceInfo device;
    device.multi_can_channels = data[0] & 0x3;
    device.multi_j1939_channels = (data[0] >> 2) & 0x3;
    device.device_params.assign(reinterpret_cast<const char*>(data) + 1, size - 1);

    const auto result = qz121032::resolve_device_params(device);
    if (!result) {
        require(!result.error().empty());
        return 0;
    }
    const qz121032::DeviceSelection& s = *result;
    require(s.can_channel_count == device.multi_can_channels);
    require(s.j1939_channel_count == device.multi_j1939_channels);
    if (s.fixed_channel) {
        require(device.multi_can_channels <= 1 && device.multi_j1939_channels <= 1);
    } else {
        require(s.ean || s.serial_number);
    }
    if (s.ean) {
        for (std::uint64_t v = *s.ean; v != 0; v >>= 4) {
            require((v & 0xF) <= 9);  // packed decimal: one digit per nibble
        }
    }
    return 0;
}
