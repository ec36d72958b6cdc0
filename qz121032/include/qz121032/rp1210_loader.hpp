#pragma once
// Loads the RP1210 library at run time, the way applications do, and resolves its
// exports by their undecorated names.

#include <string>

#include "platform/dynamic_library.hpp"
#include "platform/expected.hpp"
#include "qz121032/rp1210.h"

namespace qz121032 {

struct Rp1210Library {
    platform::DynamicLibrary library;
    RP1210_ClientConnect_fn ClientConnect = nullptr;
    RP1210_ClientDisconnect_fn ClientDisconnect = nullptr;
    RP1210_SendMessage_fn SendMessage = nullptr;
    RP1210_ReadMessage_fn ReadMessage = nullptr;
    RP1210_SendCommand_fn SendCommand = nullptr;
    RP1210_Ioctl_fn Ioctl = nullptr;
    RP1210_ReadVersion_fn ReadVersion = nullptr;
    RP1210_ReadDetailedVersion_fn ReadDetailedVersion = nullptr;
    RP1210_GetHardwareStatus_fn GetHardwareStatus = nullptr;
    RP1210_GetErrorMsg_fn GetErrorMsg = nullptr;
    RP1210_GetLastErrorMsg_fn GetLastErrorMsg = nullptr;

    // Loads the library and resolves every export; the error names what is missing.
    static platform::Expected<Rp1210Library, std::string> load(const std::string& path) {
        auto library = platform::DynamicLibrary::open(path);
        if (!library) {
            return platform::unexpected("cannot load " + path + ": " + library.error().what);
        }
        Rp1210Library api{std::move(library.value())};
        std::string missing;
        auto resolve = [&](auto& fn, const char* name) {
            fn = api.library.function<std::remove_reference_t<decltype(fn)>>(name);
            if (fn == nullptr) {
                missing += missing.empty() ? name : std::string(", ") + name;
            }
        };
        resolve(api.ClientConnect, "RP1210_ClientConnect");
        resolve(api.ClientDisconnect, "RP1210_ClientDisconnect");
        resolve(api.SendMessage, "RP1210_SendMessage");
        resolve(api.ReadMessage, "RP1210_ReadMessage");
        resolve(api.SendCommand, "RP1210_SendCommand");
        resolve(api.Ioctl, "RP1210_Ioctl");
        resolve(api.ReadVersion, "RP1210_ReadVersion");
        resolve(api.ReadDetailedVersion, "RP1210_ReadDetailedVersion");
        resolve(api.GetHardwareStatus, "RP1210_GetHardwareStatus");
        resolve(api.GetErrorMsg, "RP1210_GetErrorMsg");
        resolve(api.GetLastErrorMsg, "RP1210_GetLastErrorMsg");
        if (!missing.empty()) {
            return platform::unexpected(path + " lacks exports: " + missing);
        }
        return api;
    }
};

// The library's file name on this platform: qz121032.dll or libqz121032.so.
inline std::string rp1210_library_file_name() {
    return platform::shared_library_file_name("qz121032");
}

}  // namespace qz121032
