/* The J1939 library's exported interface: J1939 channels on CAN channels, address claim,
 * transport protocol and the cross-process address-claim table, for programs that want
 * J1939 without RP1210. Channels are named by 32-bit handles.
 *
 * Calling conventions. Every export uses the Windows standard calling convention
 * (__stdcall: the callee pops its arguments); callbacks use the caller-pops convention
 * (__cdecl). On 32-bit Windows the records are returned as Microsoft's compiler returns
 * them: the 8-byte records (J1939CreateResult, J1939OptionResult) in EDX:EAX, the 28-byte
 * J1939ReadResult through a hidden result pointer that the caller pushes last and the
 * callee pops with its arguments. GCC and clang do the same for mingw targets
 * (-freg-struct-return, which the library's build also states explicitly).
 *
 * Return codes: 0 success, -1 failure, -2 unknown handle or a channel in the wrong
 * open/closed state, -3 bad argument, -6 transmit buffer overflow (j1939_write only).
 * j1939_read's status adds -5 (time-out), -7 (address lost: Cannot Claim), -8 (message
 * larger than the buffer; it is dropped) and -9 (a frame or transfer failed on reception).
 */
#ifndef QZJ1939LIB_J1939_H
#define QZJ1939LIB_J1939_H

#include <stddef.h>
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
#define J1939_TIMEOUT (-5)
#define J1939_TX_OVERFLOW (-6)
#define J1939_ADDRESS_LOST (-7)
#define J1939_BUFFER_TOO_SMALL (-8)
#define J1939_RX_ERROR (-9)

typedef uint32_t j1939_handle;

/* A message's header: PGN (18 bits used), priority (0-7), source address, destination
 * address (255: global). 8 bytes, passed and returned by value. */
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

/* 28 bytes: no padding after the last field. */
#pragma pack(push, 4)
typedef struct J1939ReadResult {
    int32_t status;
    J1939Header header;
    uint32_t padding;
    uint64_t timestamp; /* the receive time stamp; 0 when the event has none */
    uint32_t length;    /* data bytes copied */
} J1939ReadResult;
#pragma pack(pop)

#if defined(__cplusplus)
#define J1939_STATIC_ASSERT(condition, text) static_assert(condition, text)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define J1939_STATIC_ASSERT(condition, text) _Static_assert(condition, text)
#else
#define J1939_STATIC_ASSERT(condition, text)
#endif
J1939_STATIC_ASSERT(sizeof(J1939Header) == 8, "J1939Header is 8 bytes");
J1939_STATIC_ASSERT(offsetof(J1939Header, priority) == 4, "J1939Header.priority at 4");
J1939_STATIC_ASSERT(offsetof(J1939Header, src_addr) == 5, "J1939Header.src_addr at 5");
J1939_STATIC_ASSERT(offsetof(J1939Header, dest_addr) == 6, "J1939Header.dest_addr at 6");
J1939_STATIC_ASSERT(sizeof(J1939CreateResult) == 8, "J1939CreateResult is 8 bytes");
J1939_STATIC_ASSERT(offsetof(J1939CreateResult, handle) == 4, "J1939CreateResult.handle at 4");
J1939_STATIC_ASSERT(sizeof(J1939OptionResult) == 8, "J1939OptionResult is 8 bytes");
J1939_STATIC_ASSERT(offsetof(J1939OptionResult, value) == 4, "J1939OptionResult.value at 4");
J1939_STATIC_ASSERT(sizeof(J1939ReadResult) == 28, "J1939ReadResult is 28 bytes");
J1939_STATIC_ASSERT(offsetof(J1939ReadResult, header) == 4, "J1939ReadResult.header at 4");
J1939_STATIC_ASSERT(offsetof(J1939ReadResult, timestamp) == 16, "J1939ReadResult.timestamp at 16");
J1939_STATIC_ASSERT(offsetof(J1939ReadResult, length) == 24, "J1939ReadResult.length at 24");

/* Callbacks, called on the channel's callback thread; each receives the handle and the
 * registered context first. A callback may call any export, also on its own channel.
 *   rx:      a received message (is_error 0, its data), or a frame or transfer that failed
 *            on reception (is_error 1, data null, length 0).
 *   tx:      a message written with a non-zero tag went out (failed 0), or its transfer
 *            failed (failed 1).
 *   address: an address-claim outcome: claimed 1 (Claimed) or 0 (Cannot Claim). The
 *            address is 0-253, zero-extended to 32 bits. */
typedef void(J1939_CALLBACK* j1939_rx_callback)(j1939_handle handle, uint32_t context,
                                                J1939Header header, uint64_t timestamp,
                                                const uint8_t* data, uint32_t length,
                                                uint32_t is_error);
typedef void(J1939_CALLBACK* j1939_tx_callback)(j1939_handle handle, uint32_t context, uint32_t tag,
                                                J1939Header header, uint64_t timestamp,
                                                uint32_t failed);
typedef void(J1939_CALLBACK* j1939_address_callback)(j1939_handle handle, uint32_t context,
                                                     uint32_t address, uint32_t claimed);

/* A closed J1939 channel on the CAN channel with this number on its interface, at the bit
 * rate (sample point 87.5 %). Status -2: no such channel, or its bus runs at another bit
 * rate in this process; -1: the channel could not be configured. */
J1939_EXPORT J1939CreateResult J1939_API j1939_create_channel(uint32_t channel, uint32_t reserved,
                                                              uint32_t bit_rate);
/* Closes the channel if it is open and forgets the handle. */
J1939_EXPORT int32_t J1939_API j1939_destroy_channel(j1939_handle handle);
/* Goes on bus. With callbacks registered, their thread starts; otherwise events wait for
 * j1939_read. */
J1939_EXPORT int32_t J1939_API j1939_open_channel(j1939_handle handle);
/* Releases the channel's address claims, goes off bus, and waits for its callback thread
 * (unless called on it). A closed channel gives 0. */
J1939_EXPORT int32_t J1939_API j1939_close_channel(j1939_handle handle);
/* While the channel is closed (else -2): callbacks for the next open; null drops that kind
 * of event. */
J1939_EXPORT int32_t J1939_API j1939_register_callbacks(j1939_handle handle, uint32_t context,
                                                        j1939_rx_callback rx, j1939_tx_callback tx,
                                                        j1939_address_callback address);
/* Starts claiming the address (0-253) with the 64-bit NAME; the outcome arrives as an
 * address callback, or as status -7 from j1939_read when it is lost. */
J1939_EXPORT int32_t J1939_API j1939_claim_address(j1939_handle handle, uint8_t address,
                                                   uint32_t name_low, uint32_t name_high);
J1939_EXPORT int32_t J1939_API j1939_remove_address_claim(j1939_handle handle, uint8_t address);
/* Sends a message of 0 to 1785 bytes: up to 8 as one frame, more through the transport
 * protocol (BAM to 255, RTS/CTS otherwise; needs a claimed source address). A non-zero
 * tag asks for a tx callback. */
J1939_EXPORT int32_t J1939_API j1939_write(j1939_handle handle, J1939Header header,
                                           const uint8_t* data, uint32_t length, uint32_t tag);
/* The next received message or failure, waiting up to timeout_ms (negative: without
 * limit). Only while the channel is open without callbacks (else status -2). */
J1939_EXPORT J1939ReadResult J1939_API j1939_read(j1939_handle handle, uint8_t* buffer,
                                                  uint32_t size, int32_t timeout_ms);
/* Options: 0 TX echo (0/1, set only), 1 TP passthrough (0/1, only while closed), 2 BAM
 * inter-packet time in ms (0-200), 3 max packets in RTS (1-255), 4 max packets in CTS
 * (1-255), 5-8 the T1-T4 time-outs in ms (0-20000). */
J1939_EXPORT int32_t J1939_API j1939_set_channel_option(j1939_handle handle, uint32_t option,
                                                        uint32_t value);
J1939_EXPORT J1939OptionResult J1939_API j1939_get_channel_option(j1939_handle handle,
                                                                  uint32_t option);
/* Shares address claims and client ids with every other process that does the same.
 * Once per process, before its first channel; -1 otherwise. */
J1939_EXPORT int32_t J1939_API j1939_configure_shared_address_table(void);
/* Writes the library's log to "qzj1939lib.log" in the current directory; -1 when the
 * file cannot be opened or the process has a log already. */
J1939_EXPORT int32_t J1939_API j1939_start_log(void);

#ifdef __cplusplus
}
#endif

#endif
