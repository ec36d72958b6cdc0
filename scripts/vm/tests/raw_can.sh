# Raw CAN between our CAN client (the rp1210 tool, as an application) and can-utils on vcan0,
# in the VM; kernel_peers.sh runs it as the unprivileged user:
#   sh raw_can.sh BIN   (BIN: the build's bin directory; LD_LIBRARY_PATH selects the driver)
# 1. Frames from cansend (standard and extended identifiers, 0 to 8 bytes, a remote frame) and
#    one from our library in another process reach three of our clients at once: one without
#    a filter, one with pass filters, one with a drop filter. Each runs with echo on, so each
#    line says whether the client took the frame for its own (TX) or another node's (RX).
# 2. Frames our client sends are seen by candump byte for byte, and each comes back to the
#    client as its own echo (rp1210 send counts only an echo equal to the frame it sent).
set -eu
bin=$1
tmp=$(mktemp -d)
cd "$tmp"

fail() { echo "raw_can: FAILED: $*"; exit 1; }

# until_true DESCRIPTION COMMAND...: waits up to 20 s for COMMAND to succeed (the clock is the
# guest's uptime, read without starting a program).
until_true() {
  what=$1; shift
  read -r now _ </proc/uptime
  deadline=$((${now%.*} + 20))
  until "$@"; do
    read -r now _ </proc/uptime
    [ "${now%.*}" -lt "$deadline" ] || fail "no $what after 20 s"
    sleep 0.05
  done
}
lines_at_least() { [ -f "$1" ] && [ "$(wc -l <"$1")" -ge "$2" ]; }

# The INI file names vcan0 by the identity the SocketCAN driver reports for it (the only
# virtual interface here: EAN 30-00000-00000-7).
identity=$("$bin/rp1210" devices 2>/dev/null | sed -n 's|^ *[0-9]*  \(30-00000-00000-7\)/\([0-9]*\)/\([0-9]*\)$|EAN=\1,Serial=\2,Chan=\3|p' || true)
[ "$(echo "$identity" | grep -c EAN)" = 1 ] || fail "rp1210 devices shows no single vcan0: '$identity'"
cat >ostrel_qz121032.ini <<EOF
[VendorInformation]
RP1210=C
Version=3.0
MessageString=OstrelRP1210Msg
ErrorString=OstrelRP1210Err
TimestampWeight=1000
AutoDetectCapable=yes
DebugLevel=1
DebugFile=$tmp/rp1210.log
DebugFileSize=0
DebugMode=1
NumberOfRTSCTSSessions=1
CANFormatsSupported=4,5
J1939FormatsSupported=1,2
J1939Addresses=1
CANAutoBaud=true
Devices=1
Protocols=1
[DeviceInformation1]
DeviceID=1
DeviceDescription=vcan0
DeviceName=vcan0
DeviceParams=$identity
MultiCANChannels=1
MultiJ1939Channels=1
MultiISO15765Channels=0
[ProtocolInformation1]
ProtocolString=CAN
ProtocolDescription=Raw CAN
ProtocolSpeed=250
ProtocolParams=
Devices=1
EOF
echo "raw_can: vcan0 is $identity"

# ---- 1. cansend to our clients ------------------------------------------------------------
dump() {
  name=$1; shift
  "$bin/rp1210" dump -d 1 -p CAN:Baud=250 --echo "$@" >"$name.out" 2>"$name.err" &
  echo $! >"$name.pid"
}
dump all
dump pass --filter 123:7FF,18FEF100:1FFFFF00
dump drop --filter '123~7FF'
for name in all pass drop; do
  until_true "client of dump $name" grep -q '^rp1210: client' "$name.err"
done

cansend vcan0 123#
cansend vcan0 7FF#11
cansend vcan0 000#1122334455667788
cansend vcan0 00000000#
cansend vcan0 1FFFFFFF#0102030405060708
cansend vcan0 00000123#99
cansend vcan0 456#R
"$bin/rp1210" send -d 1 -p CAN:Baud=250 321#CAFE >send.out || fail "rp1210 send 321#CAFE: $(cat send.out)"
cansend vcan0 18FEF100#F7007D
cansend vcan0 18FEF1AB#0102   # the last frame passes every filter

# The lines without their time stamps. A remote frame has no data in the RP1210 read format:
# it reads as a frame of no bytes.
cat >all.expected <<'EOF'
  RX       123   [0]
  RX       7FF   [1]  11
  RX       000   [8]  11 22 33 44 55 66 77 88
  RX  00000000   [0]
  RX  1FFFFFFF   [8]  01 02 03 04 05 06 07 08
  RX  00000123   [1]  99
  RX       456   [0]
  RX       321   [2]  CA FE
  RX  18FEF100   [3]  F7 00 7D
  RX  18FEF1AB   [2]  01 02
EOF
# Pass: 123 standard only (not the extended 00000123), and 18FEF1xx.
grep -E ' 123 |18FEF1' all.expected >pass.expected
grep -v ' 123 ' all.expected >drop.expected
for name in all pass drop; do
  until_true "$(wc -l <"$name.expected") lines from dump $name" \
    lines_at_least "$name.out" "$(wc -l <"$name.expected")"
  kill -INT "$(cat "$name.pid")"
  wait "$(cat "$name.pid")" || fail "dump $name: $(cat "$name.err")"
  sed 's/^([ 0-9.]*)//' "$name.out" >"$name.seen"
  diff -u "$name.expected" "$name.seen" || fail "dump $name read other frames than cansend sent"
  echo "raw_can: dump $name read $(wc -l <"$name.seen") frames as expected"
done
grep -qx 'sent 1 x 321#CAFE, 1 confirmed' send.out || fail "321#CAFE: $(cat send.out)"

# ---- 2. our client to candump --------------------------------------------------------------
receivers() { grep -Eq '^ +vcan0 .* raw$' /proc/net/can/rcvlist_all /proc/net/can/rcvlist_fil 2>/dev/null; }
frames="123# 7FF#0102030405060708 00000000# 1ABCDEF0#AABBCC 1FFFFFFF#1122334455667788"
candump -L -n 5 vcan0 >candump.out &
candump=$!
until_true "candump's socket on vcan0" receivers
for frame in $frames; do
  "$bin/rp1210" send -d 1 -p CAN:Baud=250 "$frame" >send.out || fail "rp1210 send $frame: $(cat send.out)"
  grep -qx "sent 1 x $frame, 1 confirmed" send.out || fail "$frame not confirmed: $(cat send.out)"
done
wait "$candump"
printf 'vcan0 %s\n' $frames >candump.expected
sed 's/^([0-9.]*) //' candump.out >candump.seen
diff -u candump.expected candump.seen || fail "candump saw other frames than our client sent"
echo "raw_can: candump saw our client's 5 frames byte for byte, each confirmed by its echo"
cd /
rm -rf "$tmp"
echo "raw_can: passed"
