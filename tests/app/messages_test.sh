#!/usr/bin/env bash
# What the real program, offscreen, tells about its serial port and its link:
# a device the user may not open (as nobody, where the test runs as root),
# a device that is missing and then appears, and three cable pulls with the
# controller (the simulator on a pseudo-terminal) plugged back each time.
# Offscreen the log line is the message: each fault is one line naming the
# COM number and the device, its end one line, and link down and up say
# for how long it was down.
#   messages_test.sh <dravane> <dravane-sim>
set -euo pipefail
source "$(dirname "$0")/../support/program.sh"
exe=$(realpath "$1")
sim=$(realpath "$2")
chmod 755 "$work"
simPid=
trap '[ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null; [ -n "$simPid" ] && kill -KILL "$simPid" 2>/dev/null; rm -rf "$work"' EXIT

# plug <link>: a controller on a new pseudo-terminal behind <link>; unplug: it goes.
plug() {
    "$sim" --link "$1" >"$work/sim.out" 2>&1 &
    simPid=$!
    within 100 test -L "$1" || fail "the simulator made no terminal"
}
unplug() {
    kill -TERM "$simPid"
    wait "$simPid" 2>/dev/null || true
    simPid=
}
# app <name> <COM number> <device>: a program folder with its settings.
app() {
    mkdir -m 777 "$work/$1"
    cp "$exe" "$work/$1/dravane"
    printf '[Comm]\nPort=%s\nMode=0\n\n[Ports]\nCOM%s=%s\n' "$2" "$2" "$3" >"$work/$1/dravane.ini"
    chmod 666 "$work/$1/dravane.ini"
}
count() { grep -cF -- "$1" "$2" || true; }

# A device of group dialout, mode 0660, opened by a user outside that group.
if [ "$(id -u)" -eq 0 ] && id nobody >/dev/null 2>&1 && getent group dialout >/dev/null; then
    plug "$work/denied"
    tty=$(readlink "$work/denied")
    chgrp dialout "$tty" && chmod 660 "$tty"
    app nobody 5 "$work/denied"
    startProgram "$work/nobody/dravane" "$work/nobody.err" HOME="$work/nobody" QT_QPA_PLATFORM=offscreen \
        setpriv --reuid=nobody --regid=nogroup --clear-groups
    told() { grep -F "Error opening COM port COM5 ($work/denied): permission denied" "$work/nobody.err" | grep -qF 'sudo adduser $USER dialout'; }
    within 100 told || { cat "$work/nobody.err" >&2; fail "no line naming COM5, its device and the dialout remedy"; }
    sleep 1.2 # a watch cycle: a fault that stays is not told again
    terminate "permission denied"
    [ "$(count 'Error opening COM port' "$work/nobody.err")" -eq 1 ] || { cat "$work/nobody.err" >&2; fail "the denied device told more than once"; }
    unplug
else
    echo "not root (or no user nobody, no group dialout): the permission case is skipped"
fi

# Missing at start: named, and opened once it appears.
app absent 7 "$work/controller"
startProgram "$work/absent/dravane" "$work/err" HOME="$work/absent" QT_QPA_PLATFORM=offscreen
missing() { grep -qF "Error opening COM port COM7 ($work/controller): not there (unplugged?); it will open when it appears" "$work/err"; }
within 100 missing || { cat "$work/err" >&2; fail "the missing device was not named, or not said to open when it appears"; }
sleep 1.2
plug "$work/controller"
up() { [ "$(count 'Link up: the controller answers on COM7' "$work/err")" -ge "$1" ]; }
within 100 up 1 || { cat "$work/err" >&2; fail "the device that appeared was not opened"; }
[ "$(count 'Error opening COM port' "$work/err")" -eq 1 ] || { cat "$work/err" >&2; fail "the missing device told more than once"; }

# Three pulls: each a fault of its own, told once and over once plugged back.
for cycle in 1 2 3; do
    unplug
    lost() { [ "$(count "COM7 ($work/controller) lost: " "$work/err")" -ge "$cycle" ]; }
    within 100 lost || { cat "$work/err" >&2; fail "pull $cycle: no line naming the lost port"; }
    sleep 1.2
    plug "$work/controller"
    within 100 up $((cycle + 1)) || { cat "$work/err" >&2; fail "pull $cycle: the link did not come back"; }
done
terminate "three pulls"
unplug

# Fault and end alternate: at most one open at a time, each closed.
faults=$(grep -v 'Link down' "$work/err" | grep -E "Error opening COM port COM7|COM7 \(.*\) lost: |\(the fault is over\)" |
    sed -E 's/.*\(the fault is over\).*/over/; /over$/!s/.*/fault/' | tr '\n' ' ')
[ "$faults" = "fault over fault over fault over fault over " ] || { cat "$work/err" >&2; fail "faults and their ends: $faults"; }
[ "$(grep -cE 'Link down: COM7 \(.*\) lost: ' "$work/err")" -eq 3 ] || { cat "$work/err" >&2; fail "not three link-down lines with their cause"; }
[ "$(grep -cE 'Link up: the controller answers on COM7 \(.*\) \(down [0-9]+\.[0-9] s\)' "$work/err")" -eq 3 ] ||
    { cat "$work/err" >&2; fail "not three link-up lines with the outage"; }
echo "messages cases passed"
