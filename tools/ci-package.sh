#!/usr/bin/env bash
# CI: builds the Debian package, checks what it holds and depends on, unpacks
# it with dpkg -x and starts the unpacked program offscreen until its update
# check against a local update server has succeeded, then closes it.
# Usage: tools/ci-package.sh [build-dir]   (run tools/quickstart.sh first: it
# installs the build's own packages)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$here/build-pkg}
# The installed program's server address is compiled in, so the package under
# test is built for a fixed loopback port of its own.
port=47913
bundle_id=com.vexlume.hoop-updater
success_line='Select a firmware and hit "Update Firmware"'
failure_line='Unable to check for latest firmware'

fail() {
    echo "ci-package: FAILED: $*" >&2
    exit 1
}

scratch=$(mktemp -d)
server_pid=
app_pid=
cleanup() {
    [ -n "$app_pid" ] && kill -KILL "$app_pid" 2>/dev/null || true
    [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null || true
    [ -n "$server_pid" ] && wait "$server_pid" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT

show_log() { # file title
    echo "----- $2 -----" >&2
    tail -n 40 "$1" >&2 || true
    echo "-----" >&2
}

# True while process $1 runs; a child that has ended but is not yet reaped
# (state Z) counts as ended, which kill -0 would not tell.
alive() {
    local state
    state=$(sed -E 's/^.*\) (.).*$/\1/' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

# Waits up to $1 seconds for fixed text $2 in file $3 while process $4 runs
# and file $3 holds no fixed text $5 (optional).
wait_for_line() {
    local deadline=$((SECONDS + $1))
    while [ $SECONDS -lt $deadline ]; do
        grep -qF -- "$2" "$3" && return 0
        [ -n "${5:-}" ] && grep -qF -- "$5" "$3" && return 1
        alive "$4" || { grep -qF -- "$2" "$3"; return; }
        sleep 0.2
    done
    return 1
}

bash "$here/tools/install-packages.sh" dpkg-dev file desktop-file-utils appstream \
    shared-mime-info man-db groff-base

# --- Build the package -------------------------------------------------------
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DHOOP_BUILD_TESTS=OFF -DHOOP_BUILD_BENCH=OFF \
    -DHOOP_BUNDLE_ID="$bundle_id" \
    -DHOOP_UPDATE_SERVER_URL="http://127.0.0.1:$port"
cmake --build "$build"
rm -f "$build"/hoop-updater_*.deb
(cd "$build" && cpack -G DEB)
debs=("$build"/hoop-updater_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one hoop-updater_*.deb in $build"
deb=${debs[0]}

# --- What the package says about itself ---------------------------------------
dpkg-deb --info "$deb"
depends=$(dpkg-deb --field "$deb" Depends)
depend_names=$(tr ',|' '\n\n' <<<"$depends" | sed 's/(.*//; s/[[:space:]]//g')
for dep in libqt6widgets6 libqt6gui6 libqt6core6 libcurl4 libusb-1.0-0 libsodium23 libc6 libstdc++6; do
    grep -qFx -- "$dep" <<<"$depend_names" || fail "Depends lacks $dep: $depends"
done

# --- What it installs -----------------------------------------------------------
root=$scratch/root
dpkg -x "$deb" "$root"
echo "Package contents:"
(cd "$root" && find . -type f -o -type l | sort)

program=$root/usr/bin/hoop-updater
tool=$root/usr/share/hoop-updater/dfu-programmer
desktop=$root/usr/share/applications/$bundle_id.desktop
icon=$root/usr/share/icons/hicolor/scalable/apps/$bundle_id.svg
metainfo=$root/usr/share/metainfo/$bundle_id.metainfo.xml
rule=$root/usr/lib/udev/rules.d/70-vexlume-hoop.rules
mime=$root/usr/share/mime/packages/$bundle_id.xml
manpage=$root/usr/share/man/man1/hoop-updater.1
for f in "$program" "$tool"; do
    [ -f "$f" ] && [ -x "$f" ] || fail "not an executable file: ${f#"$root"}"
done
for f in "$desktop" "$icon" "$metainfo" "$rule" "$mime" "$manpage"; do
    [ -s "$f" ] || fail "missing or empty: ${f#"$root"}"
done

file -b "$icon" | grep -q SVG || fail "the icon is not an SVG image: $(file -b "$icon")"
desktop-file-validate "$desktop" || fail "desktop entry does not validate"
grep -qx "Icon=$bundle_id" "$desktop" || fail "desktop entry does not name the installed icon"
appstreamcli validate --no-net "$metainfo" || fail "AppStream metadata does not validate"
grep -q "<launchable type=\"desktop-id\">$bundle_id.desktop</launchable>" "$metainfo" ||
    fail "AppStream metadata does not launch the installed desktop entry"

# The firmware files' type: declared by our own file, named by the desktop
# entry and the metadata, and taken by update-mime-database beside Debian's
# own types (on copies: the system's database is left alone), so that *.hex
# and *.ihex map to it.
mime_type=text/x-ihex
grep -qx "MimeType=$mime_type;" "$desktop" || fail "desktop entry does not name $mime_type"
grep -q "<mediatype>$mime_type</mediatype>" "$metainfo" || fail "AppStream metadata does not provide $mime_type"
mkdir -p "$scratch/mime/packages"
cp /usr/share/mime/packages/freedesktop.org.xml "$mime" "$scratch/mime/packages/"
update-mime-database "$scratch/mime" >"$scratch/mime.log" 2>&1 && ! grep -qi 'error\|warning' "$scratch/mime.log" ||
    { cat "$scratch/mime.log" >&2; fail "update-mime-database does not accept ${mime#"$root"}"; }
[ -s "$scratch/mime/mime.cache" ] || fail "update-mime-database wrote no mime.cache"
for glob in '*.hex' '*.ihex'; do
    owners=$(awk -F: -v g="$glob" '$3 == g { print $2 }' "$scratch/mime/globs2")
    [ "$owners" = "$mime_type" ] || fail "$glob maps to '${owners//$'\n'/ }', not $mime_type alone"
done
grep -qx "$mime_type text/plain" "$scratch/mime/subclasses" || fail "$mime_type is not a kind of text/plain"

# The manual page renders without a warning.
man_text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$manpage" 2>"$scratch/man.err") ||
    fail "man cannot render ${manpage#"$root"}"
[ ! -s "$scratch/man.err" ] || { cat "$scratch/man.err" >&2; fail "the manual page renders with warnings"; }
for section in NAME SYNOPSIS DESCRIPTION OPTIONS 'EXIT STATUS' FILES EXAMPLES 'SEE ALSO'; do
    grep -qx "$section" <<<"$man_text" || fail "the manual page has no $section section"
done

rule_lines=$(grep -v '^[[:space:]]*\(#\|$\)' "$rule")
grep -q 'ATTR{idVendor}=="03eb"' <<<"$rule_lines" || fail "udev rule does not match vendor 03eb"
grep -q 'ATTR{idProduct}=="2ff6"' <<<"$rule_lines" || fail "udev rule does not match product 2ff6"
grep -q 'TAG+="uaccess"' <<<"$rule_lines" || fail "udev rule does not grant uaccess"
! grep -q 'MODE' <<<"$rule_lines" || fail "udev rule sets a mode; uaccess is enough"

# Every library the two programs need is on this machine, and nothing points
# back into the build tree.
for f in "$program" "$tool"; do
    ! ldd "$f" | grep -q 'not found' || { ldd "$f" >&2; fail "unresolved libraries in ${f#"$root"}"; }
done
! readelf -d "$program" | grep -Eq 'R(UN)?PATH' || fail "the installed program carries a run path"
# 0.6.1 prints its version and exits with 1.
tool_version=$("$tool" --version 2>&1 || true)
grep -q '^dfu-programmer ' <<<"$tool_version" || fail "the bundled dfu-programmer does not run: $tool_version"

# --- The unpacked program's update check against a local server ---------------
fw=$scratch/fw
mkdir -p "$fw" "$scratch/tmp" "$scratch/home"
printf ':0420000001020304D2\r\n:00000001FF\r\n' >"$fw/hoop-fw-9.8.7.zip"
echo "CI sample firmware" >"$fw/hoop-fw-9.8.7.desc"

! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null ||
    fail "port $port is already in use; the package is built for it"
"$root/usr/bin/hoop-update-server" "$fw" --port "$port" >"$scratch/server.log" 2>&1 &
server_pid=$!
wait_for_line 20 "Serving" "$scratch/server.log" "$server_pid" ||
    { show_log "$scratch/server.log" "update server"; fail "the update server did not start"; }

HOME=$scratch/home TMPDIR=$scratch/tmp QT_QPA_PLATFORM=offscreen \
    QT_LOGGING_RULES="hoop.updater.info=true" \
    "$program" >"$scratch/app.log" 2>&1 &
app_pid=$!
if ! wait_for_line 60 "$success_line" "$scratch/app.log" "$app_pid" "$failure_line"; then
    show_log "$scratch/app.log" "hoop-updater"
    show_log "$scratch/server.log" "update server"
    alive "$app_pid" || fail "the installed program ended before its update check succeeded"
    grep -qF -- "$failure_line" "$scratch/app.log" && fail "the installed program's update check failed"
    fail "the installed program's update check did not succeed within 60 s"
fi
grep -q 'hoop-fw-9.8.7' "$scratch/app.log" ||
    { show_log "$scratch/app.log" "hoop-updater"; fail "the check did not list the served firmware"; }

alive "$app_pid" || { show_log "$scratch/app.log" "hoop-updater"; fail "the installed program ended by itself"; }
kill -TERM "$app_pid"
for _ in $(seq 50); do
    alive "$app_pid" || break
    sleep 0.2
done
alive "$app_pid" && fail "the installed program did not end on SIGTERM"
status=0
wait "$app_pid" || status=$?
app_pid=
[ "$status" -eq 143 ] || [ "$status" -eq 0 ] || fail "the installed program ended with status $status on SIGTERM"

echo "ci-package: the package $(basename "$deb") installs, validates and checks for updates"
