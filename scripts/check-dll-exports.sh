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

# The 32-bit DLL: every j1939 export is __stdcall, so it pops its own arguments, and its
# records come back as Microsoft's compiler returns them: the 8-byte ones in EDX:EAX (no
# hidden pointer: the pop count is the arguments alone), J1939ReadResult through a hidden
# result pointer the callee pops too (4 bytes more). The pop count is the operand of the
# first `ret` from the export's address.
if head -n 3 <<<"$table" | grep -q 'pei-i386'; then
  declare -A pops=(
    [j1939_create_channel]=12 [j1939_destroy_channel]=4 [j1939_open_channel]=4
    [j1939_close_channel]=4 [j1939_register_callbacks]=20 [j1939_claim_address]=16
    [j1939_remove_address_claim]=8 [j1939_write]=24 [j1939_read]=20
    [j1939_set_channel_option]=12 [j1939_get_channel_option]=8
    [j1939_configure_shared_address_table]=0 [j1939_start_log]=0
  )
  base=$(awk '/^ImageBase/{print $2}' <<<"$table")
  # Export Address Table and Name Pointer table, both by index.
  rvas=$(awk '/^Export Address Table -- /{on=1; next} on && /^[ \t]*\[/{gsub(/[][]/," "); print $1, $4; next} on && NF==0{on=0}' <<<"$table")
  names=$(awk '/\[Ordinal\/Name Pointer\] Table/{on=1; next} on && /^[ \t]*\[/{gsub(/[][]/," "); print $1, $2; next} on && NF==0{on=0}' <<<"$table")
  checked=0
  for name in "${!pops[@]}"; do
    index=$(awk -v n="$name" '$2 == n {print $1}' <<<"$names")
    rva=$(awk -v i="$index" '$1 == i {print $2}' <<<"$rvas")
    if [ -z "$index" ] || [ -z "$rva" ]; then
      continue  # reported missing above
    fi
    start=$((16#$base + 16#$rva))
    ret=$("$objdump" -d --start-address=$start --stop-address=$((start + 8192)) "$dll" |
      grep -m1 -E $'\t(repz )?ret[lw]? *(\$0x[0-9a-f]+)?$' || true)
    operand=$(grep -oE '\$0x[0-9a-f]+' <<<"$ret" | tr -d '$' || true)
    popped=$(( ${operand:-0} ))
    if [ -z "$ret" ] || [ "$popped" -ne "${pops[$name]}" ]; then
      echo "FAIL: $dll: $name pops ${popped} bytes (${ret:-no ret found}), not ${pops[$name]}" >&2
      status=1
    fi
    checked=$((checked + 1))
  done
  [ "$status" -eq 0 ] && echo "ok: the $checked j1939 exports pop their arguments (j1939_read 20 bytes: 16 and the hidden result pointer; j1939_create_channel 12: its record in EDX:EAX)"
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
