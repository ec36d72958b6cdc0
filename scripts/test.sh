#!/usr/bin/env bash
# All tests: installs what is missing, builds every preset, runs the suites natively,
# under ASan+UBSan, TSan, wine64 and wine32, checks both Windows DLLs' export tables, tests the
# installer and the Debian packages (scripts/test-packages.sh) and runs the
# fuzz targets for a short while. Prints each stage with its time and one closing "N passed, M failed in S s" line.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/setup.sh || exit 1

export WINEDEBUG=-all
export WINEPREFIX=$root/build/wineprefix
jobs=$(nproc)
passed=0
failed=0
failures=()
log=$root/build/test-logs
mkdir -p "$log"

# The lines in which CTest reports a failed test.
ctest_failed='\*\*\*Failed|\*\*\*Timeout|\*\*\*Exception|regular expression found'

stage() {  # stage NAME COMMAND...: run, record pass or fail
  local name=$1; shift
  local start=$SECONDS
  echo "== $name"
  if "$@" >"$log/$name.log" 2>&1; then
    passed=$((passed + 1)); echo "   ok ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1)); failures+=("$name")
    echo "   FAILED ($((SECONDS - start)) s)"
    # What failed first (test names, assertions, sanitizer and wine reports), then the end.
    grep -n -E "$ctest_failed"'|^\[  FAILED|Failure$|error:|ERROR: |WARNING: ThreadSanitizer|runtime error|warn:heap|err:heap|err:sync|^crash: ' \
      "$log/$name.log" | head -n 80
    echo "   ..."; tail -n 40 "$log/$name.log"
  fi
}

build() {  # build PRESET [TARGET...]
  local preset=$1
  shift
  cmake --preset "$preset" && cmake --build --preset "$preset" -j "$jobs" ${1:+--target "$@"}
}

for preset in linux-debug linux-asan linux-tsan mingw-x64 mingw-x86; do
  stage "build-$preset" build "$preset"
done
# The fuzz preset instruments everything it compiles: only the fuzz targets and what they use.
stage build-linux-fuzz build linux-fuzz fuzz_ini_loader fuzz_device_params fuzz_protocol_string \
  fuzz_j1939_engines

# Start the wine prefix once, so that parallel tests do not race to create it, and keep
# one wine session for all Windows tests: a persistent server (Debian's wrapper passes -p0,
# the -p after it wins) and the system processes that wineboot starts here. A test that
# opened the session itself would hand its output pipe to wineserver and services.exe,
# and CTest, which waits for the end of a test's output, would count it as running (up
# to its timeout) until the last wine process of every other test had ended.
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 || true
stage wine-prefix /usr/lib/wine/wine64 wineboot --init

# Failures of the sanitizers' own runtimes, which say nothing about our code. A test whose
# failed run shows one of these is run once more, alone; any other failure fails the stage at
# once, and so does a second failure of the retried test.
runtime_failures=(
  # ThreadSanitizer could not map its own shadow memory ("ThreadSanitizer failed to allocate
  # 0x1fea9e2831000 bytes at address ... (errno: 12)"): seen now and then in the many-thread
  # J1939 scenario with this libtsan and kernel, in a range the size of its whole shadow.
  # The scenario that ran in the failed process fails with it, so it counts wherever it is.
  'ThreadSanitizer failed to allocate 0x[0-9a-f]+ bytes'
  'FATAL: ThreadSanitizer: unexpected memory mapping'
)
runtime_failures_after_pass=(
  # LeakSanitizer's exit check crashed in its own tracer ("Tracer caught signal 11") after
  # every test had passed; counted only when no test of the program failed.
  'LeakSanitizer has encountered a fatal error'
)

# runtime_only TESTDIR: prints the tests that failed in the last ctest run, one a line, as
# "retry NAME" when the failure is one of the runtime failures above and as "fail NAME"
# otherwise. CTest's LastTest.log holds every test's whole output between "Output:" and
# "<end of output>", and its result in the "Test Passed." / "Test Failed..." line after it.
runtime_only() {
  local anywhere after_pass
  anywhere=$(IFS='|'; echo "${runtime_failures[*]}")
  after_pass=$(IFS='|'; echo "${runtime_failures_after_pass[*]}")
  awk -v anywhere="$anywhere" -v after_pass="$after_pass" '
    /^[0-9]+\/[0-9]+ Test: / { name = $3; runtime = 0; late = 0; failed_case = 0; next }
    /^Output:$/ { inside = 1; next }
    /^<end of output>$/ { inside = 0; next }
    inside && $0 ~ anywhere { runtime = 1 }
    inside && $0 ~ after_pass { late = 1 }
    inside && /^\[  FAILED  \]/ { failed_case = 1 }
    /^Test Passed\.$/ { next }
    /^Test Failed/ || /^Test Fail Reason:/ || /^Test Not Run/ || /^Test Timeout/ {
      print ((runtime || (late && !failed_case)) ? "retry " : "fail ") name
    }
  ' "$1/Testing/Temporary/LastTest.log"
}

ctest_stage() {  # ctest_stage PRESET: the preset's tests, with the runtime retries only
  local preset=$1 dir=$root/build/$1 verdicts retry=() name
  ctest --preset "$preset" -j "$jobs" && return 0
  verdicts=$(runtime_only "$dir")
  echo "failed tests: $(echo "$verdicts" | tr '\n' ' ')"
  grep -q '^fail ' <<<"$verdicts" && return 1
  [ -n "$verdicts" ] || return 1
  while read -r _ name; do retry+=("$name"); done <<<"$verdicts"
  echo "RETRIED after a sanitizer runtime failure: ${retry[*]}"
  ctest --preset "$preset" -R "^($(IFS='|'; echo "${retry[*]}"))\$"
}

for preset in linux-debug linux-asan linux-tsan mingw-x64 mingw-x86; do
  stage "ctest-$preset" ctest_stage "$preset"
  grep -E 'tests passed' "$log/ctest-$preset.log" | sed 's/^/   /'
  grep -E '^RETRIED' "$log/ctest-$preset.log" | sed 's/^/   /'
done

# SocketCAN in a virtual machine (this machine's kernel has no CAN modules): vcan, vxcan, two
# emulated SJA1000 controllers on one bus and the kernel's J1939 stack (scripts/vm/).
stage vm-smoke scripts/vm/run.sh scripts/vm/smoke.sh
# The SocketCAN driver there: its own cases (root and unprivileged), the driver contract suite,
# an RP1210 client through an interface going away and back, and our stacks against the
# kernel's J1939 stack and can-utils.
stage vm-socketcan scripts/vm/test-socketcan.sh build/linux-debug

stage exports-x64 scripts/check-dll-exports.sh x86_64-w64-mingw32-objdump build/mingw-x64/bin/qz121032.dll
stage exports-x86 scripts/check-dll-exports.sh i686-w64-mingw32-objdump build/mingw-x86/bin/qz121032.dll
# The Windows installer (under wine, a prefix of its own) and the Debian packages (installed
# on this machine and removed again), built and tested as users install them.
stage packages bash scripts/test-packages.sh
if [ -x fuzz/run.sh ]; then
  stage fuzz fuzz/run.sh 20
fi
/usr/lib/wine/wineserver -k 2>/dev/null || true

echo
[ ${#failures[@]} -gt 0 ] && echo "failed stages: ${failures[*]} (logs in build/test-logs)"
echo "$passed passed, $failed failed in $SECONDS s"
[ "$failed" -eq 0 ]
