# cangen floods vcan0 (then sends at a pace candump keeps up with) while candump and an RP1210 CAN client (rp1210 dump on the SocketCAN
# driver) read side by side; prints both readers' rates and losses against the frames the
# interface carried. Runs inside the VM (scripts/vm/run.sh) on an optimised build:
#   cmake --preset linux-release && cmake --build --preset linux-release \
#     --target qz121032 tarnsock rp1210
#   scripts/vm/run.sh --share build/linux-release bench/socketcan/flood.sh build/linux-release [SECONDS]
# Figures under emulation mean little by themselves; the ratio of the two readers is what
# counts. The library's log is off (the example INI's DebugLevel=-1).
set -u
bin=$1/bin
case $bin in /*) ;; *) bin=$PWD/$bin ;; esac
seconds=${2:-10}
tmp=$(mktemp -d)
cd "$tmp"
export LD_LIBRARY_PATH=$bin/socketcan

ip link add vcan0 type vcan
ip link set vcan0 up
cp "$bin/example_ostrel_qz121032.ini" ostrel_qz121032.ini
params=$("$bin/rp1210" devices 2>/dev/null | sed -n 's/^ *vcan0: .*; DeviceParams=//p')
sed -i "s/^DeviceParams=EAN=73-30130-12345-6,Chan=0\$/DeviceParams=$params/" ostrel_qz121032.ini

wait_for_receivers() {  # N: until N raw sockets receive from vcan0
  until [ "$(grep -c "^ *vcan0 .* raw\$" /proc/net/can/rcvlist_all)" -ge "$1" ]; do sleep 0.05; done
}

# phase NAME GAP: cangen with GAP ms between frames (0: as fast as it can) for SECONDS.
phase() {
  name=$1 gap=$2
  : >candump.txt
  : >rp1210.txt
  candump -d vcan0 >candump.txt 2>&1 &
  dump=$!
  wait_for_receivers 1
  "$bin/rp1210" dump -d 1 -p CAN:Baud=500 -s $((seconds + 30)) >rp1210.txt 2>&1 &
  client=$!
  wait_for_receivers 2
  sent_before=$(cat /sys/class/net/vcan0/statistics/tx_packets)
  dropped_before=$(cat /sys/class/net/vcan0/statistics/rx_dropped)
  start=$(date +%s.%N)
  timeout "$seconds" cangen vcan0 -g "$gap" -i -I 7FF -L 8 -D i || true
  end=$(date +%s.%N)
  sent=$(( $(cat /sys/class/net/vcan0/statistics/tx_packets) - sent_before ))
  dropped=$(( $(cat /sys/class/net/vcan0/statistics/rx_dropped) - dropped_before ))
  # A last frame tells each reader the flood is over.
  cansend vcan0 123#DEADBEEF
  until grep -q "123 .*DE AD BE EF" candump.txt; do sleep 0.1; done
  until grep -Eq "\) +123 +\[4\] +DE AD BE EF" rp1210.txt; do sleep 0.1; done
  kill "$dump" "$client"
  wait 2>/dev/null

  got_candump=$(grep -c "^ *vcan0 *7FF " candump.txt)
  got_rp1210=$(grep -Ec "\) +7FF +\[8\]" rp1210.txt)
  drops_candump=$(sed -n 's/.*total drops \([0-9]*\).*/\1/p' candump.txt | tail -1)
  elapsed=$(echo "$end $start" | awk '{printf "%.2f", $1 - $2}')
  echo "$name (cangen -g $gap): $sent frames in $elapsed s on vcan0 ($dropped dropped by the kernel before any socket)"
  awk -v s="$sent" -v t="$elapsed" -v c="$got_candump" -v r="$got_rp1210" -v d="${drops_candump:-0}" 'BEGIN {
    printf "candump: %d frames (%.0f/s), %d lost, %d reported dropped by its socket\n", c, c / t, s - c, d
    printf "rp1210:  %d frames (%.0f/s), %d lost\n", r, r / t, s - r
    printf "ratio rp1210/candump: %.3f\n", (c > 0 ? r / c : 0)
  }'
  grep -E "drops" rp1210.txt | tail -1 | sed 's/^/  /'
}

phase flood 0
phase paced 0.5
