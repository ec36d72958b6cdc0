#include "tarnlib/driver_library.hpp"

#include <atomic>
#include <optional>

#include "platform/dynamic_library.hpp"
#include "platform/log.hpp"
#include "tarnlib/status.hpp"

namespace tarnlib {

namespace {
constexpr const char* kTarget = "tarnlib";
constexpr std::int32_t kNotLoaded = static_cast<std::int32_t>(Status::tarnERR_DYNALOAD);
std::atomic<DriverLibrary*> created_instance{nullptr};
}  // namespace

// The driver's function table, resolved once when the library is loaded.
struct DriverLibrary::Functions {
    tarnInitializeLibrary_fn initialize_library = nullptr;
    tarnUnloadLibrary_fn unload_library = nullptr;
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

    bool complete() const {
        return initialize_library != nullptr && unload_library != nullptr &&
               get_number_of_channels != nullptr && enum_hardware_ex != nullptr &&
               get_channel_data != nullptr && open_channel != nullptr && close != nullptr &&
               set_bus_params != nullptr && set_bus_params_tq != nullptr &&
               set_bus_params_fd_tq != nullptr && get_bus_params != nullptr &&
               get_bus_params_fd != nullptr && set_bus_output_control != nullptr &&
               bus_on != nullptr && bus_off != nullptr && write != nullptr &&
               write_sync != nullptr && read_wait != nullptr && read != nullptr &&
               read_status != nullptr && io_ctl != nullptr && get_handle_data != nullptr;
    }
};

struct DriverLibrary::State {
    std::optional<platform::DynamicLibrary> library;
    Functions functions;
    tarnGetErrorDetail_fn error_detail = nullptr;  // optional
    bool loaded = false;
};

DriverLibrary& DriverLibrary::instance() {
    // Never destroyed: the driver stays loaded until the process ends, and the context
    // must outlive every thread that may still call into it at exit.
    static DriverLibrary* const context = [] {
        auto* created = new DriverLibrary();
        created_instance.store(created, std::memory_order_release);
        return created;
    }();
    return *context;
}

DriverLibrary* DriverLibrary::existing() noexcept {
    return created_instance.load(std::memory_order_acquire);
}

DriverLibrary::DriverLibrary() : state_(new State) {
    const std::string file = platform::shared_library_file_name(kDriverLibraryBaseName);
    auto library = platform::DynamicLibrary::open(file);
    if (!library) {
        QZ_LOG_ERROR(kTarget, "Failed to load CAN driver library {}: {}", file,
                     library.error().what);
        return;
    }
    Functions& f = state_->functions;
    f.initialize_library = library->function<tarnInitializeLibrary_fn>("tarnInitializeLibrary");
    f.unload_library = library->function<tarnUnloadLibrary_fn>("tarnUnloadLibrary");
    f.get_number_of_channels =
        library->function<tarnGetNumberOfChannels_fn>("tarnGetNumberOfChannels");
    f.enum_hardware_ex = library->function<tarnEnumHardwareEx_fn>("tarnEnumHardwareEx");
    f.get_channel_data = library->function<tarnGetChannelData_fn>("tarnGetChannelData");
    f.open_channel = library->function<tarnOpenChannel_fn>("tarnOpenChannel");
    f.close = library->function<tarnClose_fn>("tarnClose");
    f.set_bus_params = library->function<tarnSetBusParams_fn>("tarnSetBusParams");
    f.set_bus_params_tq = library->function<tarnSetBusParamsTq_fn>("tarnSetBusParamsTq");
    f.set_bus_params_fd_tq = library->function<tarnSetBusParamsFdTq_fn>("tarnSetBusParamsFdTq");
    f.get_bus_params = library->function<tarnGetBusParams_fn>("tarnGetBusParams");
    f.get_bus_params_fd = library->function<tarnGetBusParamsFd_fn>("tarnGetBusParamsFd");
    f.set_bus_output_control =
        library->function<tarnSetBusOutputControl_fn>("tarnSetBusOutputControl");
    f.bus_on = library->function<tarnBusOn_fn>("tarnBusOn");
    f.bus_off = library->function<tarnBusOff_fn>("tarnBusOff");
    f.write = library->function<tarnWrite_fn>("tarnWrite");
    f.write_sync = library->function<tarnWriteSync_fn>("tarnWriteSync");
    f.read_wait = library->function<tarnReadWait_fn>("tarnReadWait");
    f.read = library->function<tarnRead_fn>("tarnRead");
    f.read_status = library->function<tarnReadStatus_fn>("tarnReadStatus");
    f.io_ctl = library->function<tarnIoCtl_fn>("tarnIoCtl");
    f.get_handle_data = library->function<tarnGetHandleData_fn>("tarnGetHandleData");
    if (!f.complete()) {
        QZ_LOG_ERROR(kTarget, "CAN driver library {} lacks required functions", file);
        state_->functions = {};
        return;
    }
    state_->error_detail = library->function<tarnGetErrorDetail_fn>("tarnGetErrorDetail");
    state_->library = std::move(library.value());
    state_->loaded = true;
    f.initialize_library();
}

DriverLibrary::~DriverLibrary() {
    delete state_;
}

bool DriverLibrary::loaded() const noexcept {
    return state_->loaded;
}

std::int32_t DriverLibrary::get_number_of_channels(std::int32_t& count) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.get_number_of_channels(&count);
}

std::int32_t DriverLibrary::unload_library() const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.unload_library();
}

std::int32_t DriverLibrary::enum_hardware_ex(std::int32_t& count) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.enum_hardware_ex(&count);
}

std::int32_t DriverLibrary::get_channel_data(std::int32_t channel, std::int32_t item, void* buffer,
                                             std::uint32_t size) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.get_channel_data(channel, item, buffer, size);
}

std::int32_t DriverLibrary::open_channel(std::int32_t channel, std::int32_t flags) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.open_channel(channel, flags);
}

std::int32_t DriverLibrary::close(std::int32_t handle) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.close(handle);
}

std::int32_t DriverLibrary::set_bus_params(std::int32_t handle, std::int32_t bitrate,
                                           std::uint32_t tseg1, std::uint32_t tseg2,
                                           std::uint32_t sjw, std::uint32_t samples,
                                           std::uint32_t sync_mode) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.set_bus_params(handle, bitrate, tseg1, tseg2, sjw, samples, sync_mode);
}

std::int32_t DriverLibrary::set_bus_params_tq(std::int32_t handle,
                                              const tarnBusParamsTq& nominal) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.set_bus_params_tq(handle, &nominal);
}

std::int32_t DriverLibrary::set_bus_params_fd_tq(std::int32_t handle,
                                                 const tarnBusParamsTq& nominal,
                                                 const tarnBusParamsTq& data) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.set_bus_params_fd_tq(handle, &nominal, &data);
}

std::int32_t DriverLibrary::get_bus_params(std::int32_t handle, std::int32_t& bitrate,
                                           std::uint32_t& tseg1, std::uint32_t& tseg2,
                                           std::uint32_t& sjw, std::uint32_t& samples,
                                           std::uint32_t& sync_mode) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.get_bus_params(handle, &bitrate, &tseg1, &tseg2, &sjw, &samples,
                                            &sync_mode);
}

std::int32_t DriverLibrary::get_bus_params_fd(std::int32_t handle, std::int32_t& bitrate,
                                              std::uint32_t& tseg1, std::uint32_t& tseg2,
                                              std::uint32_t& sjw) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.get_bus_params_fd(handle, &bitrate, &tseg1, &tseg2, &sjw);
}

std::int32_t DriverLibrary::set_bus_output_control(std::int32_t handle,
                                                   std::uint32_t mode) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.set_bus_output_control(handle, mode);
}

std::int32_t DriverLibrary::bus_on(std::int32_t handle) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.bus_on(handle);
}

std::int32_t DriverLibrary::bus_off(std::int32_t handle) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.bus_off(handle);
}

std::int32_t DriverLibrary::write(std::int32_t handle, std::int32_t id, const void* data,
                                  std::uint32_t dlc, std::uint32_t flags) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.write(handle, id, data, dlc, flags);
}

std::int32_t DriverLibrary::write_sync(std::int32_t handle,
                                       std::uint32_t timeout_ms) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.write_sync(handle, timeout_ms);
}

std::int32_t DriverLibrary::read_wait(std::int32_t handle, std::int32_t& id, void* data,
                                      std::uint32_t& dlc, std::uint32_t& flags, std::uint32_t& time,
                                      std::uint32_t timeout_ms) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.read_wait(handle, &id, data, &dlc, &flags, &time, timeout_ms);
}

std::int32_t DriverLibrary::read(std::int32_t handle, std::int32_t& id, void* data,
                                 std::uint32_t& dlc, std::uint32_t& flags,
                                 std::uint32_t& time) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.read(handle, &id, data, &dlc, &flags, &time);
}

std::int32_t DriverLibrary::read_status(std::int32_t handle, std::uint32_t& status) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.read_status(handle, &status);
}

std::int32_t DriverLibrary::io_ctl(std::int32_t handle, std::uint32_t function, void* buffer,
                                   std::uint32_t size) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.io_ctl(handle, function, buffer, size);
}

std::int32_t DriverLibrary::get_handle_data(std::int32_t handle, std::int32_t item, void* buffer,
                                            std::uint32_t size) const noexcept {
    if (!state_->loaded) {
        return kNotLoaded;
    }
    return state_->functions.get_handle_data(handle, item, buffer, size);
}

std::string DriverLibrary::error_detail() const {
    if (!state_->loaded || state_->error_detail == nullptr) {
        return {};
    }
    char text[512] = {};
    const std::uint32_t length = state_->error_detail(text, sizeof text);
    return length == 0 ? std::string{} : std::string(text);
}

}  // namespace tarnlib
