#!/usr/bin/env bash
# Mutation check: applies each fault kept under tests/mutants/ to the product
# code, one at a time, rebuilds, runs the fast tests and reverts. A mutant is
# caught when a test fails (or hangs past the bound); one whose original text
# is no longer in the product is "stale". Slow, so not part of CI.
#
#   tools/mutation-check.sh [MUTANT-NAME...]
#
# Environment: BUILD_DIR (default <checkout>/build-mutation), TEST_TIMEOUT
# (seconds any one test may run, default 240), JOBS (default 2).
# COMPARE_BUILD: the mutation build of another checkout with the same product
# code but other tests; its tests run too, against this build's mutated
# library, so two versions of the suite are compared in one pass.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build-mutation}
timeout=${TEST_TIMEOUT:-240}
jobs=${JOBS:-2}
mutate="$root/tools/mutate.py"
logs="$build/mutation-logs"

if [ $# -gt 0 ]; then
    mutants=()
    for name in "$@"; do mutants+=("$root/tests/mutants/${name%.mutant}.mutant"); done
else
    mutants=("$root"/tests/mutants/*.mutant)
fi

# The file under mutation and its untouched copy; put back on any exit.
target=""
backup=$(mktemp)
restore() {
    if [ -n "$target" ]; then
        cp "$backup" "$root/$target"
        # A fresh time stamp, so the next build compiles the original again.
        touch "$root/$target"
        target=""
    fi
}
trap 'restore; rm -f "$backup"' EXIT
trap 'exit 130' INT TERM

build() {
    cmake --build "$build" -j "$jobs" >"$1" 2>&1
}
compare=${COMPARE_BUILD:-}
test_dir=$build
ctest_in_build() {
    (cd "$test_dir" && LD_LIBRARY_PATH="$build${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
        QT_QPA_PLATFORM=offscreen ctest -j "$jobs" --timeout "$timeout" \
        --stop-on-failure --output-on-failure "$@")
}
# The fast tests: all but the soak and the fuzzers. A mutant may name the tests
# most likely to catch it ("tests: a b"); those run first, so that a caught
# mutant costs only them.
fast_tests() {
    local log=$1 first=${2:-}
    if [ -n "$first" ]; then
        local names="${first// /|}"
        ctest_in_build -R "^($names)\$" >"$log" 2>&1 || return 1
        ctest_in_build -E "^(soak|fuzz_.*|$names)\$" >>"$log" 2>&1
    else
        ctest_in_build -E '^(soak|fuzz_)' >"$log" 2>&1
    fi
}

# Quick rebuilds: no optimisation, no debug information, no benchmarks, and a
# shared product library so a mutant relinks one library, not every test.
command -v python3 >/dev/null || { echo "python3 is needed to apply the mutants"; exit 1; }
launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_CXX_FLAGS=-O0 -DHOOP_BUILD_BENCH=OFF -DHOOP_CORE_SHARED=ON \
    -DHOOP_TEST_TIMEOUT="$timeout" "${launcher[@]}" >/dev/null
mkdir -p "$logs"
start=$(date +%s)

echo "Building and running the fast tests on the unchanged code..."
build "$logs/baseline-build.log" || { echo "The unchanged code does not build: $logs/baseline-build.log"; exit 1; }
fast_tests "$logs/baseline-tests.log" ||
    { echo "The fast tests fail on the unchanged code: $logs/baseline-tests.log"; exit 1; }
if [ -n "$compare" ]; then
    test_dir=$compare
    fast_tests "$logs/baseline-compare-tests.log" ||
        { echo "The compared tests fail on the unchanged code: $logs/baseline-compare-tests.log"; exit 1; }
    test_dir=$build
fi
caught2=0 survivors2=()

caught=0 total=0
survivors=() stale=() broken=()
for mutant in "${mutants[@]}"; do
    name=$(basename "$mutant" .mutant)
    total=$((total + 1))
    file=$("$mutate" target "$mutant" "$root")
    cp "$root/$file" "$backup"
    target=$file
    if ! "$mutate" apply "$mutant" "$root" >"$logs/$name.log"; then
        restore
        stale+=("$name")
        printf '%-45s stale\n' "$name"
        continue
    fi
    t0=$(date +%s)
    if ! build "$logs/$name.build.log"; then
        verdict="does not build"
        broken+=("$name")
    elif fast_tests "$logs/$name.log" "$(sed -n 's/^tests: *//p' "$mutant")"; then
        verdict="SURVIVED"
        survivors+=("$name")
    else
        verdict="caught"
        caught=$((caught + 1))
    fi
    if [ -n "$compare" ] && [ "$verdict" != "does not build" ]; then
        test_dir=$compare
        if fast_tests "$logs/$name.compare.log" "$(sed -n 's/^tests: *//p' "$mutant")"; then
            verdict+=", compared: SURVIVED"
            survivors2+=("$name")
        else
            verdict+=", compared: caught"
            caught2=$((caught2 + 1))
        fi
        test_dir=$build
    fi
    restore
    printf '%-45s %s (%ss)\n' "$name" "$verdict" "$(($(date +%s) - t0))"
done
# Leave the build matching the code again.
build "$logs/final-build.log" || true

echo
echo "caught $caught/$total in $(($(date +%s) - start))s"
[ ${#survivors[@]} -eq 0 ] || printf 'survived: %s\n' "${survivors[@]}"
[ ${#stale[@]} -eq 0 ] || printf 'stale (original text not found): %s\n' "${stale[@]}"
[ ${#broken[@]} -eq 0 ] || printf 'does not build: %s\n' "${broken[@]}"
if [ -n "$compare" ]; then
    echo "compared tests ($compare): caught $caught2/$total"
    [ ${#survivors2[@]} -eq 0 ] || printf 'survived the compared tests: %s\n' "${survivors2[@]}"
fi
echo "logs: $logs"
[ ${#survivors[@]} -eq 0 ] && [ ${#stale[@]} -eq 0 ] && [ ${#broken[@]} -eq 0 ]
