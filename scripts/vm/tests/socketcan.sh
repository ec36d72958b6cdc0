# The SocketCAN driver in the VM (run by scripts/vm/run.sh with the build directory shared):
#   scripts/vm/run.sh --share build/linux-debug scripts/vm/tests/socketcan.sh build/linux-debug
# The driver's own cases as root and as an unprivileged user.
bin=$1/bin
case $bin in /*) ;; *) bin=$PWD/$bin ;; esac
ip link add vcan0 type vcan
ip link set vcan0 up
for i in can0 can1; do
  ip link set $i type can bitrate 250000 sample-point 0.875 restart-ms 100
  ip link set $i up
done
echo "== socketcan_test as root"
"$bin/socketcan_test" --gtest_brief=1
echo "== socketcan_test as an unprivileged user"
as-user "$bin/socketcan_test" --gtest_brief=1
echo "== socketcan_test as an unprivileged user, can1 down"
ip link set can1 down
as-user "$bin/socketcan_test" --gtest_brief=1 --gtest_filter='*BitTiming*'
ip link set can1 up
