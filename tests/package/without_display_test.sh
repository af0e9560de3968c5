#!/usr/bin/env bash
# The real program with no display at all (no DISPLAY, WAYLAND_DISPLAY or
# QT_QPA_PLATFORM): it starts, a serial port that cannot be opened is
# reported as one line on standard error instead of a message box, the
# program goes on running and a SIGTERM ends it at once, settings saved.
#   without_display_test.sh <dravane>
set -euo pipefail
source "$(dirname "$0")/../support/program.sh"
exe=$(realpath "$1")

mkdir "$work/app"
cp "$exe" "$work/app/dravane"
# A device path under a regular file: no user, root included, can open it.
: >"$work/not-a-folder"
cat >"$work/app/dravane.ini" <<INI
[Comm]
Port=7
Mode=0

[Ports]
COM7=$work/not-a-folder/ttyUSB0
INI

startProgram "$work/app/dravane" "$work/err" -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME="$work"
reported() { grep -q 'Error opening COM port' "$work/err"; }
within 100 reported || { cat "$work/err" >&2; fail "the port failure was not reported"; }
kill -0 "$pid" 2>/dev/null || { cat "$work/err" >&2; fail "the program ended after the failure"; }
terminate "after a port failure"
[ "$(grep -c 'Error opening COM port' "$work/err")" -eq 1 ] || { cat "$work/err" >&2; fail "reported more than once"; }
grep -qF "Error opening COM port COM7 ($work/not-a-folder/ttyUSB0): " "$work/err" ||
    { cat "$work/err" >&2; fail "the report does not name the port and its device"; }
saved "$work/app/dravane.ini" || fail "settings not saved at the SIGTERM"
echo "without-display case passed"
