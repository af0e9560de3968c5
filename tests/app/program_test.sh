#!/usr/bin/env bash
# The real program, copied into a temporary folder as a user would run it:
# termination signals close it as the operator's close does (settings saved
# beside the executable), the window title, a settings "file" that is a
# folder, message boxes that never hold up a termination signal, and one
# copy per settings file.
#
#   program_test.sh <dravane> [offscreen|x]
# offscreen: only the cases without an X server; x: only those with one (on
# $DISPLAY); neither: both, the X cases on a virtual X server of their own.
set -euo pipefail
source "$(dirname "$0")/../support/program.sh"
exe=$(realpath "$1")
mode=${2:-all}

# Starts a fresh copy in its own folder; $dir, $pid and $dir/err are set.
start() {
    dir=$(mktemp -d "$work/run.XXXXXX")
    cp "$exe" "$dir/dravane"
    [ "${1:-}" = folder-ini ] && mkdir "$dir/dravane.ini"
    launch
}

# Starts the copy in $dir again; $pid and $dir/err are set.
launch() {
    "$dir/dravane" 2>"$dir/err" &
    pid=$!
    # Ready for a signal once SIGTERM is blocked (it then waits for the event loop).
    blocked() { local m; m=$(awk '/^SigBlk/ {print $2}' "/proc/$pid/status" 2>/dev/null) && (( 0x$m & 0x4000 )); }
    within 100 blocked || fail "program not up"
}

expectOneErrorLine() {
    local count
    count=$(grep -cFx "Unable to write to $dir/dravane.ini" "$dir/err" || true)
    [ "$count" -eq 1 ] || { cat "$dir/err" >&2; fail "expected the write failure once on standard error ($1)"; }
    [ -d "$dir/dravane.ini" ] || fail "the folder in place of the settings file was replaced ($1)"
}

offscreenCases() {
    export QT_QPA_PLATFORM=offscreen
    # The executable replaced while the program runs: the settings still go beside it.
    start
    cp "$exe" "$dir/dravane.new" && mv -f "$dir/dravane.new" "$dir/dravane"
    terminate "fresh folder"
    expected=$'[Display]\nLeft=0\nTop=0\n\n[Colors]\nControllerColor=16776960\nAntOffColor=8421504'
    [ "$(cat "$dir/dravane.ini" 2>/dev/null)" = "$expected" ] || { ls "$dir" >&2; fail "settings not written on SIGTERM"; }
    [ "$(ls "$dir"/*.ini | wc -l)" -eq 1 ] || { ls "$dir" >&2; fail "a second settings file appeared"; }

    # A folder named dravane.ini: defaults at start, the failure reported on standard error.
    start folder-ini
    terminate "settings folder, no display"
    expectOneErrorLine "no display"

    # One copy per settings file: a second start brings the first copy's
    # window forward and ends with status 0; the first runs on.
    start
    secondCopy() {
        local status=0
        timeout 20 "$dir/dravane" 2>"$dir/second.err" || status=$?
        [ "$status" -eq 0 ] || { cat "$dir/second.err" >&2; fail "second copy ended with status $status ($1)"; }
        within 50 grep -q 'brought to the front' "$dir/err" || { cat "$dir/err" >&2; fail "first copy not raised ($1)"; }
        kill -0 "$pid" 2>/dev/null || fail "first copy ended ($1)"
    }
    secondCopy "beside a running copy"
    # Killed outright, a copy leaves its lock; the next start takes it over
    # and is the one a later start finds.
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null || true
    [ -e "$dir/dravane.ini.lock" ] || fail "the killed copy left no lock behind"
    launch
    secondCopy "after a killed copy"
    terminate "after a killed copy"
    [ ! -e "$dir/dravane.ini.lock" ] || fail "the lock outlived its copy"

    unset QT_QPA_PLATFORM
    echo "offscreen cases passed"
}

# Top-level windows as '<id> "<name>"', leaving out the toolkit's 1x1 helper windows.
windows() { xwininfo -root -tree | grep -E '^ +0x[0-9a-f]+ "' | grep -v ' 1x1+' | sed -E 's/^ +(0x[0-9a-f]+) ("[^"]*").*/\1 \2/'; }
# The name (quoted) of the first window whose name starts with $1.
windowName() { windows | grep -F " \"$1" | head -1 | cut -d' ' -f2-; }
# The id of the window named exactly $1.
windowId() { windows | grep -F " \"$1\"" | head -1 | cut -d' ' -f1; }
mapped() { [ -n "$(windowName "$1")" ]; }

# Asks the window to close as a window manager's close button does.
closeWindow() {
    python3 - "$1" <<'PYEOF'
import ctypes, sys
x = ctypes.CDLL("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XInternAtom.restype = ctypes.c_ulong
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
x.XFlush.argtypes = [ctypes.c_void_p]
x.XCloseDisplay.argtypes = [ctypes.c_void_p]

class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5), ("pad", ctypes.c_long * 12)]

d = x.XOpenDisplay(None)
win = int(sys.argv[1], 16)
m = ClientMessage(type=33, display=d, window=win, format=32,
                  message_type=x.XInternAtom(d, b"WM_PROTOCOLS", 0))
m.data[0] = x.XInternAtom(d, b"WM_DELETE_WINDOW", 0)
x.XSendEvent(d, win, 0, 0, ctypes.byref(m))
x.XFlush(d)
x.XCloseDisplay(d)
PYEOF
}

xCases() {
    # The title as given, nothing appended; a termination signal with a display
    # but nobody to click: the failure goes to standard error, nothing waits.
    start folder-ini
    within 100 mapped "Dravane Control  v2.0" || fail "main window not mapped"
    [ "$(windowName "Dravane Control  v2.0")" = '"Dravane Control  v2.0"' ] ||
        fail "title is $(windowName "Dravane Control  v2.0")"
    terminate "settings folder, with a display"
    expectOneErrorLine "with a display"

    # A message box open (the operator's close could not save) and then SIGTERM.
    start folder-ini
    within 100 mapped "Dravane Control  v2.0" || fail "main window not mapped"
    closeWindow "$(windowId "Dravane Control  v2.0")"
    within 100 eval '[ -n "$(windowId "Dravane Control")" ]' || fail "no message box after the close"
    terminate "message box open"
    echo "X cases passed"
}

case $mode in
offscreen) offscreenCases ;;
x) xCases ;;
*)
    offscreenCases
    xvfb-run -a -s "-screen 0 800x600x24" "$0" "$exe" x
    ;;
esac
