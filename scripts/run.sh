#!/usr/bin/env bash
# Starts the program. Without a display it runs under a virtual X server,
# captures the screen to <build>/screenshot.png, then ends the program with
# SIGTERM (which closes it as the operator's close does) and exits.
set -euo pipefail
builddir=${1:-build}
exe="$builddir/dravane"

if [ -n "${DISPLAY:-}" ]; then
    exec "$exe"
fi

shot="$builddir/screenshot.png"
rm -f "$shot"
xvfb-run -a -s "-screen 0 800x600x24" bash -c '
    exe=$1; shot=$2
    "$exe" & pid=$!
    # Wait (bounded) for the main window to be mapped.
    for _ in $(seq 1 50); do
        xwininfo -root -tree 2>/dev/null | grep -q "Dravane Control" && break
        kill -0 $pid 2>/dev/null || break
        sleep 0.2
    done
    sleep 0.5
    import -window root "$shot" || echo "screen capture failed" >&2
    kill -TERM $pid 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    if kill -0 $pid 2>/dev/null; then echo "program did not end on SIGTERM" >&2; kill -KILL $pid; exit 1; fi
    wait $pid
' _ "$exe" "$shot"
echo "Screenshot: $shot"
