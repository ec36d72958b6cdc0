// The entry point of this project's DLLs: the C runtime's own, except when the process
// ends. By then the system has stopped every other thread wherever it was, perhaps inside
// the runtime's thread-local-storage bookkeeping (the pthread emulation of mingw-w64) with
// its locks held, and the runtime's clean-up (static destructors, deleting its thread-local
// keys) would wait for those locks for ever. The system reclaims the memory and handles of
// the process itself; an unload while the process goes on (FreeLibrary) still cleans up.
//
// Linked with --entry; see platform_dll_entry() in the top-level CMakeLists.txt.

#include <windows.h>

extern "C" BOOL WINAPI DllMainCRTStartup(HANDLE module, DWORD reason, LPVOID reserved);

extern "C" BOOL WINAPI platform_dll_entry(HANDLE module, DWORD reason, LPVOID reserved) {
    // A non-null reserved argument at process detach: the process is terminating.
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
        return TRUE;
    }
    return DllMainCRTStartup(module, reason, reserved);
}
