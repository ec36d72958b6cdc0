#!/usr/bin/env bash
# The main job: builds the library for Linux and the product DLL for 32-bit Windows, then
# shows the library at work the way an application sees it. On the simulated interface's
# built-in default (one interface, two channels on one bus) a foreign node replays engine
# traffic (J1939 engine messages from examples/j1939_engine.log) at 500 kbit/s, a bit rate
# the client is not told: `rp1210 dump` with "CAN:Baud=Auto" detects it and shows the
# traffic for a few seconds, then `rp1210 info` reports versions, status and speed. Then
# the same traffic on the J1939 bus monitor, with the engine's DM1 (a BAM of two packets)
# reassembled into one message, and RTS/CTS transfers between two J1939 clients
# on the two channels with their times.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh
jobs=$(nproc)
echo "== building (Linux, and the 32-bit Windows DLL)"
cmake --preset linux-debug >/dev/null
cmake --build --preset linux-debug -j "$jobs" --target qz121032 tarnsim rp1210 tarnsim-node >/dev/null
cmake --preset mingw-x86 >/dev/null
cmake --build --preset mingw-x86 -j "$jobs" --target qz121032 >/dev/null
ls -l build/linux-debug/bin/libqz121032.so build/mingw-x86/bin/qz121032.dll
bin=$root/build/linux-debug/bin

# The simulator's built-in default; the example INI file describes its interface and is
# read from the working directory, as an application's own configuration would be.
unset TARNSIM_CONFIG
work=$(mktemp -d)
node_pid=
cleanup() {
  if [ -n "$node_pid" ]; then
    kill -INT "$node_pid" 2>/dev/null || true
    wait "$node_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
cp examples/ostrel_qz121032.ini "$work/ostrel_qz121032.ini"
cd "$work"

echo "== rp1210 version"
"$bin/rp1210" version
echo "== rp1210 devices"
"$bin/rp1210" devices
echo "== an engine on the bus: tarnsim-node replays examples/j1939_engine.log at 500 kbit/s"
"$bin/tarnsim-node" replay "$root/examples/j1939_engine.log" --loop --bitrate 500000 --seconds 60 &
node_pid=$!
echo "== rp1210 dump -d 1 -p CAN:Baud=Auto --seconds 3"
"$bin/rp1210" dump -d 1 -p "CAN:Baud=Auto" --seconds 3
echo "== rp1210 info -d 1 -p CAN:Baud=Auto"
"$bin/rp1210" info -d 1 -p "CAN:Baud=Auto"
echo "== rp1210 dump -d 1 -p J1939:Baud=Auto --count 12: the engine on the J1939 bus monitor"
"$bin/rp1210" dump -d 1 -p "J1939:Baud=Auto" --count 12
echo "== rp1210 dump -d 1 -p J1939:Baud=500 --pgn FECA,FEEE --seconds 2.5: DM1 reassembled from its BAM"
"$bin/rp1210" dump -d 1 -p "J1939:Baud=500" --pgn FECA,FEEE --seconds 2.5
echo "== rp1210 selftest -d 1 -e 2 -p J1939:Baud=500 --transfers 4: RTS/CTS transfers between two clients"
"$bin/rp1210" selftest -d 1 -e 2 -p "J1939:Baud=500" --transfers 4
