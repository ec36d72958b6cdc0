#include <windows.h>

#include "handle.hpp"
#include "platform/thread.hpp"
#include "thread_os.hpp"

namespace platform {

namespace detail {

void set_os_thread_name(const std::string& name) noexcept {
    // SetThreadDescription exists from Windows 10 1607 on; older systems, older mingw
    // headers and some wine versions lack it, so it is looked up at run time.
    using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const SetThreadDescriptionFn set_description =
        win32::resolve<SetThreadDescriptionFn>(L"kernel32.dll", "SetThreadDescription");
    if (set_description == nullptr) {
        return;
    }
    const int length = ::MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0);
    if (length <= 0) {
        return;
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, wide.data(), length);
    set_description(::GetCurrentThread(), wide.c_str());
}

}  // namespace detail

bool raise_current_thread_priority() noexcept {
    // The top of the process's priority class: timer and receive threads wait most of the
    // time and must run at once when their moment comes.
    return ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) != 0;
}

}  // namespace platform
