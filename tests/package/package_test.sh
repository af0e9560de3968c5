#!/usr/bin/env bash
# The Debian package built from this build tree: its name, dependencies and
# files; unpacked into a temporary root, its program starts without a display
# and keeps its settings in the XDG folder of a temporary home; its service
# unit names the program and settings it ships. lintian and systemd-analyze
# check what they know where they are installed.
#   package_test.sh <build folder>
set -euo pipefail
source "$(dirname "$0")/../support/program.sh"
build=$(realpath "$1")
for tool in dpkg-deb dpkg-shlibdeps; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIPPED: $tool is missing (package dpkg-dev); the package cannot be built here"
        exit 77
    fi
done

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb=$work/out/dravane_2.0_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { ls "$work/out" >&2; fail "no $(basename "$deb")"; }

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package) $(field Version)" = "dravane 2.0" ] || fail "package $(field Package) $(field Version)"
depends=$(field Depends)
for dep in adduser libqt6widgets6 libc6; do
    [[ $depends == *"$dep"* ]] || fail "Depends lacks $dep: $depends"
done

dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/files"
expected=(/usr/bin/dravane /usr/bin/dravane-sim
    /usr/share/applications/dravane.desktop /usr/share/metainfo/dravane.metainfo.xml
    /usr/share/icons/hicolor/scalable/apps/dravane.svg
    /usr/share/man/man1/dravane.1.gz /usr/share/man/man1/dravane-sim.1.gz
    /usr/share/doc/dravane/copyright /usr/share/doc/dravane/changelog.gz
    /lib/systemd/system/dravane-server.service /etc/dravane/dravane.ini)
for size in 16 24 32 48 64 128 256; do
    expected+=("/usr/share/icons/hicolor/${size}x${size}/apps/dravane.png")
done
for f in "${expected[@]}"; do
    grep -qx -- "$f" "$work/files" || { cat "$work/files" >&2; fail "the package lacks $f"; }
done
! grep -q '^/usr/local/' "$work/files" || fail "files under /usr/local"

dpkg-deb -e "$deb" "$work/control"
[ "$(cat "$work/control/conffiles")" = /etc/dravane/dravane.ini ] || fail "conffiles: $(cat "$work/control/conffiles")"

root=$work/root
dpkg-deb -x "$deb" "$root"
unit=$root/lib/systemd/system/dravane-server.service
grep -qx 'ExecStart=/usr/bin/dravane' "$unit" || fail "the unit does not start the packaged program"
grep -qx 'Environment=DRAVANE_CONFIG=/etc/dravane/dravane.ini' "$unit" || fail "the unit does not name the shipped settings"
grep -qx 'ReadWritePaths=/etc/dravane' "$unit" || fail "the unit's settings folder is read-only"
awk '/^\[/ {s = $0} s == "[Comm]" && $0 == "Mode=2" {found = 1} END {exit !found}' "$root/etc/dravane/dravane.ini" ||
    fail "the shipped settings are not a Server's"

if command -v systemd-analyze >/dev/null; then
    # As installed: the program the unit names (here, in the unpacked root)
    # and its manual page, which the unit's documentation points to.
    mkdir "$work/units"
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$work/units/dravane-server.service"
    MANPATH=$root/usr/share/man systemd-analyze verify "$work/units/dravane-server.service" >"$work/verify.log" 2>&1 ||
        { cat "$work/verify.log" >&2; fail "systemd-analyze verify"; }
    ! grep -i 'dravane' "$work/verify.log" || fail "systemd-analyze complains about the unit"
fi

if command -v lintian >/dev/null; then
    lintian --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 || true
    ! grep '^E: ' "$work/lintian.log" || fail "lintian reports errors"
fi

"$root/usr/bin/dravane-sim" --help >/dev/null || fail "the packaged simulator does not run"

home=$work/home
mkdir "$home"
startProgram "$root/usr/bin/dravane" "$work/err" -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u XDG_CONFIG_HOME \
    -u DRAVANE_CONFIG HOME="$home"
settings=$home/.config/dravane/dravane.ini
[ "$(reportedSettings "$work/err")" = "$settings" ] || fail "the installed program uses $(reportedSettings "$work/err")"
terminate "installed program"
saved "$settings" || fail "the installed program did not save its settings in $settings"
echo "package checks passed: $(basename "$deb")"
