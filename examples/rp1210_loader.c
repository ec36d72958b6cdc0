/* rp1210_loader: an RP1210 application's view of the library, in C.
 *
 * It does what diagnostic applications do: loads the library by name
 * (LoadLibrary("qz121032.dll"); dlopen("libqz121032.so") on Linux), looks up every RP1210_*
 * and j1939_* export with GetProcAddress and calls each through a function pointer declared
 * as an application declares it (the Windows API convention, __stdcall, for the exports;
 * __cdecl for the j1939 callbacks). It checks the results and, on x86, that the stack
 * pointer is the same after each call as before: a prototype with the wrong calling
 * convention (the caller popping arguments the export has popped already) moves it.
 *
 *   rp1210_loader [DEVICE_A DEVICE_B [J1939_CHANNEL_A J1939_CHANNEL_B]]
 *
 * DEVICE_A and DEVICE_B (default 1 and 2) are RP1210 device IDs of two channels on one bus,
 * the J1939 channels (default 0 and 1) the same two channels by number. The library's INI
 * file must describe them (examples/ostrel_qz121032.ini for the simulated interface).
 * Prints one line per call and "N calls, M failed"; exits 0 only when every call passed. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#define APP_API WINAPI /* __stdcall: the export pops its arguments */
#define APP_CALLBACK __cdecl
typedef long app_long; /* the RP1210 "long": 32 bits on Windows */
typedef HMODULE library_handle;
#define LIBRARY_NAME "qz121032.dll"
#define open_library() LoadLibraryA(LIBRARY_NAME)
#define find_export(library, name) ((void*)GetProcAddress((library), (name)))
#define close_library(library) FreeLibrary(library)
#define sleep_ms(ms) Sleep(ms)
#else
#include <dlfcn.h>
#include <time.h>
#define APP_API
#define APP_CALLBACK
typedef int32_t app_long;
typedef void* library_handle;
typedef void* HWND;
#define LIBRARY_NAME "libqz121032.so"
#define open_library() dlopen(LIBRARY_NAME, RTLD_NOW)
#define find_export(library, name) dlsym((library), (name))
#define close_library(library) dlclose(library)
static void sleep_ms(unsigned ms) {
    struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}
#endif

/* The RP1210 functions, as applications declare them. */
typedef short(APP_API* fxRP1210_ClientConnect)(HWND, short, char*, app_long, app_long, short);
typedef short(APP_API* fxRP1210_ClientDisconnect)(short);
typedef short(APP_API* fxRP1210_SendMessage)(short, char*, short, short, short);
typedef short(APP_API* fxRP1210_ReadMessage)(short, char*, short, short);
typedef short(APP_API* fxRP1210_SendCommand)(short, short, char*, short);
typedef short(APP_API* fxRP1210_Ioctl)(short, app_long, void*, void*);
typedef void(APP_API* fxRP1210_ReadVersion)(char*, char*, char*, char*);
typedef short(APP_API* fxRP1210_ReadDetailedVersion)(short, char*, char*, char*);
typedef short(APP_API* fxRP1210_GetHardwareStatus)(short, char*, short, short);
typedef short(APP_API* fxRP1210_GetErrorMsg)(short, char*);
typedef short(APP_API* fxRP1210_GetLastErrorMsg)(short, app_long*, char*, short);

/* The j1939_* functions and their records. */
typedef struct {
    uint32_t pgn;
    uint8_t priority, src_addr, dest_addr, reserved;
} Header;
typedef struct {
    int32_t status;
    uint32_t handle;
} CreateResult;
typedef struct {
    int32_t status;
    uint32_t value;
} OptionResult;
#pragma pack(push, 4)
typedef struct {
    int32_t status;
    Header header;
    uint32_t padding;
    uint64_t timestamp;
    uint32_t length;
} ReadResult;
#pragma pack(pop)

typedef void(APP_CALLBACK* fxRx)(uint32_t, uint32_t, Header, uint64_t, const uint8_t*, uint32_t,
                                 uint32_t);
typedef void(APP_CALLBACK* fxTx)(uint32_t, uint32_t, uint32_t, Header, uint64_t, uint32_t);
typedef void(APP_CALLBACK* fxAddress)(uint32_t, uint32_t, uint32_t, uint32_t);
typedef CreateResult(APP_API* fxj1939_create_channel)(uint32_t, uint32_t, uint32_t);
typedef int32_t(APP_API* fxj1939_handle_call)(uint32_t); /* destroy, open, close */
typedef int32_t(APP_API* fxj1939_register_callbacks)(uint32_t, uint32_t, fxRx, fxTx, fxAddress);
typedef int32_t(APP_API* fxj1939_claim_address)(uint32_t, uint8_t, uint32_t, uint32_t);
typedef int32_t(APP_API* fxj1939_remove_address_claim)(uint32_t, uint8_t);
typedef int32_t(APP_API* fxj1939_write)(uint32_t, Header, const uint8_t*, uint32_t, uint32_t);
typedef ReadResult(APP_API* fxj1939_read)(uint32_t, uint8_t*, uint32_t, int32_t);
typedef int32_t(APP_API* fxj1939_set_channel_option)(uint32_t, uint32_t, uint32_t);
typedef OptionResult(APP_API* fxj1939_get_channel_option)(uint32_t, uint32_t);
typedef int32_t(APP_API* fxj1939_no_arguments)(void); /* configure table, start log */

/* The stack pointer, read where the macro stands. */
#if defined(__GNUC__) && defined(__i386__)
#define READ_SP(v) __asm__ volatile("movl %%esp, %0" : "=r"(v) : : "memory")
#elif defined(__GNUC__) && defined(__x86_64__)
#define READ_SP(v) __asm__ volatile("movq %%rsp, %0" : "=r"(v) : : "memory")
#else
#define READ_SP(v) ((v) = 0)
#endif

static int calls;
static int failed;

static void report(int ok, const char* what, long value, uintptr_t sp_before, uintptr_t sp_after) {
    ++calls;
    if (sp_before != sp_after) {
        printf("FAIL %s: the stack pointer moved by %ld bytes (wrong calling convention)\n", what,
               (long)(sp_after - sp_before));
        ++failed;
    } else if (!ok) {
        printf("FAIL %s -> %ld\n", what, value);
        ++failed;
    } else {
        printf("ok   %s -> %ld\n", what, value);
    }
    fflush(stdout);
}

/* CALL(result, call, condition): makes the call, keeps its result and checks the condition
 * on `result` and the stack pointer around the call. */
#define CALL(result, call, condition)                                      \
    do {                                                                   \
        uintptr_t sp_before_, sp_after_;                                   \
        READ_SP(sp_before_);                                               \
        result = call;                                                     \
        READ_SP(sp_after_);                                                \
        report((condition), #call, (long)(result), sp_before_, sp_after_); \
    } while (0)
/* The same for a record result: `field` is the member reported. */
#define CALL_RECORD(result, call, field, condition)                              \
    do {                                                                         \
        uintptr_t sp_before_, sp_after_;                                         \
        READ_SP(sp_before_);                                                     \
        result = call;                                                           \
        READ_SP(sp_after_);                                                      \
        report((condition), #call, (long)(result).field, sp_before_, sp_after_); \
    } while (0)

/* What the callbacks saw; written on the callback thread, read after the channel closed or
 * polled as a flag. */
#define CONTEXT 0x5EED1939u
static volatile uint32_t seen_claimed;
static volatile uint32_t seen_rx_length;
static volatile uint32_t seen_rx_first;
static volatile uint32_t seen_tx_tag;
static volatile uint32_t seen_bad_context;

static void APP_CALLBACK on_rx(uint32_t handle, uint32_t context, Header header, uint64_t time,
                               const uint8_t* data, uint32_t length, uint32_t is_error) {
    (void)handle;
    (void)time;
    if (context != CONTEXT) {
        seen_bad_context = 1;
    }
    if (!is_error && header.pgn == 0xEF00 && length > 0) {
        seen_rx_first = data[0];
        seen_rx_length = length;
    }
}
static void APP_CALLBACK on_tx(uint32_t handle, uint32_t context, uint32_t tag, Header header,
                               uint64_t time, uint32_t tx_failed) {
    (void)handle;
    (void)header;
    (void)time;
    if (context != CONTEXT) {
        seen_bad_context = 1;
    }
    if (!tx_failed) {
        seen_tx_tag = tag;
    }
}
static void APP_CALLBACK on_address(uint32_t handle, uint32_t context, uint32_t address,
                                    uint32_t claimed) {
    (void)handle;
    if (context != CONTEXT) {
        seen_bad_context = 1;
    }
    if (claimed && address == 0x81) {
        seen_claimed = 1;
    }
}

/* Waits up to 10 s for a flag a callback sets. */
static int wait_for(volatile uint32_t* flag) {
    for (int i = 0; i < 1000 && !*flag; ++i) {
        sleep_ms(10);
    }
    return *flag != 0;
}

#define LOOK_UP(type, name)                             \
    type name = (type)find_export(library, #name);      \
    ++calls;                                            \
    if (!name) {                                        \
        printf("FAIL GetProcAddress(\"%s\")\n", #name); \
        ++failed;                                       \
    }

int main(int argc, char** argv) {
    const short device_a = (short)(argc > 2 ? atoi(argv[1]) : 1);
    const short device_b = (short)(argc > 2 ? atoi(argv[2]) : 2);
    const uint32_t channel_a = (uint32_t)(argc > 4 ? atoi(argv[3]) : 0);
    const uint32_t channel_b = (uint32_t)(argc > 4 ? atoi(argv[4]) : 1);

    library_handle library = open_library();
    if (!library) {
        printf("FAIL cannot load %s\n", LIBRARY_NAME);
        printf("1 calls, 1 failed\n");
        return 1;
    }
    LOOK_UP(fxRP1210_ClientConnect, RP1210_ClientConnect)
    LOOK_UP(fxRP1210_ClientDisconnect, RP1210_ClientDisconnect)
    LOOK_UP(fxRP1210_SendMessage, RP1210_SendMessage)
    LOOK_UP(fxRP1210_ReadMessage, RP1210_ReadMessage)
    LOOK_UP(fxRP1210_SendCommand, RP1210_SendCommand)
    LOOK_UP(fxRP1210_Ioctl, RP1210_Ioctl)
    LOOK_UP(fxRP1210_ReadVersion, RP1210_ReadVersion)
    LOOK_UP(fxRP1210_ReadDetailedVersion, RP1210_ReadDetailedVersion)
    LOOK_UP(fxRP1210_GetHardwareStatus, RP1210_GetHardwareStatus)
    LOOK_UP(fxRP1210_GetErrorMsg, RP1210_GetErrorMsg)
    LOOK_UP(fxRP1210_GetLastErrorMsg, RP1210_GetLastErrorMsg)
    LOOK_UP(fxj1939_create_channel, j1939_create_channel)
    LOOK_UP(fxj1939_handle_call, j1939_destroy_channel)
    LOOK_UP(fxj1939_handle_call, j1939_open_channel)
    LOOK_UP(fxj1939_handle_call, j1939_close_channel)
    LOOK_UP(fxj1939_register_callbacks, j1939_register_callbacks)
    LOOK_UP(fxj1939_claim_address, j1939_claim_address)
    LOOK_UP(fxj1939_remove_address_claim, j1939_remove_address_claim)
    LOOK_UP(fxj1939_write, j1939_write)
    LOOK_UP(fxj1939_read, j1939_read)
    LOOK_UP(fxj1939_set_channel_option, j1939_set_channel_option)
    LOOK_UP(fxj1939_get_channel_option, j1939_get_channel_option)
    LOOK_UP(fxj1939_no_arguments, j1939_configure_shared_address_table)
    LOOK_UP(fxj1939_no_arguments, j1939_start_log)
    if (failed) {
        printf("%d calls, %d failed\n", calls, failed);
        return 1;
    }

    short r;
    int32_t s;
    char text[256];

    /* Versions and error texts need no client. */
    {
        char major[8] = "", minor[8] = "", api_major[8] = "", api_minor[8] = "";
        uintptr_t before, after;
        READ_SP(before);
        RP1210_ReadVersion(major, minor, api_major, api_minor);
        READ_SP(after);
        report(major[0] != 0 && api_major[0] != 0, "RP1210_ReadVersion(...)", 0, before, after);
    }
    CALL(r, RP1210_GetErrorMsg(134, text), r == 0 && text[0] != 0);

    /* Two CAN clients on two channels of one bus: A sends, B reads what A sent. */
    short a, b;
    CALL(a, RP1210_ClientConnect(NULL, device_a, "CAN:Baud=500", 0, 0, 0), a >= 0 && a < 128);
    CALL(b, RP1210_ClientConnect(NULL, device_b, "CAN:Baud=500", 0, 0, 0), b >= 0 && b < 128);
    CALL(r, RP1210_SendCommand(3, b, NULL, 0), r == 0); /* Set_All_Filters_States_to_Pass */
    {
        char echo_on = 1;
        CALL(r, RP1210_SendCommand(16, a, &echo_on, 1), r == 0); /* echo A's own messages */
        CALL(r, RP1210_SendCommand(3, a, NULL, 0), r == 0);
    }
    char frame[] = {1, 0x18, (char)0xEF, 0x25, (char)0x80, 0x11, 0x22, 0x33}; /* extended */
    CALL(r, RP1210_SendMessage(a, frame, (short)sizeof frame, 0, 1), r == 0);
    char buffer[64];
    /* B: 4 bytes of time stamp, then the frame as sent. */
    CALL(r, RP1210_ReadMessage(b, buffer, (short)sizeof buffer, 1),
         r == 4 + (short)sizeof frame && memcmp(buffer + 4, frame, sizeof frame) == 0);
    /* A: its own frame back, with the echo byte 1 after the time stamp. */
    CALL(r, RP1210_ReadMessage(a, buffer, (short)sizeof buffer, 1),
         r == 5 + (short)sizeof frame && buffer[4] == 1 &&
             memcmp(buffer + 5, frame, sizeof frame) == 0);
    CALL(r, RP1210_ReadMessage(b, buffer, (short)sizeof buffer, 0), r == 0); /* nothing more */
    {
        char api_version[17], dll_version[17], firmware[17];
        CALL(r, RP1210_ReadDetailedVersion(a, api_version, dll_version, firmware), r == 0);
    }
    CALL(r, RP1210_GetHardwareStatus(a, buffer, 64, 0), r == 0);
    CALL(r, RP1210_Ioctl(a, 1, NULL, NULL), r > 127); /* no such ioctl: an error code */
    {
        app_long sub_error = 0;
        CALL(r, RP1210_GetLastErrorMsg(r, &sub_error, text, a), r == 0 && text[0] != 0);
    }
    CALL(r, RP1210_ClientDisconnect(b), r == 0);
    CALL(r, RP1210_ClientDisconnect(a), r == 0);
    CALL(r, RP1210_ClientDisconnect(a), r > 127); /* gone: an error code */

    /* The J1939 interface: the RP1210 connects above configured the shared table already. */
    CALL(s, j1939_configure_shared_address_table(), s == -1);
    CALL(s, j1939_start_log(), s == 0 || s == -1);
    CreateResult ca, cb;
    CALL_RECORD(ca, j1939_create_channel(channel_a, 0, 250000), status, ca.status == 0);
    CALL_RECORD(cb, j1939_create_channel(channel_b, 0, 250000), status, cb.status == 0);
    CALL(s, j1939_register_callbacks(ca.handle, CONTEXT, on_rx, on_tx, on_address), s == 0);
    CALL(s, j1939_set_channel_option(cb.handle, 4, 16), s == 0); /* 16 packets per CTS */
    OptionResult option;
    CALL_RECORD(option, j1939_get_channel_option(cb.handle, 4), value,
                option.status == 0 && option.value == 16);
    CALL(s, j1939_open_channel(ca.handle), s == 0);
    CALL(s, j1939_open_channel(cb.handle), s == 0);
    CALL(s, j1939_claim_address(ca.handle, 0x81, 0x00000081u, 0x80008200u), s == 0);
    CALL(s, j1939_claim_address(cb.handle, 0x82, 0x00000082u, 0x80008200u), s == 0);
    report(wait_for(&seen_claimed), "address callback: 0x81 claimed", 0, 0, 0);

    /* B reads until its own claim holds (a transfer needs it), then A sends B 100 bytes by
     * RTS/CTS with a tag, and B sends A 9 bytes. */
    uint8_t data[1785];
    ReadResult got;
    Header to_b = {0xEF00, 6, 0x81, 0x82, 0};
    Header to_a = {0xEF00, 6, 0x82, 0x81, 0};
    for (int i = 0; i < 100; ++i) {
        got = j1939_read(cb.handle, data, sizeof data, 0);
        s = j1939_write(cb.handle, to_a, data, 9, 0); /* refused until 0x82 is claimed */
        if (s == 0) {
            break;
        }
        sleep_ms(10);
    }
    report(s == 0, "j1939_write(B -> A, 9 bytes, once 0x82 holds)", s, 0, 0);
    for (uint32_t i = 0; i < 100; ++i) {
        data[i] = (uint8_t)(i * 7);
    }
    CALL(s, j1939_write(ca.handle, to_b, data, 100, 0x7A6), s == 0);
    memset(data, 0, sizeof data);
    for (int i = 0; i < 50; ++i) {
        CALL_RECORD(got, j1939_read(cb.handle, data, sizeof data, 200), status,
                    got.status == 0 || got.status == -5);
        if (got.status == 0 && got.header.pgn == 0xEF00) {
            break;
        }
    }
    /* (A transfer arrives with the priority of its announcement, not of the message.) */
    report(got.status == 0 && got.length == 100 && got.header.src_addr == 0x81 &&
               got.header.dest_addr == 0x82 && data[99] == (uint8_t)(99 * 7),
           "j1939_read: the 100-byte transfer from A, byte-exact", (long)got.length, 0, 0);
    report(wait_for(&seen_tx_tag) && seen_tx_tag == 0x7A6, "tx callback with the tag", 0, 0, 0);
    report(wait_for(&seen_rx_length) && seen_rx_length == 9, "rx callback: B's 9 bytes", 0, 0, 0);
    CALL(s, j1939_remove_address_claim(cb.handle, 0x82), s == 0);
    CALL(s, j1939_close_channel(ca.handle), s == 0);
    CALL(s, j1939_close_channel(cb.handle), s == 0);
    CALL(s, j1939_destroy_channel(ca.handle), s == 0);
    CALL(s, j1939_destroy_channel(cb.handle), s == 0);
    CALL(s, j1939_destroy_channel(cb.handle), s == -2);
    report(!seen_bad_context, "callbacks got their context", 0, 0, 0);

    close_library(library);
    printf("%d calls, %d failed\n", calls, failed);
    return failed == 0 ? 0 : 1;
}
