#!/usr/bin/env bash
# Regenerates the README's picture of the main window: a copy of the program
# in a temporary folder (its own settings file maps the controller simulator's
# pseudo-terminal as its serial port) runs under a virtual X server; once the
# link is up, a click on the right arrow brings back a status report, and the
# main window's image is saved.
#
#   scripts/screenshot.sh [build folder] [output png]
set -euo pipefail
builddir=${1:-build}
out=${2:-docs/screenshot.png}
com=99

sim=$(find "$builddir" -maxdepth 3 -type f -name dravane-sim -perm -u+x 2>/dev/null | head -n 1)
[ -n "$sim" ] || { echo "dravane-sim not found under $builddir" >&2; exit 1; }
for tool in xvfb-run xdotool import; do
    command -v $tool >/dev/null || { echo "$tool is missing: run scripts/install-deps.sh" >&2; exit 1; }
done

tmp=$(mktemp -d)
simpid=""
cleanup() {
    [ -n "$simpid" ] && { kill -TERM "$simpid" 2>/dev/null || true; wait "$simpid" 2>/dev/null || true; }
    rm -rf "$tmp"
}
trap cleanup EXIT
cp "$builddir/dravane" "$tmp/dravane"

# Bidirectional, pointing east and west once the arrow has turned it a step.
"$sim" --log --mode BI --direction 0 >"$tmp/sim.log" 2>&1 &
simpid=$!
pty=""
for _ in $(seq 1 50); do
    pty=$(grep -o -m 1 '/dev/pts/[0-9]*' "$tmp/sim.log" || true)
    [ -n "$pty" ] && break
    sleep 0.1
done
[ -n "$pty" ] || { echo "the simulator did not report its terminal:" >&2; cat "$tmp/sim.log" >&2; exit 1; }
printf '[Ports]\nCOM%s=%s\n[Comm]\nPort=%s\nMode=0\n' "$com" "$pty" "$com" >"$tmp/dravane.ini"

xvfb-run -a -s "-screen 0 640x480x24" bash -c '
    set -u
    tmp=$1; out=$2
    # Waits (bounded, 10 s) until the simulator has logged a line matching $1.
    logged() {
        for _ in $(seq 1 100); do
            grep -q -- "$1" "$tmp/sim.log" && return 0
            sleep 0.1
        done
        echo "the simulator never logged $1" >&2
        return 1
    }
    "$tmp/dravane" & pid=$!
    wid=""
    for _ in $(seq 1 100); do
        wid=$(xdotool search --name "^Dravane Control  v2.0\$" 2>/dev/null | head -n 1 || true)
        [ -n "$wid" ] && break
        sleep 0.1
    done
    status=1
    if [ -n "$wid" ] && logged "> \[LINKOK\]"; then
        # The right arrow: panel at (1, 30), arrow at (140, 184), 50 by 45.
        xdotool mousemove --window "$wid" 166 236 click 1
        if logged "> \[T4B"; then
            sleep 0.5 # the repaint after the report
            import -window "$wid" "$out" && status=0
        fi
    else
        echo "the main window did not come up with its link" >&2
    fi
    kill -TERM $pid 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    kill -KILL $pid 2>/dev/null || true
    exit $status
' _ "$tmp" "$(realpath -m "$out")"
echo "Screenshot: $out"
