#pragma once
// A CAN driver library loaded by path for tests, the way the product loads one by name: its
// function table, resolved once, and the library kept loaded until the process ends.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/dynamic_library.hpp"
#include "tarnlib/driver_api.h"

namespace driver_test {

struct Driver {
    const platform::DynamicLibrary* library = nullptr;  // never unloaded
    tarnInitializeLibrary_fn initialize_library = nullptr;
    tarnGetNumberOfChannels_fn get_number_of_channels = nullptr;
    tarnEnumHardwareEx_fn enum_hardware_ex = nullptr;
    tarnGetChannelData_fn get_channel_data = nullptr;
    tarnOpenChannel_fn open_channel = nullptr;
    tarnClose_fn close = nullptr;
    tarnSetBusParams_fn set_bus_params = nullptr;
    tarnSetBusParamsTq_fn set_bus_params_tq = nullptr;
    tarnSetBusParamsFdTq_fn set_bus_params_fd_tq = nullptr;
    tarnGetBusParams_fn get_bus_params = nullptr;
    tarnGetBusParamsFd_fn get_bus_params_fd = nullptr;
    tarnSetBusOutputControl_fn set_bus_output_control = nullptr;
    tarnBusOn_fn bus_on = nullptr;
    tarnBusOff_fn bus_off = nullptr;
    tarnWrite_fn write = nullptr;
    tarnWriteSync_fn write_sync = nullptr;
    tarnReadWait_fn read_wait = nullptr;
    tarnRead_fn read = nullptr;
    tarnReadStatus_fn read_status = nullptr;
    tarnIoCtl_fn io_ctl = nullptr;
    tarnGetHandleData_fn get_handle_data = nullptr;
    tarnGetErrorDetail_fn get_error_detail = nullptr;  // optional: null when the driver lacks it
};

inline Driver& drv() {
    static Driver driver;
    return driver;
}

template <class F>
inline void resolve(const platform::DynamicLibrary& library, F& function, const char* name,
                    std::string& missing) {
    function = library.function<F>(name);
    if (function == nullptr) {
        missing += std::string(" ") + name;
    }
}

// Loads the driver and resolves its functions; an error text on failure. The library stays
// loaded until the process ends, as the product keeps it: a driver's own threads may still
// run at exit.
inline std::optional<std::string> load_driver(const std::string& path) {
    auto library = platform::DynamicLibrary::open(path);
    if (!library) {
        return "cannot load " + path + ": " + library.error().what;
    }
    Driver& f = drv();
    const auto* kept = new platform::DynamicLibrary(std::move(library.value()));
    f.library = kept;
    std::string missing;
    resolve(*kept, f.initialize_library, "tarnInitializeLibrary", missing);
    resolve(*kept, f.get_number_of_channels, "tarnGetNumberOfChannels", missing);
    resolve(*kept, f.enum_hardware_ex, "tarnEnumHardwareEx", missing);
    resolve(*kept, f.get_channel_data, "tarnGetChannelData", missing);
    resolve(*kept, f.open_channel, "tarnOpenChannel", missing);
    resolve(*kept, f.close, "tarnClose", missing);
    resolve(*kept, f.set_bus_params, "tarnSetBusParams", missing);
    resolve(*kept, f.set_bus_params_tq, "tarnSetBusParamsTq", missing);
    resolve(*kept, f.set_bus_params_fd_tq, "tarnSetBusParamsFdTq", missing);
    resolve(*kept, f.get_bus_params, "tarnGetBusParams", missing);
    resolve(*kept, f.get_bus_params_fd, "tarnGetBusParamsFd", missing);
    resolve(*kept, f.set_bus_output_control, "tarnSetBusOutputControl", missing);
    resolve(*kept, f.bus_on, "tarnBusOn", missing);
    resolve(*kept, f.bus_off, "tarnBusOff", missing);
    resolve(*kept, f.write, "tarnWrite", missing);
    resolve(*kept, f.write_sync, "tarnWriteSync", missing);
    resolve(*kept, f.read_wait, "tarnReadWait", missing);
    resolve(*kept, f.read, "tarnRead", missing);
    resolve(*kept, f.read_status, "tarnReadStatus", missing);
    resolve(*kept, f.io_ctl, "tarnIoCtl", missing);
    resolve(*kept, f.get_handle_data, "tarnGetHandleData", missing);
    // The product also resolves tarnUnloadLibrary; it is not called here.
    tarnUnloadLibrary_fn unload = nullptr;
    resolve(*kept, unload, "tarnUnloadLibrary", missing);
    if (!missing.empty()) {
        return path + " lacks" + missing;
    }
    f.get_error_detail = kept->function<tarnGetErrorDetail_fn>("tarnGetErrorDetail");
    // As the product starts: channel numbers are those of an enumeration.
    f.initialize_library();
    std::int32_t count = 0;
    f.get_number_of_channels(&count);
    f.enum_hardware_ex(&count);
    return std::nullopt;
}

}  // namespace driver_test
