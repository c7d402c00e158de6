#!/usr/bin/env bash
# A second build of the product and its tests with AddressSanitizer and
# UndefinedBehaviorSanitizer, then the whole suite on it. Any finding fails the
# run: UBSan halts, ASan and LeakSanitizer exit non-zero. Usage:
#   tools/ci-sanitizers.sh [build-dir]        (default: build-asan)
# Expects the packages tools/quickstart.sh installs.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$here/build-asan}
jobs=$(nproc)

# -O1 keeps the build and the run short while still finding what -O2 would hide.
san="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all"
cmake -S "$here" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE= \
    -DCMAKE_CXX_FLAGS="-O1 -g $san" \
    -DCMAKE_EXE_LINKER_FLAGS="$san" \
    -DCMAKE_SHARED_LINKER_FLAGS="$san" \
    -DHOOP_BUILD_BENCH=OFF
cmake --build "$build" -j "$jobs"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:halt_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export QT_QPA_PLATFORM=offscreen

cd "$build"
# The fuzz tests build their own clang targets with these sanitizers already.
ctest --output-on-failure --timeout 900 -j "$jobs" -E '^fuzz_'
