#!/usr/bin/env bash
# The main job: builds the library for Linux and the product DLL for 32-bit Windows, then
# loads the built library the way an application does and shows what it answers.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
echo "== building (Linux, and the 32-bit Windows DLL)"
cmake --preset linux-debug >/dev/null
cmake --build --preset linux-debug -j "$jobs" --target qz121032 rp1210 >/dev/null
cmake --preset mingw-x86 >/dev/null
cmake --build --preset mingw-x86 -j "$jobs" --target qz121032 >/dev/null
ls -l build/linux-debug/bin/libqz121032.so build/mingw-x86/bin/qz121032.dll
bin=build/linux-debug/bin
echo "== rp1210 version"
"$bin/rp1210" version
echo "== rp1210 errors 128 134 141 154"
"$bin/rp1210" errors 128 134 141 154
