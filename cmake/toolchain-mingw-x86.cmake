# 32-bit Windows: the product DLL. Its tests run under wine32 (Debian's wine32:i386).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(QZ_OBJDUMP i686-w64-mingw32-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The j1939_* exports return their records as Microsoft's compiler does: the 8-byte
# records in EDX:EAX, larger ones through a hidden pointer the callee pops with its
# arguments (__stdcall). -freg-struct-return is mingw's default; it is stated here so that
# the returned records cannot silently move to memory. scripts/check-dll-exports.sh
# checks the bytes each export pops.
set(CMAKE_C_FLAGS_INIT "-freg-struct-return")
set(CMAKE_CXX_FLAGS_INIT "-freg-struct-return")
# Test binaries run under the 32-bit wine loader, in the same (64-bit, WoW64) prefix as the
# 64-bit tests, so that processes of both widths can share one simulated bus.
find_program(QZ_WINE32 NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT QZ_WINE32)
  find_program(QZ_WINE32 NAMES wine)
endif()
if(QZ_WINE32)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QZ_WINE32})
endif()
