#!/usr/bin/env bash
# The program closes on SIGTERM as on the operator's close: settings written.
set -euo pipefail
exe=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$exe" "$dir/dravane"
QT_QPA_PLATFORM=offscreen "$dir/dravane" &
pid=$!
# Bounded wait for the program to be up (its Qt platform plugin loaded).
for _ in $(seq 1 100); do
    grep -q offscreen "/proc/$pid/maps" 2>/dev/null && break
    sleep 0.05
done
sleep 0.3
kill -TERM "$pid"
for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
if kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid"; echo "did not end on SIGTERM"; exit 1; fi
wait "$pid"
expected=$'[Display]\nLeft=0\nTop=0\n\n[Colors]\nControllerColor=16776960\nAntOffColor=8421504'
actual=$(cat "$dir/dravane.ini")
if [ "$actual" != "$expected" ]; then echo "unexpected settings file:"; cat "$dir/dravane.ini"; exit 1; fi
echo "settings written on SIGTERM"
