// The exported RP1210 functions. Each one hands its arguments to the process's Api and
// never lets an exception cross the interface: a broken invariant or exhausted memory
// ends the process with a fixed message.

#include <exception>
#include <new>
#include <string>

#include "api.hpp"
#include "platform/process.hpp"
#include "qz121032/rp1210.h"

namespace {

template <class F>
auto guarded(const char* export_name, F&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        platform::fatal("Ostrel RP1210: out of memory");
    } catch (const std::exception& e) {
        const std::string message =
            std::string("Ostrel RP1210: internal error in ") + export_name + ": " + e.what();
        platform::fatal(message.c_str());
    } catch (...) {
        platform::fatal("Ostrel RP1210: internal error");
    }
}

}  // namespace

using qz121032::process_api;

extern "C" {

short RP1210_API RP1210_ClientConnect(void*, short device_id, const char* protocol,
                                      int32_t tx_buffer_size, int32_t rx_buffer_size,
                                      short is_app_packetizing_incoming) {
    return guarded("RP1210_ClientConnect", [&] {
        return process_api().client_connect(device_id, protocol, tx_buffer_size, rx_buffer_size,
                                            is_app_packetizing_incoming);
    });
}

short RP1210_API RP1210_ClientDisconnect(short client_id) {
    return guarded("RP1210_ClientDisconnect",
                   [&] { return process_api().client_disconnect(client_id); });
}

short RP1210_API RP1210_SendMessage(short client_id, const char* message, short message_size, short,
                                    short) {
    return guarded("RP1210_SendMessage",
                   [&] { return process_api().send_message(client_id, message, message_size); });
}

short RP1210_API RP1210_ReadMessage(short client_id, char* buffer, short buffer_size,
                                    short block_on_read) {
    return guarded("RP1210_ReadMessage", [&] {
        return process_api().read_message(client_id, buffer, buffer_size, block_on_read);
    });
}

short RP1210_API RP1210_SendCommand(short command_number, short client_id, char* arguments,
                                    short argument_size) {
    return guarded("RP1210_SendCommand", [&] {
        return process_api().send_command(command_number, client_id, arguments, argument_size);
    });
}

short RP1210_API RP1210_Ioctl(short client_id, int32_t ioctl_id, void*, void*) {
    return guarded("RP1210_Ioctl", [&] { return process_api().ioctl(client_id, ioctl_id); });
}

void RP1210_API RP1210_ReadVersion(char* dll_major, char* dll_minor, char* api_major,
                                   char* api_minor) {
    guarded("RP1210_ReadVersion",
            [&] { qz121032::read_version(dll_major, dll_minor, api_major, api_minor); });
}

short RP1210_API RP1210_ReadDetailedVersion(short client_id, char* api_version, char* dll_version,
                                            char* firmware_version) {
    return guarded("RP1210_ReadDetailedVersion", [&] {
        return process_api().read_detailed_version(client_id, api_version, dll_version,
                                                   firmware_version);
    });
}

short RP1210_API RP1210_GetHardwareStatus(short client_id, char* buffer, short buffer_size, short) {
    return guarded("RP1210_GetHardwareStatus", [&] {
        return process_api().get_hardware_status(client_id, buffer, buffer_size);
    });
}

short RP1210_API RP1210_GetErrorMsg(short error_code, char* description) {
    return guarded("RP1210_GetErrorMsg",
                   [&] { return qz121032::get_error_msg(error_code, description); });
}

short RP1210_API RP1210_GetLastErrorMsg(short error_code, int32_t* sub_error_code,
                                        char* description, short client_id) {
    return guarded("RP1210_GetLastErrorMsg", [&] {
        return process_api().get_last_error_msg(error_code, sub_error_code, description, client_id);
    });
}

#if defined(_WIN32)
// Only process detach acts: the driver library is unloaded and the library counts as not
// initialized. Nothing is initialised on attach. When the process terminates, the DLL's
// entry point (platform_dll_entry) returns before the C runtime calls this.
int __stdcall DllMain(void*, unsigned long reason, void* reserved) {
    constexpr unsigned long kProcessDetach = 0;
    if (reason == kProcessDetach) {
        // A non-null reserved argument: the process is terminating, not unloading the DLL.
        const bool terminating = reserved != nullptr;
        guarded("DllMain", [=] { process_api().process_detach(terminating); });
    }
    return 1;
}
#endif

}  // extern "C"

#if !defined(_WIN32)
// The counterpart of process detach on Linux: runs when the library is unloaded or the
// process exits.
__attribute__((destructor)) static void qz121032_process_detach() {
    guarded("process exit", [] { process_api().process_detach(); });
}
#endif
