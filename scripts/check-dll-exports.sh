#!/usr/bin/env bash
# Checks a Windows build of the library: every RP1210 and j1939 export and DllMain is in
# the export table under its plain name, and the DLL imports system DLLs only.
#   check-dll-exports.sh OBJDUMP DLL
set -euo pipefail
objdump=$1
dll=$2
table=$("$objdump" -p "$dll")

expected=(
  RP1210_ClientConnect RP1210_ClientDisconnect RP1210_SendMessage RP1210_ReadMessage
  RP1210_SendCommand RP1210_Ioctl RP1210_ReadVersion RP1210_ReadDetailedVersion
  RP1210_GetHardwareStatus RP1210_GetErrorMsg RP1210_GetLastErrorMsg DllMain
  j1939_create_channel j1939_destroy_channel j1939_open_channel j1939_close_channel
  j1939_register_callbacks j1939_claim_address j1939_remove_address_claim j1939_write
  j1939_read j1939_set_channel_option j1939_get_channel_option
  j1939_configure_shared_address_table j1939_start_log
)

# Export names: the lines of the "[Ordinal/Name Pointer] Table" section.
exports=$(printf '%s\n' "$table" | awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^[ \t]*\[/{print $NF; next} on && NF==0{on=0}')
status=0
for name in "${expected[@]}"; do
  if ! grep -qx "$name" <<<"$exports"; then
    echo "FAIL: $dll does not export $name" >&2
    status=1
  fi
done
if grep -q '@' <<<"$exports"; then
  echo "FAIL: $dll exports decorated names: $(grep '@' <<<"$exports" | tr '\n' ' ')" >&2
  status=1
fi

imports=$(printf '%s\n' "$table" | awk '/DLL Name:/{print tolower($3)}' | sort -u)
for dll_name in $imports; do
  case "$dll_name" in
    kernel32.dll|ntdll.dll|user32.dll|advapi32.dll|msvcrt.dll|ws2_32.dll|shell32.dll|ole32.dll|api-ms-win-*) ;;
    *) echo "FAIL: $dll imports non-system DLL $dll_name" >&2; status=1 ;;
  esac
done
if [ "$status" -eq 0 ]; then
  echo "ok: $dll exports all ${#expected[@]} names and imports only: $(echo $imports)"
fi
exit $status
