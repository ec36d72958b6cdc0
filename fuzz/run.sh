#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for a bounded time on a copy of its seed
# corpus (the corpus in the repository is never written). Fails when a target finds a
# crash, a leak, a sanitizer report or a hang; its inputs are then kept in
# build/fuzz-artifacts/<target>/.
#
#   fuzz/run.sh [seconds per target]        default 20
#   FUZZ_BUILD_DIR=dir fuzz/run.sh          an already configured build directory
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
seconds=${1:-20}
build=${FUZZ_BUILD_DIR:-$root/build/linux-fuzz}
targets=(ini_loader device_params protocol_string j1939_engines)

if [ ! -f "$build/CMakeCache.txt" ]; then
    if [ -n "${FUZZ_BUILD_DIR:-}" ]; then
        echo "run.sh: $build is not a configured build directory" >&2
        exit 2
    fi
    (cd "$root" && cmake --preset linux-fuzz >/dev/null)
fi
cmake --build "$build" --target "${targets[@]/#/fuzz_}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for target in "${targets[@]}"; do
    dir=$work/$target
    mkdir -p "$dir/corpus" "$dir/artifacts"
    cp -R "$here/corpus/$target/." "$dir/corpus/"
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
             -artifact_prefix="$dir/artifacts/")
    if [ -f "$here/dict/$target.dict" ]; then
        options+=(-dict="$here/dict/$target.dict")
    fi
    if "$build/bin/fuzz_$target" "${options[@]}" "$dir/corpus" >"$dir/log" 2>&1; then
        runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$dir/log" | grep -o '[0-9]*$' || true)
        echo "fuzz_$target: ok, ${runs:-?} inputs in ${seconds} s"
    else
        status=1
        keep=$root/build/fuzz-artifacts/$target
        mkdir -p "$keep"
        cp -R "$dir/artifacts/." "$keep/"
        cp "$dir/log" "$keep/log"
        echo "fuzz_$target: FAILED; inputs and log in $keep" >&2
        tail -n 40 "$dir/log" >&2
    fi
done
exit $status
