#!/usr/bin/env bash
# Installs what the builds and tests need on a fresh Debian 12 machine (run as root).
set -euo pipefail
packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  googletest libgtest-dev libbenchmark-dev libfmt-dev libsocketcan-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine64 wine32:i386 ccache
)
# The 32-bit DLL's tests run under wine32, a package of the i386 architecture.
# (apt-get update below fetches its package lists.)
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
# The virtual machine for the SocketCAN tests: qemu, busybox, can-utils and Debian's kernel.
bash "$(dirname "$0")/vm/setup.sh"
