#!/usr/bin/env bash
# The two Debian packages built from this build tree: dravane (the program
# with a window) and dravane-server (the program without a display, its
# service and settings). Their names, dependencies (none of the server's is a
# GUI library) and files; unpacked into a temporary root, the desktop program
# starts without a display and keeps its settings in the XDG folder of a
# temporary home, and the server program runs as a user who may only read its
# settings, leaving them byte for byte. lintian and systemd-analyze check
# what they know where they are installed.
#   package_test.sh <build folder>
set -euo pipefail
source "$(dirname "$0")/../support/program.sh"
build=$(realpath "$1")
for tool in dpkg-deb dpkg-shlibdeps; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIPPED: $tool is missing (package dpkg-dev); the packages cannot be built here"
        exit 77
    fi
done

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
arch=$(dpkg --print-architecture)
version=2.0.1
desktop=$work/out/dravane_${version}_$arch.deb
server=$work/out/dravane-server_${version}_$arch.deb
for deb in "$desktop" "$server"; do
    [ -f "$deb" ] || { ls "$work/out" >&2; fail "no $(basename "$deb")"; }
done

field() { dpkg-deb -f "$1" "$2"; }
[ "$(field "$desktop" Package) $(field "$desktop" Version)" = "dravane $version" ] || fail "package $(field "$desktop" Package)"
[ "$(field "$server" Package) $(field "$server" Version)" = "dravane-server $version" ] || fail "package $(field "$server" Package)"
# The single package dravane 2.0 held the service and its settings: the
# server package takes them over, and the new dravane is not what it breaks.
for relation in Breaks Replaces; do
    [ "$(field "$server" $relation)" = "dravane (<< $version)" ] ||
        fail "dravane-server's $relation: $(field "$server" $relation)"
done
dpkg --compare-versions 2.0 lt "$version" || fail "the old single package is not older"
depends=$(field "$desktop" Depends)
[[ $depends == *libqt6widgets6* ]] || fail "dravane's Depends lacks libqt6widgets6: $depends"
depends=$(field "$server" Depends)
for dep in adduser libqt6core6 libc6; do
    [[ $depends == *"$dep"* ]] || fail "dravane-server's Depends lacks $dep: $depends"
done
gui='libqt6(gui|widgets|dbus|opengl|xcb)|libx11|libxcb|libgl|libegl|libfontconfig|libfreetype|libxkb|libwayland'
! grep -Eq "$gui" <<<"$depends" || fail "dravane-server depends on a GUI library: $depends"

files() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./|/|'; }
files "$desktop" >"$work/desktop.files"
files "$server" >"$work/server.files"
expectFiles() {
    local list=$1
    shift
    for f in "$@"; do
        grep -qx -- "$f" "$list" || { cat "$list" >&2; fail "$(basename "$list" .files) lacks $f"; }
    done
}
desktopFiles=(/usr/bin/dravane /usr/bin/dravane-sim
    /usr/share/applications/dravane.desktop /usr/share/metainfo/dravane.metainfo.xml
    /usr/share/icons/hicolor/scalable/apps/dravane.svg
    /usr/share/man/man1/dravane.1.gz /usr/share/man/man1/dravane-sim.1.gz
    /usr/share/doc/dravane/copyright /usr/share/doc/dravane/changelog.gz)
for size in 16 24 32 48 64 128 256; do
    desktopFiles+=("/usr/share/icons/hicolor/${size}x${size}/apps/dravane.png")
done
expectFiles "$work/desktop.files" "${desktopFiles[@]}"
expectFiles "$work/server.files" /usr/bin/dravane-server /usr/share/man/man1/dravane-server.1.gz \
    /usr/share/doc/dravane-server/copyright /usr/share/doc/dravane-server/changelog.gz \
    /lib/systemd/system/dravane-server.service /etc/dravane/dravane.ini
! grep -Eq 'dravane-server|/etc/|systemd' "$work/desktop.files" || fail "dravane holds server files"
! grep -Eq '/usr/bin/dravane$|applications|icons' "$work/server.files" || fail "dravane-server holds desktop files"
! grep -q '^/usr/local/' "$work/desktop.files" "$work/server.files" || fail "files under /usr/local"

dpkg-deb -e "$server" "$work/control"
[ "$(cat "$work/control/conffiles")" = /etc/dravane/dravane.ini ] || fail "conffiles: $(cat "$work/control/conffiles")"
grep -q 'dpkg-statoverride --update --add root dravane 0640' "$work/control/postinst" ||
    fail "postinst does not make the settings root's, readable by the service's group only"
dpkg-deb -e "$desktop" "$work/desktop-control"
[ ! -e "$work/desktop-control/conffiles" ] || fail "dravane has conffiles"

root=$work/root
dpkg-deb -x "$desktop" "$root"
dpkg-deb -x "$server" "$root"
unit=$root/lib/systemd/system/dravane-server.service
grep -qx 'ExecStart=/usr/bin/dravane-server' "$unit" || fail "the unit does not start the packaged server"
grep -qx 'Environment=DRAVANE_CONFIG=/etc/dravane/dravane.ini' "$unit" || fail "the unit does not name the shipped settings"
! grep -q 'ReadWritePaths\|QT_QPA_PLATFORM' "$unit" || fail "the unit may write or still sets a display platform"
ini=$root/etc/dravane/dravane.ini
section() { awk -v s="[$1]" -v kv="$2" '/^\[/ {in_s = ($0 == s)} in_s && $0 == kv {found = 1} END {exit !found}' "$ini"; }
section Comm Mode=2 || fail "the shipped settings are not a Server's"
section Comm Port=0 || fail "the shipped settings name a serial port"
grep -q 'ls -l /dev/serial/by-id/' "$ini" || fail "the shipped settings do not say how to find the adapter"

if command -v systemd-analyze >/dev/null; then
    # As installed: the program the unit names (here, in the unpacked root)
    # and its manual page, which the unit's documentation points to.
    mkdir "$work/units"
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$work/units/dravane-server.service"
    MANPATH=$root/usr/share/man systemd-analyze verify "$work/units/dravane-server.service" >"$work/verify.log" 2>&1 ||
        { cat "$work/verify.log" >&2; fail "systemd-analyze verify"; }
    ! grep -i 'dravane' "$work/verify.log" || fail "systemd-analyze complains about the unit"
    if systemd-analyze security --help | grep -q -- '--offline'; then
        systemd-analyze security --offline=true --threshold=20 "$work/units/dravane-server.service" \
            >"$work/security.log" 2>&1 || { cat "$work/security.log" >&2; fail "exposure above 2.0"; }
    fi
fi

if command -v lintian >/dev/null; then
    # Errors and warnings fail (pedantic and information tags are printed).
    for deb in "$desktop" "$server"; do
        lintian --pedantic --info --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 || true
        grep -E '^(I|P): ' "$work/lintian.log" || true
        ! grep -E '^(E|W): ' "$work/lintian.log" || fail "lintian reports errors or warnings for $(basename "$deb")"
    done
fi

"$root/usr/bin/dravane-sim" --help >/dev/null || fail "the packaged simulator does not run"

# The server as a user who may read its settings but not write them or their
# folder (root in CI would write anything: it runs as nobody then).
as=()
if [ "$(id -u)" -eq 0 ]; then
    as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    chmod 0755 "$work" "$root"
fi
mkdir "$work/etc"
cp "$ini" "$work/etc/dravane.ini"
chmod 0444 "$work/etc/dravane.ini"
chmod 0555 "$work/etc"
cp "$work/etc/dravane.ini" "$work/expected.ini"
# No display and no home; setpriv becomes the program, so $pid is the program's.
env -i PATH=/usr/bin:/bin DRAVANE_CONFIG="$work/etc/dravane.ini" "${as[@]}" "$root/usr/bin/dravane-server" \
    2>"$work/server.err" &
pid=$!
within 30 grep -q '^No serial port configured' "$work/server.err" ||
    { cat "$work/server.err" >&2; fail "the server did not report the missing port within 3 s"; }
terminate "packaged server"
cmp "$work/expected.ini" "$work/etc/dravane.ini" || fail "the packaged server changed its settings file"

home=$work/home
mkdir "$home"
startProgram "$root/usr/bin/dravane" "$work/err" -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u XDG_CONFIG_HOME \
    -u DRAVANE_CONFIG HOME="$home"
settings=$home/.config/dravane/dravane.ini
[ "$(reportedSettings "$work/err")" = "$settings" ] || fail "the installed program uses $(reportedSettings "$work/err")"
terminate "installed program"
saved "$settings" || fail "the installed program did not save its settings in $settings"
echo "package checks passed: $(basename "$desktop") $(basename "$server")"
