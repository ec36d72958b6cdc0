# Our library against the kernel's own CAN and J1939 stacks, in the VM (run by
# scripts/vm/run.sh with the build directory and this directory shared):
#   scripts/vm/run.sh --share build/linux-debug --share scripts/vm/tests \
#     scripts/vm/tests/kernel_peers.sh build/linux-debug
# On vcan0, with the SocketCAN driver selected as an application selects it (LD_LIBRARY_PATH),
# as the unprivileged user: kernel_j1939_test (our J1939 client and the kernel's J1939 sockets),
# then raw_can.sh (our CAN client and can-utils' cansend and candump).
bin=$1/bin
case $bin in /*) ;; *) bin=$PWD/$bin ;; esac
here=$(dirname "$0")
[ -f "$here/raw_can.sh" ] || { echo "kernel_peers: no $here/raw_can.sh: share scripts/vm/tests"; exit 2; }
ip link add vcan0 type vcan
ip link set vcan0 up
export LD_LIBRARY_PATH=$bin/socketcan
echo "== kernel_j1939_test"
as-user "$bin/kernel_j1939_test" --gtest_brief=1
echo "== raw_can.sh"
as-user sh "$here/raw_can.sh" "$bin"
