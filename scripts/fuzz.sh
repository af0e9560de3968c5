#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for
# FUZZ_SECONDS (default 60) over a working copy of its stored corpus, then
# prints executions and coverage per target. Exits non-zero when a target
# finds a fault; the input that broke it is kept under build-fuzz/fuzz/artifacts/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${FUZZ_SECONDS:-60}
build=${FUZZ_BUILD:-build-fuzz}

# clang and its libFuzzer runtime: large, so only this script asks for them.
./scripts/install-deps.sh clang libclang-rt-14-dev

if [ ! -f "$build/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DDRAVANE_BUILD_APP=OFF -DDRAVANE_FUZZ=ON >/dev/null
fi
cmake --build "$build" -j "${JOBS:-$(nproc)}" --target fuzz_targets

# target name and its stored corpus
targets=(
    "packet tests/comm/corpus/packet"
    "telnet tests/net/corpus/telnet"
    "access tests/net/corpus/access"
    "inifile tests/platform/corpus/inifile"
    "triggers tests/serial/corpus/triggers"
    "sim tests/tools/corpus/sim"
    "rotator tests/rotator/corpus/rotator"
)

out="$build/fuzz"
mkdir -p "$out/artifacts"
failed=()
rows=()
for entry in "${targets[@]}"; do
    read -r name corpus <<<"$entry"
    work="$out/corpus-$name"
    mkdir -p "$work"
    log="$out/$name.log"
    echo "== $name: ${seconds} s"
    status=0
    # New inputs go to the working copy; the stored corpus is only read.
    "$out/${name}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$out/artifacts/$name-" "$work" "$corpus" >"$log" 2>&1 || status=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    corp=$(grep -o 'corp: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    result=ok
    if [ "$status" -ne 0 ]; then
        result="FAULT (see $log)"
        failed+=("$name")
        grep -m3 -E 'ERROR|SUMMARY|^[a-z]+: ' "$log" || true
    fi
    rows+=("$(printf '%-9s %8s %12s %10s %6s %7s %6s  %s' "$name" "$seconds" "${execs:-?}" "${rate:-?}" \
        "${cov:-?}" "${ft:-?}" "${corp:-?}" "$result")")
done

echo
printf '%-9s %8s %12s %10s %6s %7s %6s  %s\n' target seconds executions exec/s cov features corpus result
printf '%s\n' "${rows[@]}"
if [ ${#failed[@]} -ne 0 ]; then
    echo "Faults found in: ${failed[*]}"
    exit 1
fi
