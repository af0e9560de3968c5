#!/usr/bin/env bash
# Runs every benchmark with modest counts and prints one table. A benchmark
# prints its rows as tab-separated lines starting with "BENCH"
# (bench/BenchRow.h); its whole output goes to <build>/bench/<name>.log.
# A new benchmark adds one line to the list below. The idle costs run 10 s per
# role here; `build/bench/command_bench 2000 30` gives the 30 s figures.
set -euo pipefail
builddir=${1:-build}

benches=(
    "dispatcher_bench 50"
    "round_trip_bench 2000 3"
    "tcp_echo_bench 2000"
    "comports_bench 200"
    "command_bench 2000 10"
    "relay_bench 2000"
    "panel_bench 1000"
    "server_bench 2000 10"
)

rows=$(mktemp)
trap 'rm -f "$rows"' EXIT
for entry in "${benches[@]}"; do
    read -r -a args <<<"$entry"
    name=${args[0]}
    log="$builddir/bench/$name.log"
    echo "running ${args[*]}" >&2
    "$builddir/bench/$name" "${args[@]:1}" >"$log" 2>&1 || echo "$name exited with an error (see $log)" >&2
    grep '^BENCH' "$log" | cut -f2- >>"$rows" || echo "$name printed no row (see $log)" >&2
done

echo
{
    printf 'benchmark\tfigure\tanchor, same run\tratio\ttarget\tresult\n'
    cat "$rows"
} | column -t -s $'\t'
echo
echo "targets met: $(grep -c $'\tmet$' "$rows" || true) of $(grep -vc $'\t-$' "$rows" || true)"
