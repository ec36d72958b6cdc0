/* The J1939 library's exported interface: J1939 channels on CAN channels, address claim,
 * transport protocol and the cross-process address-claim table, for programs that want
 * J1939 without RP1210. Exports use the Windows standard calling convention; callbacks
 * the caller-pops convention. */
#ifndef QZJ1939LIB_J1939_H
#define QZJ1939LIB_J1939_H

#include <stdint.h>

#if defined(_WIN32)
#define J1939_API __stdcall
#define J1939_CALLBACK __cdecl
#define J1939_EXPORT
#else
#define J1939_API
#define J1939_CALLBACK
#define J1939_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Return codes. */
#define J1939_OK 0
#define J1939_FAILURE (-1)
#define J1939_INVALID_HANDLE (-2)
#define J1939_BAD_ARGUMENT (-3)
#define J1939_TX_OVERFLOW (-6)

typedef uint32_t j1939_handle;

typedef struct J1939Header {
    uint32_t pgn;
    uint8_t priority;
    uint8_t src_addr;
    uint8_t dest_addr;
    uint8_t reserved;
} J1939Header;

typedef struct J1939CreateResult {
    int32_t status;
    j1939_handle handle;
} J1939CreateResult;

typedef struct J1939OptionResult {
    int32_t status;
    uint32_t value;
} J1939OptionResult;

typedef struct J1939ReadResult {
    int32_t status;
    J1939Header header;
    uint32_t padding;
    uint64_t timestamp;
    uint32_t length;
} J1939ReadResult;

typedef void(J1939_CALLBACK* j1939_rx_callback)(j1939_handle handle, uint32_t context,
                                                J1939Header header, uint64_t timestamp,
                                                const uint8_t* data, uint32_t length,
                                                uint32_t is_error);
typedef void(J1939_CALLBACK* j1939_tx_callback)(j1939_handle handle, uint32_t context,
                                                uint32_t tag, J1939Header header,
                                                uint64_t timestamp, uint32_t failed);
typedef void(J1939_CALLBACK* j1939_address_callback)(j1939_handle handle, uint32_t context,
                                                     uint32_t address, uint32_t claimed);

J1939_EXPORT J1939CreateResult J1939_API j1939_create_channel(uint32_t channel,
                                                               uint32_t reserved,
                                                               uint32_t bit_rate);
J1939_EXPORT int32_t J1939_API j1939_destroy_channel(j1939_handle handle);
J1939_EXPORT int32_t J1939_API j1939_open_channel(j1939_handle handle);
J1939_EXPORT int32_t J1939_API j1939_close_channel(j1939_handle handle);
J1939_EXPORT int32_t J1939_API j1939_register_callbacks(j1939_handle handle, uint32_t context,
                                                        j1939_rx_callback rx,
                                                        j1939_tx_callback tx,
                                                        j1939_address_callback address);
J1939_EXPORT int32_t J1939_API j1939_claim_address(j1939_handle handle, uint32_t address,
                                                   uint32_t name_low, uint32_t name_high);
J1939_EXPORT int32_t J1939_API j1939_remove_address_claim(j1939_handle handle,
                                                          uint32_t address);
J1939_EXPORT int32_t J1939_API j1939_write(j1939_handle handle, J1939Header header,
                                           const uint8_t* data, uint32_t length, uint32_t tag);
J1939_EXPORT J1939ReadResult J1939_API j1939_read(j1939_handle handle, uint8_t* buffer,
                                                  uint32_t size, int32_t timeout_ms);
J1939_EXPORT int32_t J1939_API j1939_set_channel_option(j1939_handle handle, uint32_t option,
                                                        uint32_t value);
J1939_EXPORT J1939OptionResult J1939_API j1939_get_channel_option(j1939_handle handle,
                                                                  uint32_t option);
J1939_EXPORT int32_t J1939_API j1939_configure_shared_address_table(void);
J1939_EXPORT int32_t J1939_API j1939_start_log(void);

#ifdef __cplusplus
}
#endif

#endif
