# The driver contract suite on the SocketCAN driver, in the VM (run by scripts/vm/run.sh):
#   scripts/vm/run.sh --share build/linux-debug scripts/vm/tests/contract.sh build/linux-debug
# A vxcan pair is the two channels on one bus, as root and as the unprivileged user. The
# emulated SJA1000 pair is not used here: qemu delivers its frames without bus timing, and
# the receiving controller loses back-to-back frames that real hardware would carry.
bin=$1/bin
case $bin in /*) ;; *) bin=$PWD/$bin ;; esac
ip link add vxcan0 type vxcan peer name vxcan1
ip link set vxcan0 up
ip link set vxcan1 up
# channel NAME: the driver's channel number of a CAN interface (the driver numbers them in
# the order of their names, numbers compared as numbers: can0, can1, vxcan0, vxcan1).
channel() {
  n=0
  for i in $(ls /sys/class/net | sort -V); do
    [ "$(cat "/sys/class/net/$i/type")" = 280 ] || continue
    [ "$i" = "$1" ] && { echo "$n"; return; }
    n=$((n + 1))
  done
  echo "contract: no CAN interface $1" >&2
  exit 1
}
channels=$(channel vxcan0),$(channel vxcan1)
export TARN_CONTRACT_DRIVER=$bin/socketcan/libtarnlib32.so TARN_CONTRACT_CHANNELS=$channels
echo "== driver_contract_test on vxcan0/vxcan1 as root"
"$bin/driver_contract_test" --gtest_brief=1
echo "== driver_contract_test on vxcan0/vxcan1 as an unprivileged user"
as-user env TARN_CONTRACT_DRIVER="$TARN_CONTRACT_DRIVER" TARN_CONTRACT_CHANNELS="$channels" \
  "$bin/driver_contract_test" --gtest_brief=1
