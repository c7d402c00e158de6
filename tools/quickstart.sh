#!/usr/bin/env bash
# Installs what is missing, builds, and then either runs the program or the
# whole test suite. Usage: tools/quickstart.sh run|test [build-dir]
set -euo pipefail

mode=${1:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${2:-$here/build}

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev libgl-dev fonts-dejavu-core libcurl4-openssl-dev libcpp-httplib-dev libssl-dev openssl
    dfu-programmer libusb-1.0-0-dev umockdev libumockdev-dev
    libsodium-dev minisign
    clang libclang-rt-14-dev
    xvfb xauth
    dbus
)

install_missing() {
    bash "$here/tools/install-packages.sh" "${packages[@]}"
}

configure() {
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
}

# Only what run starts: the program, the demo and its simulated hoop's tool,
# and the bundled DFU tool when the build found one to bundle. The tests, the
# fuzzers and the benchmarks stay configured but unbuilt, so that test can
# build them in the same directory later.
build_to_run() {
    local targets=(hoop-updater hoop-updater-demo hoopsim-dfu-programmer)
    if grep -q '^HOOP_BUNDLED_DFU_PROGRAMMER:INTERNAL=' "$build/CMakeCache.txt"; then
        targets+=(bundled-dfu-programmer)
    fi
    cmake --build "$build" --target "${targets[@]}"
}

case "$mode" in
run)
    install_missing
    configure
    build_to_run
    if [ -x "$build/bin/hoop-updater-demo" ]; then
        exec "$build/bin/hoop-updater-demo"
    fi
    exec "$build/bin/hoop-updater"
    ;;
test)
    install_missing
    configure
    cmake --build "$build"
    cd "$build"
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 600 -j "$(nproc)"
    ;;
*)
    echo "usage: $0 run|test [build-dir]" >&2
    exit 2
    ;;
esac
