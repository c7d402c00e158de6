#!/usr/bin/env bash
# Makes the README's screenshot: the demo's window after a simulated update,
# on a virtual X server, cropped to the window.
# Usage: tools/make-screenshot.sh [build-dir] [output.png]
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
success_line='successfully updated to firmware version'

fail() {
    echo "make-screenshot: $*" >&2
    exit 1
}

# Runs inside xvfb-run: the demo, then the capture.
if [ "${1:-}" = --capture ]; then
    demo=$2 out=$3 log=$4
    unset WAYLAND_DISPLAY
    QT_QPA_PLATFORM=xcb "$demo" --auto-update >"$log" 2>&1 &
    pid=$!
    trap 'kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true' EXIT
    for _ in $(seq 600); do
        grep -qF -- "$success_line" "$log" && break
        kill -0 "$pid" 2>/dev/null || fail "the demo ended before the update finished"
        sleep 0.2
    done
    grep -qF -- "$success_line" "$log" || fail "the simulated update did not finish within 120 s"
    # The console shows a line once the event loop has run; let it paint.
    sleep 1
    # The top-level window with the most area is the main window.
    geometry=$(xwininfo -root -children |
        sed -nE 's/.* ([0-9]+)x([0-9]+)\+-?[0-9]+\+-?[0-9]+ +\+([0-9]+)\+([0-9]+)$/\1 \2 \3 \4/p' |
        sort -k1,1nr -k2,2nr | awk '$1 * $2 > 1 { print $1 "x" $2 "+" $3 "+" $4; exit }')
    [ -n "$geometry" ] || fail "found no window on the virtual screen"
    import -window root -crop "$geometry" +repage "$out"
    exit 0
fi

build=${1:-$here/build}
out=${2:-$here/docs/screenshot.png}

bash "$here/tools/install-packages.sh" xvfb xauth imagemagick x11-utils fonts-dejavu-core

if [ ! -x "$build/bin/hoop-updater-demo" ]; then
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$build" --target hoop-updater-demo
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
xvfb-run -a -s "-screen 0 1280x900x24" \
    bash "${BASH_SOURCE[0]}" --capture "$build/bin/hoop-updater-demo" "$scratch/raw.png" \
    "$scratch/demo.log" || { tail -n 30 "$scratch/demo.log" >&2 || true; fail "capture failed"; }

# A palette of 64 colours keeps the picture small and the text sharp.
mkdir -p "$(dirname "$out")"
convert "$scratch/raw.png" -strip +dither -colors 64 -define png:compression-level=9 "$out"
echo "make-screenshot: wrote $out ($(du -k "$out" | cut -f1) KiB)"
