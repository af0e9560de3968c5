#!/usr/bin/env bash
# Starts the program against the controller simulator: the simulator plays the
# antenna controller on a pseudo-terminal, the program's settings file (next
# to the executable in the build folder) maps that terminal as its serial
# port, and the simulator ends when the program ends.
#
# Without a display it runs under a virtual X server, captures the screen to
# <build>/screenshot.png, then ends the program with SIGTERM (which closes it
# as the operator's close does) and exits.
set -euo pipefail
builddir=${1:-build}
exe="$builddir/dravane"
ini="$builddir/dravane.ini"
# The simulator's port: a number no adapter is likely to take.
com=99

sim=$(find "$builddir" -maxdepth 3 -type f -name dravane-sim -perm -u+x 2>/dev/null | head -n 1)
if [ -z "$sim" ]; then
    echo "dravane-sim not found under $builddir" >&2
    exit 1
fi

# Sets one key of an ini file in place: the line of an existing key is
# replaced, a new key goes at the end of its section, a new section at the end.
set_ini() {
    local file=$1 section=$2 key=$3 value=$4 tmp
    tmp=$(mktemp "$file.XXXXXX")
    awk -v sec="$section" -v key="$key" -v val="$value" '
        function trim(s) { gsub(/^[ \t]+|[ \t\r]+$/, "", s); return s }
        # Blank lines are held back so a new key lands after the last non-blank one.
        function flush() { if (insec && !done) { print key "=" val; done = 1 } printf "%s", blanks; blanks = "" }
        /^[ \t\r]*$/ { blanks = blanks $0 "\n"; next }
        /^[ \t]*\[/ {
            name = trim($0); sub(/^\[/, "", name); sub(/\].*$/, "", name)
            flush()
            insec = (tolower(trim(name)) == tolower(sec) && !seen); if (insec) seen = 1
            print; next
        }
        { printf "%s", blanks; blanks = "" }
        insec && !done && index($0, "=") {
            k = substr($0, 1, index($0, "=") - 1)
            if (tolower(trim(k)) == tolower(key)) { print key "=" val; done = 1; next }
        }
        { print }
        END { flush(); if (!seen) { if (NR) print ""; print "[" sec "]"; print key "=" val } }
    ' "$file" >"$tmp"
    mv "$tmp" "$file"
}

simout=$(mktemp)
"$sim" >"$simout" 2>&1 &
simpid=$!
trap 'kill -TERM $simpid 2>/dev/null || true; wait $simpid 2>/dev/null || true; rm -f "$simout"' EXIT

# The simulator prints the path of its terminal; wait for it (bounded).
pty=""
for _ in $(seq 1 50); do
    pty=$(grep -o -m 1 '/dev/pts/[0-9]*' "$simout" || true)
    [ -n "$pty" ] && break
    kill -0 $simpid 2>/dev/null || break
    sleep 0.1
done
if [ -z "$pty" ]; then
    echo "the simulator did not report its terminal:" >&2
    cat "$simout" >&2
    exit 1
fi
echo "Controller simulator on $pty (COM$com)"

touch "$ini"
set_ini "$ini" Ports "COM$com" "$pty"
set_ini "$ini" Comm Port "$com"

if [ -n "${DISPLAY:-}" ]; then
    "$exe"
    exit $?
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
    # The first link test goes out on the first tick; its answer turns the link green.
    sleep 1.5
    import -window root "$shot" || echo "screen capture failed" >&2
    kill -TERM $pid 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    if kill -0 $pid 2>/dev/null; then echo "program did not end on SIGTERM" >&2; kill -KILL $pid; exit 1; fi
    wait $pid
' _ "$exe" "$shot"
echo "Screenshot: $shot"
