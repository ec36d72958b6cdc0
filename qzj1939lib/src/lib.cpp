// The exported j1939_* interface. The J1939 stack behind it (channels, address claim,
// transport protocol, the shared address-claim table) is not in this build yet: every
// call that needs a channel answers J1939_FAILURE, and the shared-table configuration,
// which the RP1210 initialisation calls, succeeds without a table to configure.

#include "qzj1939lib/j1939.h"

#include "platform/log.hpp"

namespace {
constexpr const char* kTarget = "qzj1939lib";
}  // namespace

extern "C" {

J1939CreateResult J1939_API j1939_create_channel(uint32_t, uint32_t, uint32_t) {
    QZ_LOG_ERROR(kTarget, "j1939_create_channel: J1939 channels are not available");
    return J1939CreateResult{J1939_FAILURE, 0};
}

int32_t J1939_API j1939_destroy_channel(j1939_handle) {
    return J1939_INVALID_HANDLE;
}
int32_t J1939_API j1939_open_channel(j1939_handle) {
    return J1939_INVALID_HANDLE;
}
int32_t J1939_API j1939_close_channel(j1939_handle) {
    return J1939_INVALID_HANDLE;
}

int32_t J1939_API j1939_register_callbacks(j1939_handle, uint32_t, j1939_rx_callback,
                                           j1939_tx_callback, j1939_address_callback) {
    return J1939_INVALID_HANDLE;
}

int32_t J1939_API j1939_claim_address(j1939_handle, uint32_t, uint32_t, uint32_t) {
    return J1939_INVALID_HANDLE;
}

int32_t J1939_API j1939_remove_address_claim(j1939_handle, uint32_t) {
    return J1939_INVALID_HANDLE;
}

int32_t J1939_API j1939_write(j1939_handle, J1939Header, const uint8_t*, uint32_t, uint32_t) {
    return J1939_INVALID_HANDLE;
}

J1939ReadResult J1939_API j1939_read(j1939_handle, uint8_t*, uint32_t, int32_t) {
    J1939ReadResult result{};
    result.status = J1939_INVALID_HANDLE;
    return result;
}

int32_t J1939_API j1939_set_channel_option(j1939_handle, uint32_t, uint32_t) {
    return J1939_INVALID_HANDLE;
}

J1939OptionResult J1939_API j1939_get_channel_option(j1939_handle, uint32_t) {
    return J1939OptionResult{J1939_INVALID_HANDLE, 0};
}

int32_t J1939_API j1939_configure_shared_address_table(void) {
    return J1939_OK;
}

int32_t J1939_API j1939_start_log(void) {
    return J1939_FAILURE;
}

}  // extern "C"
