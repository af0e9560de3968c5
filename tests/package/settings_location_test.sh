#!/usr/bin/env bash
# Which settings file the real program uses, copied into a temporary tree as
# users keep it: portable (a folder of its own, or a dravane.ini beside it in
# a bin folder), installed (bin, nothing beside it: the XDG folder, made when
# missing) and named by DRAVANE_CONFIG (which wins over both).
#   settings_location_test.sh <dravane>
set -euo pipefail
source "$(dirname "$0")/../support/program.sh"
exe=$(realpath "$1")

home=$work/home
config=$work/xdg/config # not there yet: the program makes it
mkdir -p "$home" "$work/portable" "$work/prefix/bin" "$work/beside/bin" "$work/named"
cp "$exe" "$work/portable/dravane"
cp "$exe" "$work/prefix/bin/dravane"
cp "$exe" "$work/beside/bin/dravane"
: >"$work/beside/bin/dravane.ini"

base=(-u DRAVANE_CONFIG HOME="$home" XDG_CONFIG_HOME="$config" QT_QPA_PLATFORM=offscreen)

# run <case> <exe> <expected settings file> [VAR=value ...]
run() {
    local name=$1 program=$2 expected=$3
    shift 3
    startProgram "$program" "$work/$name.err" "${base[@]}" "$@"
    [ "$(reportedSettings "$work/$name.err")" = "$expected" ] ||
        fail "$name: reported '$(reportedSettings "$work/$name.err")', expected '$expected'"
    terminate "$name"
    saved "$expected" || { find "$work" -name '*.ini' >&2; fail "$name: settings not saved in $expected"; }
}

run portable "$work/portable/dravane" "$work/portable/dravane.ini"
run installed "$work/prefix/bin/dravane" "$config/dravane/dravane.ini"
[ "$(stat -c %a "$config/dravane")" = 700 ] || fail "the settings folder is not private to the user"
run beside "$work/beside/bin/dravane" "$work/beside/bin/dravane.ini"
rm -rf "$work/xdg"
echo '; untouched' >"$work/beside/bin/dravane.ini"
run named "$work/beside/bin/dravane" "$work/named/server.ini" DRAVANE_CONFIG="$work/named/server.ini"
[ ! -e "$work/xdg" ] || fail "named: the XDG folder was made although DRAVANE_CONFIG names the file"
[ "$(cat "$work/beside/bin/dravane.ini")" = '; untouched' ] || fail "named: the file beside was written too"
[ ! -e "$home/.config" ] || fail "a settings folder appeared in HOME although XDG_CONFIG_HOME was set"
echo "settings location cases passed"
