#include <windows.h>

#include <process.h>

#include <functional>
#include <memory>
#include <utility>

#include "handle.hpp"
#include "platform/process.hpp"
#include "platform/thread.hpp"
#include "thread_os.hpp"

namespace platform {

namespace detail {

struct OsThread {
    win32::UniqueHandle handle;
    DWORD id = 0;
};

namespace {

unsigned __stdcall run_body(void* context) noexcept {
    const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(context));
    (*body)();  // an exception ends the process, as from a std::thread
    return 0;
}

}  // namespace

OsThread* start_os_thread(std::function<void()> body) {
    auto context = std::make_unique<std::function<void()>>(std::move(body));
    unsigned id = 0;
    // _beginthreadex rather than CreateThread: the C runtime sets up and frees its
    // per-thread data. Each thread reserves 512 KB of address space for its stack instead of
    // the executable's default (2 MB with mingw, more in some applications): a 32-bit
    // application has 2 GB in all, and 127 clients with their transmit, receive and device
    // threads ran out of it with the default. No thread of ours needs more than a few
    // hundred KB; the stack still grows page by page within the reservation.
    constexpr unsigned kStackReservation = 512 * 1024;
    const auto handle = reinterpret_cast<HANDLE>(
        ::_beginthreadex(nullptr, kStackReservation, &run_body, context.get(),
                         STACK_SIZE_PARAM_IS_A_RESERVATION, &id));
    if (handle == nullptr) {
        return nullptr;
    }
    context.release();  // the thread owns it now
    return new OsThread{win32::UniqueHandle(handle), static_cast<DWORD>(id)};
}

void join_os_thread(OsThread& thread) noexcept {
    if (::WaitForSingleObject(thread.handle.get(), INFINITE) != WAIT_OBJECT_0) {
        fatal("platform::Thread: waiting for the thread failed");
    }
}

bool is_current_os_thread(const OsThread& thread) noexcept {
    return thread.id == ::GetCurrentThreadId();
}

void OsThreadDeleter::operator()(OsThread* thread) const noexcept {
    delete thread;  // closing the handle lets a running thread go on alone
}

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
