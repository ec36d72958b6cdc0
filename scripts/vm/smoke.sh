# Proves the virtual machine of scripts/vm/run.sh, inside it:
#   scripts/vm/run.sh scripts/vm/smoke.sh
# a frame crosses a vcan interface, a vxcan pair, and the emulated bus from can0 to can1 at
# 250 kbit/s; a J1939 transfer of more than 8 bytes passes between two sockets of the kernel's
# J1939 stack; the unprivileged user sends raw CAN frames but cannot configure interfaces.
set -u
tmp=$(mktemp -d)

fail() { echo "smoke: FAILED: $*"; exit 1; }

# until_true DESCRIPTION COMMAND...: waits up to 20 s for COMMAND to succeed. The clock is
# the guest's uptime, read without starting a program (each costs the emulated machine time).
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

# receivers DEV IDENT: whether a socket of kind IDENT (raw, j1939) receives from DEV.
receivers() {
  grep -Eq "^ +$1 .* $2\$" /proc/net/can/rcvlist_all /proc/net/can/rcvlist_fil 2>/dev/null
}

# crosses FROM TO [USER...]: a frame sent on FROM (by "as-user" when given) reaches TO.
crosses() {
  from=$1 to=$2; shift 2
  : >"$tmp/dump"
  candump -n 1 "$to" >"$tmp/dump" &
  dump=$!
  until_true "receiver on $to" receivers "$to" raw
  "$@" cansend "$from" 123#1122
  until_true "frame on $to" grep -q "$to  123   \[2\]  11 22" "$tmp/dump"
  wait "$dump"
  echo "smoke: frame from $from seen on $to${1:+ (sent by $1)}"
}

ip link add vcan0 type vcan
ip link set vcan0 up
crosses vcan0 vcan0

ip link add vxcan0 type vxcan peer name vxcan1
ip link set vxcan0 up
ip link set vxcan1 up
crosses vxcan0 vxcan1

for dev in can0 can1; do
  ip link set "$dev" type can bitrate 250000
  ip link set "$dev" up
done
ip -details link show can0 | grep -q 'bitrate 250000' || fail "can0 not at 250 kbit/s"
crosses can0 can1

# J1939: 100 bytes from address 0x80 to 0x90 go by the transport protocol (RTS/CTS), which
# the kernel's stack runs for both sockets. testj1939 sends the bytes 01 23 .. ef repeated.
j1939cat -r vcan0:0x90 >"$tmp/received" &
receiver=$!
until_true "J1939 receiver on vcan0" receivers vcan0 j1939
testj1939 -s100 vcan0:0x80 :0x90,0x12300
expected=$(printf '0123456789abcdef%.0s' $(seq 12))01234567  # 12 x 8 + 4 bytes
received() { [ "$(od -An -v -tx1 "$tmp/received" | tr -d ' \n')" = "$expected" ]; }
until_true "J1939 transfer of 100 bytes" received
kill "$receiver"
echo "smoke: J1939 transfer of 100 bytes received"

[ "$(as-user id -u)" = 1000 ] || fail "as-user is not uid 1000"
crosses vcan0 vcan0 as-user
if as-user ip link add vcan9 type vcan 2>/dev/null; then fail "the unprivileged user added an interface"; fi
echo "smoke: the unprivileged user sends frames and cannot add interfaces"
echo "smoke: passed"
