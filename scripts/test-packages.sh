#!/usr/bin/env bash
# Builds the packages (scripts/package.sh) and tests them as a user installs them:
#   Linux:   dpkg -i of both .deb files; `rp1210 devices` and a connect from another
#            directory; a C program built with pkg-config and one with find_package, both
#            run against the simulated driver; dpkg -r removes every file, --purge the INI;
#            then the SocketCAN driver in the simulator's place, which it refuses beside it.
#   Windows: the installer under wine in a fresh 64-bit prefix of its own: a silent install
#            beside two other makers' names in RP121032.INI, the 32-bit rp1210.exe run from
#            another directory loads qz121032.dll by name and connects through the
#            simulated driver, a second install leaves one entry, the uninstaller removes
#            our name and files and keeps the user's edited qz121032.ini and a real
#            driver's tarnlib32.dll.
# Leaves the machine as it found it (the packages removed, the prefix's wineserver ended).
# Run as root on Debian 12; installs what it needs. Ends with "N passed, M failed".
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/packages
log=$root/build/test-logs
mkdir -p "$log"

# --- what the tests need ------------------------------------------------------------
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
need=()
for p in nsis dpkg-dev pkg-config gcc cmake wine wine64 wine32:i386; do
  dpkg -s "$p" >/dev/null 2>&1 || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing: ${need[*]}"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${need[@]}" || exit 1
fi

bash scripts/package.sh >"$log/package.log" 2>&1 || { tail -n 40 "$log/package.log"; echo "0 passed, 1 failed"; exit 1; }
version=$(sed -n 's/^project(ostrel_rp1210 VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

passed=0
failed=0
check() {  # check DESCRIPTION COMMAND...: one expectation
  if "${@:2}"; then
    passed=$((passed + 1)); echo "   ok: $1"
  else
    failed=$((failed + 1)); echo "   FAILED: $1"
  fi
}
contains() { grep -qF -- "$2" "$1"; }    # contains FILE TEXT
absent() { [ ! -e "$1" ]; }

work=$(mktemp -d /tmp/qz121032-packages.XXXXXX)

# --- Linux ------------------------------------------------------------------------
echo "== Debian packages"
# present PACKAGE: installed, or removed with its configuration files left. (dpkg -s also
# knows a package whose installation was refused, as "not-installed".)
present() {
  case $(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null) in
    installed | config-files | half-installed | unpacked | half-configured) return 0 ;;
    *) return 1 ;;
  esac
}
if present qz121032 || present qz121032-tarnsim || present qz121032-socketcan \
   || [ -e /etc/qz121032.ini ]; then
  echo "   qz121032 is installed on this machine already: the Debian tests would change it"
  failed=$((failed + 1))
else
  linux_cleanup() { dpkg --purge qz121032 qz121032-tarnsim >/dev/null 2>&1; }
  trap linux_cleanup EXIT
  dpkg -i "$out/qz121032_${version}_amd64.deb" "$out/qz121032-tarnsim_${version}_amd64.deb" >"$log/packages-dpkg.log" 2>&1
  check "dpkg -i" [ $? -eq 0 ]
  dpkg -L qz121032 qz121032-tarnsim | sort -u >"$work/files"
  check "/etc/qz121032.ini is a conffile" contains /var/lib/dpkg/info/qz121032.conffiles /etc/qz121032.ini
  mkdir -p "$work/elsewhere"
  (cd "$work/elsewhere" && env -u TARNSIM_CONFIG rp1210 devices) >"$work/devices.txt" 2>&1
  check "rp1210 devices from another directory" contains "$work/devices.txt" \
    "  1  73-30130-12345-6/10001/1"
  check "rp1210 devices reads /etc/qz121032.ini" contains "$work/devices.txt" "INI file: /etc/qz121032.ini"
  (cd "$work/elsewhere" && env -u TARNSIM_CONFIG rp1210 info -d 1 -p CAN:Baud=500) >"$work/info.txt" 2>&1
  check "rp1210 info connects through the installed library" contains "$work/info.txt" "RP1210_ReadVersion"
  rp1210 --help >"$work/help.txt" 2>&1
  check "rp1210 --help" contains "$work/help.txt" "usage: rp1210"

  cat >"$work/pc.c" <<'C'
#include <stdio.h>
#include <qz121032/rp1210.h>
int main(void) {
    char major[8], minor[8], api_major[8], api_minor[8];
    RP1210_ReadVersion(major, minor, api_major, api_minor);
    short client = RP1210_ClientConnect(NULL, 1, "CAN:Baud=500", 0, 0, 0);
    printf("version %s.%s client %d\n", major, minor, client);
    return client >= 1 && client <= 127 && RP1210_ClientDisconnect(client) == 0 ? 0 : 1;
}
C
  # shellcheck disable=SC2046
  check "a C program builds with pkg-config" gcc -Wall -o "$work/pc" "$work/pc.c" $(pkg-config --cflags --libs qz121032)
  (cd "$work/elsewhere" && env -u TARNSIM_CONFIG "$work/pc") >"$work/pc.txt" 2>&1
  check "it connects a client" contains "$work/pc.txt" " client 1"

  mkdir -p "$work/cm"
  cat >"$work/cm/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.25)
project(uses_qz121032 C)
find_package(qz121032 6 REQUIRED)
add_executable(uses_qz121032 main.c)
target_link_libraries(uses_qz121032 PRIVATE qz121032::qz121032)
CM
  cat >"$work/cm/main.c" <<'C'
#include <stdio.h>
#include <qz121032/rp1210.h>
#include <qzj1939lib/j1939.h>
int main(void) {
    J1939CreateResult created = j1939_create_channel(0, 0, 250000);
    printf("j1939 channel status %d\n", (int)created.status);
    if (created.status != J1939_OK) return 1;
    return j1939_destroy_channel(created.handle) == J1939_OK ? 0 : 1;
}
C
  check "a C program builds with find_package" bash -c \
    "cmake -S '$work/cm' -B '$work/cm/build' >'$work/cm.log' 2>&1 && cmake --build '$work/cm/build' >>'$work/cm.log' 2>&1"
  (cd "$work/elsewhere" && env -u TARNSIM_CONFIG "$work/cm/build/uses_qz121032") >"$work/cm.txt" 2>&1
  check "it opens a J1939 channel" contains "$work/cm.txt" "j1939 channel status 0"

  dpkg -r qz121032 qz121032-tarnsim >>"$log/packages-dpkg.log" 2>&1
  check "dpkg -r" [ $? -eq 0 ]
  left=$(while read -r f; do [ -f "$f" ] && echo "$f"; done <"$work/files")
  check "dpkg -r removed every file but the conffile" [ "$left" = /etc/qz121032.ini ]
  check "dpkg --purge removes the conffile" bash -c "dpkg --purge qz121032 qz121032-tarnsim >/dev/null && [ ! -e /etc/qz121032.ini ]"

  # The SocketCAN driver in the simulator's place: the library finds it by name, and this
  # machine's kernel has no CAN interfaces to list.
  linux_cleanup() { dpkg --purge qz121032 qz121032-tarnsim qz121032-socketcan >/dev/null 2>&1; }
  dpkg -i "$out/qz121032_${version}_amd64.deb" "$out/qz121032-socketcan_${version}_amd64.deb" >>"$log/packages-dpkg.log" 2>&1
  check "dpkg -i with the SocketCAN driver" [ $? -eq 0 ]
  (cd "$work/elsewhere" && rp1210 devices) >"$work/devices-socketcan.txt" 2>&1
  check "rp1210 devices on the SocketCAN driver" bash -c \
    "grep -A1 'channels reported by the CAN driver:' '$work/devices-socketcan.txt' | grep -qx '  none'"
  ! dpkg -i "$out/qz121032-tarnsim_${version}_amd64.deb" >>"$log/packages-dpkg.log" 2>&1
  check "the simulated driver is refused beside it" [ $? -eq 0 ]
  # The refused package stays known to dpkg as selected but not installed: forget it.
  echo "qz121032-tarnsim purge" | dpkg --set-selections && dpkg --purge qz121032-tarnsim >/dev/null 2>&1
  check "dpkg --purge of the SocketCAN driver" bash -c \
    "dpkg --purge qz121032-socketcan qz121032 >>'$log/packages-dpkg.log' 2>&1 && [ ! -e /usr/lib/x86_64-linux-gnu/libtarnlib32.so ]"
  trap - EXIT
fi

# --- Windows (wine) -----------------------------------------------------------------
echo "== Windows installer under wine"
export WINEPREFIX=$out/wineprefix-installer WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine_cleanup() { wineserver -k >/dev/null 2>&1; }
trap wine_cleanup EXIT
wineserver -k >/dev/null 2>&1
rm -rf "$WINEPREFIX"
# Nothing of wine keeps this script's output open: every wine program writes to a file.
/usr/lib/wine/wine64 wineboot --init >"$log/installer-wineboot.log" 2>&1
wineserver -w
win=$WINEPREFIX/drive_c/windows
setup=$out/qz121032-$version-setup.exe
progdir="$WINEPREFIX/drive_c/Program Files (x86)/Ostrel/qz121032"

# Two other makers listed, a comment, another section; CR LF as Windows writes it.
printf '; installed RP1210 adapters\r\n[RP1210Support]\r\nAPIImplementations=ACME32,NEXIQ2\r\n\r\n[Other]\r\nKey=value\r\n' >"$win/RP121032.INI"
cp "$win/RP121032.INI" "$work/RP121032.orig"
printf '[VendorInformation]\r\nName=Acme\r\n' >"$win/ACME32.INI"
printf 'not a real dll\n' >"$win/syswow64/ACME32.dll"
printf '; installed RP1210 adapters\r\n[RP1210Support]\r\nAPIImplementations=ACME32,NEXIQ2,qz121032\r\n\r\n[Other]\r\nKey=value\r\n' >"$work/RP121032.expected"

wine "$setup" /S /SIMULATOR >"$log/installer-install.log" 2>&1
check "silent install exits with 0" [ $? -eq 0 ]
wineserver -w
check "RP121032.INI: the others unchanged plus qz121032" cmp -s "$win/RP121032.INI" "$work/RP121032.expected"
check "32-bit DLL in SysWOW64" bash -c "i686-w64-mingw32-objdump -f '$win/syswow64/qz121032.dll' | grep -q 'file format pei-i386'"
check "64-bit DLL in System32" bash -c "x86_64-w64-mingw32-objdump -f '$win/system32/qz121032.dll' | grep -q 'file format pei-x86-64'"
check "simulated driver in both" bash -c "[ -f '$win/syswow64/tarnlib32.dll' ] && [ -f '$win/system32/tarnlib32.dll' ]"
check "qz121032.ini in the Windows directory" cmp -s "$win/qz121032.ini" examples/ostrel_qz121032.ini
check "tools under Program Files" bash -c "[ -f '$progdir/bin/rp1210.exe' ] && [ -f '$progdir/uninstall.exe' ]"

# An application in another directory: rp1210.exe alone there, the DLL found by name.
mkdir -p "$WINEPREFIX/drive_c/app"
cp "$progdir/bin/rp1210.exe" "$WINEPREFIX/drive_c/app/"
(cd "$WINEPREFIX/drive_c/users" && wine 'C:\app\rp1210.exe' --library qz121032.dll info -d 1 -p CAN:Baud=500) \
  >"$work/wine-info.txt" 2>&1
check "rp1210.exe loads qz121032.dll by name and connects" contains "$work/wine-info.txt" \
  "RP1210_ReadDetailedVersion: API 4.0, DLL $version, firmware"
# The installed rp1210.exe, nothing beside it: by name too, a J1939 client on channel 2.
(cd "$WINEPREFIX/drive_c/users" && wine 'C:\Program Files (x86)\Ostrel\qz121032\bin\rp1210.exe' info -d 2 -p J1939:Baud=250) \
  >"$work/wine-info2.txt" 2>&1
check "installed rp1210.exe connects a J1939 client" contains "$work/wine-info2.txt" "client 1 on device 2, protocol J1939:Baud=250"

wine "$setup" /S /SIMULATOR >"$log/installer-install2.log" 2>&1
wineserver -w
check "second install: one entry" cmp -s "$win/RP121032.INI" "$work/RP121032.expected"

printf '; changed by the user\r\n' >>"$win/qz121032.ini"
cp "$win/qz121032.ini" "$work/qz121032.edited"
wine "$progdir/uninstall.exe" /S >"$log/installer-uninstall.log" 2>&1
wineserver -w   # the uninstaller runs from a copy of itself: wait for it
check "uninstall: RP121032.INI as it was" cmp -s "$win/RP121032.INI" "$work/RP121032.orig"
check "uninstall: our DLLs gone" bash -c "for f in syswow64/qz121032.dll system32/qz121032.dll syswow64/tarnlib32.dll system32/tarnlib32.dll; do [ ! -e '$win/'\$f ] || exit 1; done"
check "uninstall: the user's qz121032.ini kept" cmp -s "$win/qz121032.ini" "$work/qz121032.edited"
check "uninstall: the other maker's files kept" bash -c "[ -f '$win/ACME32.INI' ] && [ -f '$win/syswow64/ACME32.dll' ]"
check "uninstall: Program Files directory gone" absent "$progdir"

# A real driver in place: the simulator does not replace it and the uninstaller keeps it;
# an unchanged qz121032.ini that the installer put there goes with it.
rm -f "$win/qz121032.ini"
printf 'real driver\n' >"$win/syswow64/tarnlib32.dll"
wine "$setup" /S /SIMULATOR >"$log/installer-install3.log" 2>&1
wineserver -w
check "a driver in place is not replaced" bash -c "[ \"\$(cat '$win/syswow64/tarnlib32.dll')\" = 'real driver' ]"
wine "$progdir/uninstall.exe" /S >"$log/installer-uninstall2.log" 2>&1
wineserver -w
check "uninstall keeps that driver" bash -c "[ \"\$(cat '$win/syswow64/tarnlib32.dll')\" = 'real driver' ]"
check "uninstall removes an unchanged qz121032.ini it installed" absent "$win/qz121032.ini"
check "uninstall: RP121032.INI as it was, again" cmp -s "$win/RP121032.INI" "$work/RP121032.orig"

wineserver -k >/dev/null 2>&1
trap - EXIT
if [ "$failed" -gt 0 ]; then
  # What the programs printed, for the failed checks.
  for f in "$work"/*.txt "$work"/*.log; do
    [ -f "$f" ] && { echo "--- $f"; cat "$f"; }
  done
fi
rm -rf "$work"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
