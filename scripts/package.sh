#!/usr/bin/env bash
# Builds the install packages into build/packages/:
#   qz121032_VERSION_amd64.deb, qz121032-tarnsim_VERSION_amd64.deb,
#   qz121032-socketcan_VERSION_amd64.deb                              (Linux, CPack DEB)
#   qz121032-VERSION-setup.exe                                       (Windows, NSIS)
# from the presets linux-package, mingw-x86 (the 32-bit DLL, the tools) and mingw-x64 (the
# 64-bit DLL). Installs what it needs on a fresh Debian 12 machine (run as root).
# docs/install.md describes the packages.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh
need=()
for p in nsis dpkg-dev; do
  dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing: ${need[*]}"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}"
fi

jobs=$(nproc)
out=$root/build/packages
version=$(sed -n 's/^project(ostrel_rp1210 VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
mkdir -p "$out"

echo "== Linux: build/linux-package, cpack"
cmake --preset linux-package >/dev/null
cmake --build --preset linux-package -j "$jobs"
rm -rf build/linux-package/packages
(cd build/linux-package && cpack -G DEB)
cp build/linux-package/packages/*.deb "$out/"

echo "== Windows: build/mingw-x86, build/mingw-x64, makensis"
# Only the installed programs: the presets' test suites are stages of scripts/test.sh.
cmake --preset mingw-x86 >/dev/null
cmake --build --preset mingw-x86 -j "$jobs" \
  --target qz121032 tarnsim rp1210 rp1210-ini j1939_listen tarnsim-node
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64 -j "$jobs" --target qz121032 tarnsim
# The installed files without their debug information (the builds keep it).
stage=$out/stage-win32
stage64=$out/stage-win64
rm -rf "$stage" "$stage64"
cmake --install build/mingw-x86 --prefix "$stage" --strip >/dev/null
mkdir -p "$stage64"
for dll in qz121032.dll tarnlib32.dll; do
  x86_64-w64-mingw32-strip -o "$stage64/$dll" "build/mingw-x64/bin/$dll"
done
makensis -V2 -DVERSION="$version" -DSOURCE="$root" -DWIN32_STAGE="$stage" \
  -DWIN64_BIN="$stage64" -DOUTFILE="$out/qz121032-$version-setup.exe" \
  packaging/windows/qz121032.nsi

echo "== packages in build/packages:"
ls -l "$out"/*.deb "$out"/*.exe
