# An RP1210 CAN client on the SocketCAN driver keeps reading while its interface goes down
# and up, and while it is deleted and made again (run by scripts/vm/run.sh):
#   scripts/vm/run.sh --share build/linux-debug scripts/vm/tests/recovery.sh build/linux-debug
# The client is "rp1210 dump"; the frames come from cansend. The device of the example INI
# is pointed at vcan5 by the DeviceParams that "rp1210 devices" prints for it.
set -u
bin=$1/bin
case $bin in /*) ;; *) bin=$PWD/$bin ;; esac

tmp=$(mktemp -d)
cd "$tmp"
export LD_LIBRARY_PATH=$bin/socketcan

fail() {
  echo "recovery: FAILED: $*"
  echo "--- rp1210 dump:"; cat dump.txt
  exit 1
}

# until_seen ID: sends ID#<count> with cansend until the client has printed it, for at most
# 30 s of guest time (the client opens the interface again on its own schedule).
until_seen() {
  read -r now _ </proc/uptime
  deadline=$((${now%.*} + 30))
  until grep -Eq "\) +$1 +\[" dump.txt; do
    read -r now _ </proc/uptime
    [ "${now%.*}" -lt "$deadline" ] || fail "frame $1 not read within 30 s"
    cansend vcan5 "$1#01" 2>/dev/null || true
    sleep 0.2
  done
  echo "recovery: frame $1 read"
}

ip link add vcan5 type vcan
ip link set vcan5 up
cp "$bin/example_ostrel_qz121032.ini" ostrel_qz121032.ini
"$bin/rp1210" devices >devices.txt 2>&1 || true
params=$(sed -n 's/^ *vcan5: .*; DeviceParams=//p' devices.txt)
[ -n "$params" ] || { cat devices.txt; fail "rp1210 devices does not list vcan5"; }
echo "recovery: vcan5 is DeviceParams=$params"
sed -i "s/^DeviceParams=EAN=73-30130-12345-6,Chan=0\$/DeviceParams=$params/" ostrel_qz121032.ini

"$bin/rp1210" dump -d 1 -p CAN:Baud=250 -s 120 >dump.txt 2>&1 &
client=$!
until_seen 101

ip link set vcan5 down
ip link set vcan5 up
until_seen 102

ip link del vcan5
ip link add vcan5 type vcan
ip link set vcan5 up
until_seen 103

kill "$client"
wait "$client" 2>/dev/null || true
echo "recovery: passed"
