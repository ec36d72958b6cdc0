#!/usr/bin/env bash
# The SocketCAN driver's tests, each in a fresh virtual machine (scripts/vm/run.sh) on the
# build tree given (default build/linux-debug): the driver's own cases as root and as an
# unprivileged user, the driver contract suite on a vxcan pair, an RP1210 client through an
# interface going down, up, away and back, and our J1939 stack and raw CAN against the
# kernel's J1939 stack and can-utils. Stops at the first failure.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build/linux-debug}
for script in socketcan contract recovery kernel_peers; do
  echo "== scripts/vm/tests/$script.sh"
  scripts/vm/run.sh --share "$build" --share scripts/vm/tests "scripts/vm/tests/$script.sh" "$build"
done
