#!/usr/bin/env bash
# All tests: installs what is missing, builds every preset, runs the suites natively,
# under ASan+UBSan, TSan and wine64, checks both Windows DLLs' export tables, tests the
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

# The lines in which CTest reports a failed test (a failed try, under --repeat).
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

build() {  # build PRESET
  cmake --preset "$1" && cmake --build --preset "$1" -j "$jobs"
}

for preset in linux-debug linux-asan linux-tsan mingw-x64 mingw-x86 linux-fuzz; do
  stage "build-$preset" build "$preset"
done

# Start the wine prefix once, so that parallel tests do not race to create it, and keep
# one wine session for all Windows tests: a persistent server (Debian's wrapper passes -p0,
# the -p after it wins) and the system processes that wineboot starts here. A test that
# opened the session itself would hand its output pipe to wineserver and services.exe,
# and CTest, which waits for the end of a test's output, would count it as running (up
# to its timeout) until the last wine process of every other test had ended.
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 || true
stage wine-prefix /usr/lib/wine/wine64 wineboot --init

# A failed test gets one more try in every ctest stage. The sanitizers' runtimes now and
# then fail on their own: ThreadSanitizer ended a process of the many-thread J1939 scenario
# with "ThreadSanitizer failed to allocate ..." (its own memory; about one run in five for a
# while, then not in a dozen suites), and LeakSanitizer's exit check crashed once in its
# tracer ("Tracer caught signal 11") after every test had passed; not understood yet. And a
# scenario bound to timing (a transport-protocol timer of a process the loaded machine left
# without a processor) may fail once on a loaded machine. A fault that repeats still fails
# the stage; a test that needed the retry is named in the output and the stage's log.
for preset in linux-debug linux-asan linux-tsan mingw-x64; do
  stage "ctest-$preset" ctest --preset "$preset" -j "$jobs" --repeat until-pass:2
  grep -E 'tests passed' "$log/ctest-$preset.log" | sed 's/^/   /'
  grep -E "$ctest_failed" "$log/ctest-$preset.log" | sed 's/^/   needed a retry or failed: /'
done

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
