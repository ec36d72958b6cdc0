// The driver interface's C functions over SocketCAN; nothing throws past them.

#include "driver.hpp"
#include "tarnlib/driver_api.h"

#define TARNSOCK_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

tarnsock::Driver& driver() {
    return tarnsock::Driver::instance();
}

template <typename F>
tarnStatus guarded(F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        return -30;  // tarnERR_INTERNAL
    }
}

}  // namespace

TARNSOCK_EXPORT void tarnInitializeLibrary(void) {}

TARNSOCK_EXPORT tarnStatus tarnUnloadLibrary(void) {
    return guarded([] { return driver().unload(); });
}

TARNSOCK_EXPORT tarnStatus tarnGetNumberOfChannels(int32_t* count) {
    return guarded([&] { return driver().enumerate(count); });
}

TARNSOCK_EXPORT tarnStatus tarnEnumHardwareEx(int32_t* count) {
    return guarded([&] { return driver().enumerate(count); });
}

TARNSOCK_EXPORT tarnStatus tarnGetChannelData(int32_t channel, int32_t item, void* buffer,
                                              uint32_t size) {
    return guarded([&] { return driver().channel_data(channel, item, buffer, size); });
}

TARNSOCK_EXPORT tarnHandle tarnOpenChannel(int32_t channel, int32_t flags) {
    return guarded([&] { return driver().open(channel, flags); });
}

TARNSOCK_EXPORT tarnStatus tarnClose(tarnHandle handle) {
    return guarded([&] { return driver().close(handle); });
}

TARNSOCK_EXPORT tarnStatus tarnSetBusParams(tarnHandle handle, int32_t bitrate, uint32_t tseg1,
                                            uint32_t tseg2, uint32_t sjw, uint32_t, uint32_t) {
    return guarded([&] { return driver().set_bus_params(handle, bitrate, tseg1, tseg2, sjw); });
}

TARNSOCK_EXPORT tarnStatus tarnSetBusParamsTq(tarnHandle handle, const tarnBusParamsTq* nominal) {
    return guarded([&] { return driver().set_bus_params_tq(handle, nominal, nullptr); });
}

TARNSOCK_EXPORT tarnStatus tarnSetBusParamsFdTq(tarnHandle handle, const tarnBusParamsTq* nominal,
                                                const tarnBusParamsTq* data) {
    return guarded([&] { return driver().set_bus_params_tq(handle, nominal, data); });
}

TARNSOCK_EXPORT tarnStatus tarnGetBusParams(tarnHandle handle, int32_t* bitrate, uint32_t* tseg1,
                                            uint32_t* tseg2, uint32_t* sjw, uint32_t* samples,
                                            uint32_t* sync_mode) {
    return guarded([&] {
        return driver().get_bus_params(handle, false, bitrate, tseg1, tseg2, sjw, samples,
                                       sync_mode);
    });
}

TARNSOCK_EXPORT tarnStatus tarnGetBusParamsFd(tarnHandle handle, int32_t* bitrate, uint32_t* tseg1,
                                              uint32_t* tseg2, uint32_t* sjw) {
    return guarded([&] {
        return driver().get_bus_params(handle, true, bitrate, tseg1, tseg2, sjw, nullptr, nullptr);
    });
}

TARNSOCK_EXPORT tarnStatus tarnSetBusOutputControl(tarnHandle handle, uint32_t mode) {
    return guarded([&] { return driver().set_output_control(handle, mode); });
}

TARNSOCK_EXPORT tarnStatus tarnBusOn(tarnHandle handle) {
    return guarded([&] { return driver().bus_on(handle, true); });
}

TARNSOCK_EXPORT tarnStatus tarnBusOff(tarnHandle handle) {
    return guarded([&] { return driver().bus_on(handle, false); });
}

TARNSOCK_EXPORT tarnStatus tarnWrite(tarnHandle handle, int32_t id, const void* data, uint32_t dlc,
                                     uint32_t flags) {
    return guarded([&] { return driver().write(handle, id, data, dlc, flags); });
}

TARNSOCK_EXPORT tarnStatus tarnWriteSync(tarnHandle handle, uint32_t timeout_ms) {
    return guarded([&] { return driver().write_sync(handle, timeout_ms); });
}

TARNSOCK_EXPORT tarnStatus tarnReadWait(tarnHandle handle, int32_t* id, void* data, uint32_t* dlc,
                                        uint32_t* flags, uint32_t* time, uint32_t timeout_ms) {
    return guarded([&] { return driver().read(handle, id, data, dlc, flags, time, timeout_ms); });
}

TARNSOCK_EXPORT tarnStatus tarnRead(tarnHandle handle, int32_t* id, void* data, uint32_t* dlc,
                                    uint32_t* flags, uint32_t* time) {
    return guarded([&] { return driver().read(handle, id, data, dlc, flags, time, 0); });
}

TARNSOCK_EXPORT tarnStatus tarnReadStatus(tarnHandle handle, uint32_t* status) {
    return guarded([&] { return driver().read_status(handle, status); });
}

TARNSOCK_EXPORT tarnStatus tarnIoCtl(tarnHandle handle, uint32_t function, void* buffer,
                                     uint32_t size) {
    return guarded([&] { return driver().io_ctl(handle, function, buffer, size); });
}

TARNSOCK_EXPORT tarnStatus tarnGetHandleData(tarnHandle handle, int32_t item, void* buffer,
                                             uint32_t size) {
    return guarded([&] { return driver().handle_data(handle, item, buffer, size); });
}

TARNSOCK_EXPORT uint32_t tarnGetErrorDetail(char* buffer, uint32_t size) {
    return tarnsock::copy_error_detail(buffer, size);
}
