// The exported C functions: the driver operations and the simulator's control interface,
// each forwarding to the process's simulator.

#include <cstdint>

#include "simulator.hpp"
#include "tarnlib/driver_api.h"
#include "tarnsim/tarnsim_control.h"

#if defined(_WIN32)
#define TARNSIM_EXPORT
#else
#define TARNSIM_EXPORT __attribute__((visibility("default")))
#endif

using tarnsim::Simulator;

namespace {
Simulator& sim() {
    return Simulator::instance();
}
}  // namespace

extern "C" {

TARNSIM_EXPORT void TARN_CALL tarnInitializeLibrary(void) {
    Simulator::instance().initialize_library();
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnUnloadLibrary(void) {
    return sim().unload_library();
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnGetNumberOfChannels(int32_t* count) {
    return sim().get_number_of_channels(count);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnEnumHardwareEx(int32_t* count) {
    return sim().enum_hardware(count);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnGetChannelData(int32_t channel, int32_t item, void* buffer,
                                                       uint32_t size) {
    return sim().get_channel_data(channel, item, buffer, size);
}

TARNSIM_EXPORT tarnHandle TARN_CALL tarnOpenChannel(int32_t channel, int32_t flags) {
    return sim().open_channel(channel, flags);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnClose(tarnHandle handle) {
    return sim().close(handle);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnSetBusParams(tarnHandle handle, int32_t bitrate,
                                                     uint32_t tseg1, uint32_t tseg2, uint32_t sjw,
                                                     uint32_t samples, uint32_t sync_mode) {
    return sim().set_bus_params(handle, bitrate, tseg1, tseg2, sjw, samples, sync_mode);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnSetBusParamsTq(tarnHandle handle,
                                                       const tarnBusParamsTq* nominal) {
    return sim().set_bus_params_tq(handle, nominal, nullptr);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnSetBusParamsFdTq(tarnHandle handle,
                                                         const tarnBusParamsTq* nominal,
                                                         const tarnBusParamsTq* data) {
    if (data == nullptr) {
        return -1;
    }
    return sim().set_bus_params_tq(handle, nominal, data);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnGetBusParams(tarnHandle handle, int32_t* bitrate,
                                                     uint32_t* tseg1, uint32_t* tseg2,
                                                     uint32_t* sjw, uint32_t* samples,
                                                     uint32_t* sync_mode) {
    return sim().get_bus_params(handle, false, bitrate, tseg1, tseg2, sjw, samples, sync_mode);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnGetBusParamsFd(tarnHandle handle, int32_t* bitrate,
                                                       uint32_t* tseg1, uint32_t* tseg2,
                                                       uint32_t* sjw) {
    return sim().get_bus_params(handle, true, bitrate, tseg1, tseg2, sjw, nullptr, nullptr);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnSetBusOutputControl(tarnHandle handle, uint32_t mode) {
    return sim().set_output_control(handle, mode);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnBusOn(tarnHandle handle) {
    return sim().bus_on(handle, true);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnBusOff(tarnHandle handle) {
    return sim().bus_on(handle, false);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnWrite(tarnHandle handle, int32_t id, const void* data,
                                              uint32_t dlc, uint32_t flags) {
    return sim().write(handle, id, data, dlc, flags);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnWriteSync(tarnHandle handle, uint32_t timeout_ms) {
    return sim().write_sync(handle, timeout_ms);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnReadWait(tarnHandle handle, int32_t* id, void* data,
                                                 uint32_t* dlc, uint32_t* flags, uint32_t* time,
                                                 uint32_t timeout_ms) {
    return sim().read(handle, id, data, dlc, flags, time, timeout_ms);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnRead(tarnHandle handle, int32_t* id, void* data,
                                             uint32_t* dlc, uint32_t* flags, uint32_t* time) {
    return sim().read(handle, id, data, dlc, flags, time, 0);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnReadStatus(tarnHandle handle, uint32_t* status) {
    return sim().read_status(handle, status);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnIoCtl(tarnHandle handle, uint32_t function, void* buffer,
                                              uint32_t size) {
    return sim().io_ctl(handle, function, buffer, size);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnGetHandleData(tarnHandle handle, int32_t item, void* buffer,
                                                      uint32_t size) {
    return sim().get_handle_data(handle, item, buffer, size);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnsim_configure(const char* config_path) {
    return sim().configure(config_path);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnsim_reset(void) {
    return sim().reset();
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnsim_set_plugged(int32_t interface_index, int32_t plugged) {
    return sim().set_plugged(interface_index, plugged != 0);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnsim_inject(int32_t bus, int32_t id, const void* data,
                                                   uint32_t dlc, uint32_t flags, int32_t bitrate) {
    return sim().inject(bus, id, data, dlc, flags, bitrate);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnsim_force_bus_off(int32_t interface_index,
                                                          int32_t channel) {
    return sim().force_bus_off(interface_index, channel);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnsim_set_queue_sizes(int32_t interface_index,
                                                            int32_t channel, uint32_t tx_frames,
                                                            uint32_t rx_frames) {
    return sim().set_queue_sizes(interface_index, channel, tx_frames, rx_frames);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnsim_set_startup_status(tarnStatus status) {
    return sim().set_startup_status(status);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnsim_set_paced(int32_t paced) {
    return sim().set_paced(paced != 0);
}

TARNSIM_EXPORT tarnStatus TARN_CALL tarnsim_get_bus_stats(int32_t bus, tarnsim_bus_stats* stats,
                                                          int32_t reset) {
    return sim().get_bus_stats(bus, stats, reset != 0);
}

}  // extern "C"

// Each export has the type the driver interface declares for it.
namespace {

[[maybe_unused]] constexpr tarnInitializeLibrary_fn check_tarnInitializeLibrary =
    &tarnInitializeLibrary;

[[maybe_unused]] constexpr tarnUnloadLibrary_fn check_tarnUnloadLibrary = &tarnUnloadLibrary;

[[maybe_unused]] constexpr tarnGetNumberOfChannels_fn check_tarnGetNumberOfChannels =
    &tarnGetNumberOfChannels;

[[maybe_unused]] constexpr tarnEnumHardwareEx_fn check_tarnEnumHardwareEx = &tarnEnumHardwareEx;

[[maybe_unused]] constexpr tarnGetChannelData_fn check_tarnGetChannelData = &tarnGetChannelData;

[[maybe_unused]] constexpr tarnOpenChannel_fn check_tarnOpenChannel = &tarnOpenChannel;

[[maybe_unused]] constexpr tarnClose_fn check_tarnClose = &tarnClose;

[[maybe_unused]] constexpr tarnSetBusParams_fn check_tarnSetBusParams = &tarnSetBusParams;

[[maybe_unused]] constexpr tarnSetBusParamsTq_fn check_tarnSetBusParamsTq = &tarnSetBusParamsTq;

[[maybe_unused]] constexpr tarnSetBusParamsFdTq_fn check_tarnSetBusParamsFdTq =
    &tarnSetBusParamsFdTq;

[[maybe_unused]] constexpr tarnGetBusParams_fn check_tarnGetBusParams = &tarnGetBusParams;

[[maybe_unused]] constexpr tarnGetBusParamsFd_fn check_tarnGetBusParamsFd = &tarnGetBusParamsFd;

[[maybe_unused]] constexpr tarnSetBusOutputControl_fn check_tarnSetBusOutputControl =
    &tarnSetBusOutputControl;

[[maybe_unused]] constexpr tarnBusOn_fn check_tarnBusOn = &tarnBusOn;

[[maybe_unused]] constexpr tarnBusOff_fn check_tarnBusOff = &tarnBusOff;

[[maybe_unused]] constexpr tarnWrite_fn check_tarnWrite = &tarnWrite;

[[maybe_unused]] constexpr tarnWriteSync_fn check_tarnWriteSync = &tarnWriteSync;

[[maybe_unused]] constexpr tarnReadWait_fn check_tarnReadWait = &tarnReadWait;

[[maybe_unused]] constexpr tarnRead_fn check_tarnRead = &tarnRead;

[[maybe_unused]] constexpr tarnReadStatus_fn check_tarnReadStatus = &tarnReadStatus;

[[maybe_unused]] constexpr tarnIoCtl_fn check_tarnIoCtl = &tarnIoCtl;

[[maybe_unused]] constexpr tarnGetHandleData_fn check_tarnGetHandleData = &tarnGetHandleData;

[[maybe_unused]] constexpr tarnsim_configure_fn check_tarnsim_configure = &tarnsim_configure;

[[maybe_unused]] constexpr tarnsim_reset_fn check_tarnsim_reset = &tarnsim_reset;

[[maybe_unused]] constexpr tarnsim_set_plugged_fn check_tarnsim_set_plugged = &tarnsim_set_plugged;

[[maybe_unused]] constexpr tarnsim_inject_fn check_tarnsim_inject = &tarnsim_inject;

[[maybe_unused]] constexpr tarnsim_force_bus_off_fn check_tarnsim_force_bus_off =
    &tarnsim_force_bus_off;

[[maybe_unused]] constexpr tarnsim_set_queue_sizes_fn check_tarnsim_set_queue_sizes =
    &tarnsim_set_queue_sizes;

[[maybe_unused]] constexpr tarnsim_set_startup_status_fn check_tarnsim_set_startup_status =
    &tarnsim_set_startup_status;

[[maybe_unused]] constexpr tarnsim_set_paced_fn check_tarnsim_set_paced = &tarnsim_set_paced;

[[maybe_unused]] constexpr tarnsim_get_bus_stats_fn check_tarnsim_get_bus_stats =
    &tarnsim_get_bus_stats;
}  // namespace
