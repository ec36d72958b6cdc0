// INI loader: any text either fails with a message or yields settings that satisfy the
// load checks; every loaded device's DeviceParams then goes through the resolver.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "config_reader.hpp"

// A broken invariant is a crash for libFuzzer.
static void require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qz121032;
    IniSettings settings;
    settings.path = "fuzz.ini";
    const auto error =
        load_ini_text(std::string_view(reinterpret_cast<const char*>(data), size), settings);
    require(settings.path == "fuzz.ini");
    require(settings.valid == !error);
    if (error) {
        require(!error->empty() && !settings.vendor && settings.devices.empty() &&
                settings.protocols.empty());
        return 0;
    }
    require(settings.vendor && settings.vendor->rp1210 == "C");
    require(!settings.devices.empty() && !settings.protocols.empty());
    for (std::uint32_t id : settings.vendor->devices) {
        require(settings.devices.count(static_cast<std::int32_t>(id)) == 1);
    }
    for (std::uint32_t id : settings.vendor->protocols) {
        require(settings.protocols.count(id) == 1);
    }
    for (const auto& [key, device] : settings.devices) {
        require(static_cast<std::uint32_t>(key) == device.device_id);
        (void)resolve_device_params(device);
    }
    return 0;
}
