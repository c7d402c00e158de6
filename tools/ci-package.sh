#!/usr/bin/env bash
# CI: builds the Debian package, has lintian check it (no errors allowed),
# checks what it holds (dpkg -c) and depends on, installs it into a scratch
# root with dpkg --root, runs --version of both programs there, lists a local
# update server's firmware with --cli --list --server, and starts the
# installed program offscreen with --server until its update check has
# succeeded, then closes it.
# Usage: tools/ci-package.sh [build-dir]   (run tools/quickstart.sh first: it
# installs the build's own packages)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$here/build-pkg}
# The package is built with the default (placeholder) server, as shipped;
# --server points the installed program at a local one on this port.
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
    shared-mime-info man-db groff-base lintian dfu-programmer

# --- Build the package -------------------------------------------------------
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DHOOP_BUILD_TESTS=OFF -DHOOP_BUILD_BENCH=OFF \
    -DHOOP_BUNDLE_ID="$bundle_id"
cmake --build "$build"
rm -f "$build"/hoop-updater_*.deb
(cd "$build" && cpack -G DEB)
debs=("$build"/hoop-updater_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one hoop-updater_*.deb in $build"
deb=${debs[0]}

# --- Debian's checker ------------------------------------------------------------
# Errors fail the build; warnings and the rest are shown.
lintian --info --fail-on error "$deb" || fail "lintian reports errors on $(basename "$deb")"

# --- What the package says about itself ---------------------------------------
dpkg-deb --info "$deb"
depends=$(dpkg-deb --field "$deb" Depends)
depend_names=$(tr ',|' '\n\n' <<<"$depends" | sed 's/(.*//; s/[[:space:]]//g' | grep -v '^$')
for dep in libqt6widgets6 libqt6gui6 libqt6core6 libcurl4 libusb-1.0-0 libsodium23 libc6 libstdc++6 dfu-programmer; do
    grep -qFx -- "$dep" <<<"$depend_names" || fail "Depends lacks $dep: $depends"
done
twice=$(sort <<<"$depend_names" | uniq -d)
[ -z "$twice" ] || fail "Depends names ${twice//$'\n'/, } more than once: $depends"
grep -qE '(^|, )dfu-programmer \(>= 0\.6\.1\)' <<<"$depends" ||
    fail "Depends does not ask for dfu-programmer (>= 0.6.1): $depends"

# --- What it holds (dpkg -c) -----------------------------------------------------
listing=$(dpkg -c "$deb")
echo "$listing"
holds() { grep -qE -- " \./$1\$" <<<"$listing"; }
for path in usr/bin/hoop-updater usr/bin/hoop-update-server \
    usr/share/man/man1/hoop-updater.1.gz usr/share/man/man1/hoop-update-server.1.gz \
    usr/share/doc/hoop-updater/copyright usr/share/doc/hoop-updater/changelog.gz \
    usr/share/doc/hoop-updater/README.md.gz usr/share/doc/hoop-updater/examples/hoop-updater.conf \
    "usr/share/applications/$bundle_id.desktop" usr/lib/udev/rules.d/70-vexlume-hoop.rules \
    usr/lib/hoop-updater/hoop-updater-fetch; do
    holds "$path" || fail "the package does not hold /$path"
done
# Debian's own tool instead of a copy; nothing uncompressed where Debian wants it compressed.
! holds usr/share/hoop-updater/dfu-programmer || fail "the package carries its own dfu-programmer"
! grep -qE ' \./usr/share/man/.*\.[0-9]$' <<<"$listing" || fail "an uncompressed manual page"
! grep -qE ' \./etc/' <<<"$listing" || fail "the package ships a file under /etc"

# --- Installed into a scratch root ------------------------------------------------
# dpkg with a database of its own under the root; the dependencies are this
# machine's (tools/quickstart.sh installed them), so they are not asked for there.
root=$scratch/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
dpkg --root="$root" --force-depends --force-not-root --force-script-chrootless -i "$deb" ||
    fail "dpkg cannot install the package into a scratch root"
dpkg --root="$root" -s hoop-updater | grep -qx 'Status: install ok installed' ||
    fail "dpkg does not list the package as installed in the scratch root"

program=$root/usr/bin/hoop-updater
server=$root/usr/bin/hoop-update-server
fetcher=$root/usr/lib/hoop-updater/hoop-updater-fetch
# The installed program uses Debian's tool, which the package depends on.
tool=/usr/bin/dfu-programmer
desktop=$root/usr/share/applications/$bundle_id.desktop
icon=$root/usr/share/icons/hicolor/scalable/apps/$bundle_id.svg
metainfo=$root/usr/share/metainfo/$bundle_id.metainfo.xml
rule=$root/usr/lib/udev/rules.d/70-vexlume-hoop.rules
mime=$root/usr/share/mime/packages/$bundle_id.xml
manpage=$root/usr/share/man/man1/hoop-updater.1.gz
server_manpage=$root/usr/share/man/man1/hoop-update-server.1.gz
for f in "$program" "$server" "$tool" "$fetcher"; do
    [ -f "$f" ] && [ -x "$f" ] || fail "not an executable file: ${f#"$root"}"
done
for f in "$desktop" "$icon" "$metainfo" "$rule" "$mime" "$manpage" "$server_manpage"; do
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

# The manual pages render without a warning.
for page in "$manpage" "$server_manpage"; do
    man_text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>"$scratch/man.err") ||
        fail "man cannot render ${page#"$root"}"
    [ ! -s "$scratch/man.err" ] || { cat "$scratch/man.err" >&2; fail "${page#"$root"} renders with warnings"; }
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS 'EXIT STATUS' EXAMPLES 'SEE ALSO'; do
        grep -qx "$section" <<<"$man_text" || fail "${page#"$root"} has no $section section"
    done
done
man_text=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$manpage" 2>/dev/null)
grep -qx FILES <<<"$man_text" || fail "the manual page has no FILES section"
# Whatever the manual page sends the reader to is installed.
for doc in /etc/hoop-updater/hoop-updater.conf /usr/share/doc/hoop-updater/examples/hoop-updater.conf \
    /usr/share/doc/hoop-updater/README.md.gz; do
    grep -qF -- "$doc" <<<"$man_text" || fail "the manual page does not name $doc"
done
[ -s "$root/usr/share/doc/hoop-updater/README.md.gz" ] || fail "the README the manual page names is missing"

rule_lines=$(grep -v '^[[:space:]]*\(#\|$\)' "$rule")
grep -q 'ATTR{idVendor}=="03eb"' <<<"$rule_lines" || fail "udev rule does not match vendor 03eb"
grep -q 'ATTR{idProduct}=="2ff6"' <<<"$rule_lines" || fail "udev rule does not match product 2ff6"
grep -q 'TAG+="uaccess"' <<<"$rule_lines" || fail "udev rule does not grant uaccess"
! grep -q 'MODE' <<<"$rule_lines" || fail "udev rule sets a mode; uaccess is enough"

# Every library the programs need is on this machine, and nothing points
# back into the build tree.
for f in "$program" "$server" "$tool" "$fetcher"; do
    ! ldd "$f" | grep -q 'not found' || { ldd "$f" >&2; fail "unresolved libraries in ${f#"$root"}"; }
done
! readelf -d "$program" | grep -Eq 'R(UN)?PATH' || fail "the installed program carries a run path"
# 0.6.1 prints its version and exits with 1.
tool_version=$("$tool" --version 2>&1 || true)
grep -q '^dfu-programmer ' <<<"$tool_version" || fail "Debian's dfu-programmer does not run: $tool_version"

# Both programs answer --version; the updater names the server it would use.
version=$(HOME=$scratch/home "$program" --version) || fail "hoop-updater --version failed"
echo "$version"
grep -qx 'hoop-updater [0-9.]*' <<<"$(head -n 1 <<<"$version")" || fail "hoop-updater --version: $version"
grep -qx 'Update server: http://updates.vexlume.example (built in)' <<<"$version" ||
    fail "hoop-updater --version does not name the built-in server: $version"
server_version=$("$server" --version) || fail "hoop-update-server --version failed"
grep -qx 'hoop-update-server [0-9.]*' <<<"$server_version" || fail "hoop-update-server --version: $server_version"

# --- The unpacked program's update check against a local server ---------------
fw=$scratch/fw
mkdir -p "$fw" "$scratch/tmp" "$scratch/home"
printf ':0420000001020304D2\r\n:00000001FF\r\n' >"$fw/hoop-fw-9.8.7.zip"
echo "CI sample firmware" >"$fw/hoop-fw-9.8.7.desc"

! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null ||
    fail "port $port is already in use; the package is built for it"
"$server" "$fw" --port "$port" >"$scratch/server.log" 2>&1 &
server_pid=$!
wait_for_line 20 "Serving" "$scratch/server.log" "$server_pid" ||
    { show_log "$scratch/server.log" "update server"; fail "the update server did not start"; }

# The terminal's list, from the server named for this run.
list=$(HOME=$scratch/home "$program" --cli --list --server "http://127.0.0.1:$port") ||
    fail "hoop-updater --cli --list --server failed: $list"
echo "$list"
grep -q '^hoop-fw-9.8.7 ' <<<"$list" || fail "--cli --list --server did not list the served firmware"

HOME=$scratch/home TMPDIR=$scratch/tmp QT_QPA_PLATFORM=offscreen \
    QT_LOGGING_RULES="hoop.updater.info=true" \
    "$program" --server "http://127.0.0.1:$port" >"$scratch/app.log" 2>&1 &
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
# The window's check went by way of the installed fetching program.
! grep -q libcurl "/proc/$app_pid/maps" ||
    fail "the window loaded libcurl itself: it did not find ${fetcher#"$root"}"
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

grep -qF "Update server: http://127.0.0.1:$port (--server)" "$scratch/app.log" ||
    { show_log "$scratch/app.log" "hoop-updater"; fail "the developer log does not name the server in use"; }

echo "ci-package: the package $(basename "$deb") passes lintian, installs, validates and checks for updates"
