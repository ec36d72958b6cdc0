// Linked into every Windows test binary: a crash ends the process with a failure.
//
// Without a filter of its own, a process that crashes under wine is handed to wine's
// automatic debugger, which prints a backtrace and ends the process with exit code 0, so a
// test whose child crashed (or that crashed after its last assertion) would pass. This
// filter prints the exception and the stack as module+offset (for addr2line) and ends the
// process with the exception code. It allocates nothing: the heap may be what broke.

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace {

// A line built in a fixed buffer.
class Line {
  public:
    Line& text(const char* s) noexcept {
        while (*s != '\0' && size_ < sizeof buffer_) {
            buffer_[size_++] = *s++;
        }
        return *this;
    }
    Line& hex(std::uint64_t value) noexcept { return text("0x").number(value, 16); }
    Line& decimal(std::uint64_t value) noexcept { return number(value, 10); }
    void write() noexcept {
        text("\n");
        DWORD written = 0;
        ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), buffer_, static_cast<DWORD>(size_), &written,
                    nullptr);
    }

  private:
    Line& number(std::uint64_t value, unsigned base) noexcept {
        char digits[20];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0);
        while (count > 0 && size_ < sizeof buffer_) {
            buffer_[size_++] = digits[--count];
        }
        return *this;
    }

    char buffer_[400];
    std::size_t size_ = 0;
};

// "module+0xoffset" for a code address.
void append_location(Line& line, DWORD64 address) noexcept {
    HMODULE module = nullptr;
    char path[MAX_PATH];
    if (::GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(address), &module) &&
        ::GetModuleFileNameA(module, path, sizeof path) != 0) {
        const char* base = path;
        for (const char* p = path; *p != '\0'; ++p) {
            if (*p == '\\' || *p == '/') {
                base = p + 1;
            }
        }
        line.text(base).text("+").hex(address - reinterpret_cast<DWORD64>(module));
    } else {
        line.hex(address);
    }
}

LONG WINAPI crash_exit(EXCEPTION_POINTERS* info) {
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    Line()
        .text("crash: exception ")
        .hex(code)
        .text(" in thread ")
        .hex(::GetCurrentThreadId())
        .write();
#if defined(_M_X64) || defined(__x86_64__)
    // Unwind from the faulting frame.
    CONTEXT context = *info->ContextRecord;
    for (int frame = 0; frame < 32 && context.Rip != 0; ++frame) {
        Line line;
        line.text("  #").decimal(static_cast<std::uint64_t>(frame)).text(" ");
        append_location(line, context.Rip);
        line.write();
        DWORD64 image_base = 0;
        RUNTIME_FUNCTION* function = ::RtlLookupFunctionEntry(context.Rip, &image_base, nullptr);
        if (function == nullptr) {
            // A leaf function: the return address is on top of the stack.
            context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
            context.Rsp += 8;
            continue;
        }
        void* handler_data = nullptr;
        DWORD64 establisher = 0;
        ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, image_base, context.Rip, function, &context,
                           &handler_data, &establisher, nullptr);
    }
#else
    // 32-bit code built without frame pointers cannot be unwound without its debug
    // information: the faulting address, then the words on the stack that point into a
    // loaded module (return addresses, and now and then a stale one), nearest first.
    Line line;
    line.text("  at ");
    append_location(line, reinterpret_cast<DWORD64>(info->ExceptionRecord->ExceptionAddress));
    line.write();
    const auto* word = reinterpret_cast<const DWORD*>(info->ContextRecord->Esp);
    const auto* stack_base = reinterpret_cast<const DWORD*>(
        reinterpret_cast<const NT_TIB*>(::NtCurrentTeb())->StackBase);
    for (int found = 0, scanned = 0; found < 24 && scanned < 2048 && word < stack_base;
         ++scanned, ++word) {
        HMODULE module = nullptr;
        if (*word > 0x10000 &&
            ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                     GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCSTR>(static_cast<std::uintptr_t>(*word)),
                                 &module)) {
            Line candidate;
            candidate.text("  ? ");
            append_location(candidate, *word);
            candidate.write();
            ++found;
        }
    }
#endif
    // No clean-up of any kind: the process is broken.
    ::TerminateProcess(::GetCurrentProcess(), code != 0 ? code : 1);
    return EXCEPTION_EXECUTE_HANDLER;
}

[[maybe_unused]] const bool installed = [] {
    ::SetUnhandledExceptionFilter(&crash_exit);
    // No error dialog boxes either: a test that hangs in one would wait for its timeout.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    return true;
}();

}  // namespace
