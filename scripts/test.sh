#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build with its unit, stand-in,
# integration and terminal tests; the same under AddressSanitizer+UBSan and under
# ThreadSanitizer; the Windows build, its core tests under Wine; the arm64 build, its
# tests under QEMU's user mode and a Pi's UART under its system mode; the end-to-end
# runs of both programs against simulated receivers; a fixed-time fuzz run; the static
# analysers. Installs what it needs. Exits non-zero on the first failure.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$SENTROVA_ROOT"

ensure_arm64_packages
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${RELEASE_PACKAGES[@]}" \
  "${RELEASE_CHECK_PACKAGES[@]}"

stage() { printf '\n==== %s (at %d s) ====\n' "$*" $(( $(date +%s) - started )); }
started=$(date +%s)

stage "Linux build and tests"
build_linux build
ctest --test-dir build --output-on-failure -j 2 -LE e2e

stage "AddressSanitizer + UBSan"
build_linux build-asan -DSENTROVA_ASAN=ON -DSENTROVA_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j 2 -LE e2e

stage "ThreadSanitizer"
build_linux build-tsan -DSENTROVA_TSAN=ON -DSENTROVA_BENCH=OFF
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure -j 2 -LE e2e

stage "Windows build, core tests under Wine"
build_windows build-win -DSENTROVA_TESTS=OFF
build_windows build-win-tests -DSENTROVA_TESTS=ON
export WINEPREFIX="$SENTROVA_ROOT/build-win-tests/wineprefix" WINEDEBUG=-all
ctest --test-dir build-win-tests --output-on-failure
wineserver -k 2>/dev/null || true
unset WINEPREFIX

stage "Release: built twice from clean clones, compared; the package checked"
# Two runs of the release script on clean clones of the last commit, in folders of
# different names and depths, under another umask and time zone the second time.
release_work=$(mktemp -d /tmp/sentrova-release-test.XXXXXX)
echo "Release builds in $release_work (kept if this stage fails)"
scripts/release.sh --out "$release_work/one/dist" --work "$release_work/one/work"
(umask 077 && TZ=America/Los_Angeles scripts/release.sh --out "$release_work/second-run/dist" \
  --work "$release_work/second-run/a/deeper/work")
tests/release/release_check.sh "$release_work/one/dist" "$release_work/second-run/dist" \
  build/tests/sim/sentrova-sim "$(git rev-parse HEAD)"
rm -rf "$release_work"

# SENTROVA_SKIP_ARM64=1 leaves this stage out of a local run; CI (.ci/run) runs it.
if [ "${SENTROVA_SKIP_ARM64:-0}" = 1 ]; then
  stage "arm64: skipped (SENTROVA_SKIP_ARM64=1)"
else
  stage "arm64: cross build, its tests under qemu-user, a Pi's UART in qemu-system"
  cmake -S "$SENTROVA_ROOT" -B build-arm64 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$SENTROVA_ROOT/cmake/aarch64-linux-gnu.cmake" -DSENTROVA_BENCH=OFF >/dev/null
  cmake --build build-arm64 -j "$(jobs)" --target sentrova
  tests/arm64/arm64_check.sh user build-arm64 build/tests/sim/sentrova-sim
  tests/arm64/arm64_check.sh system build-arm64/sentrova
fi

stage "Fuzzing: sentence recognition, 60 s"
tests/fuzz/run.sh build 60

stage "Static analysis"
scripts/lint.sh build-lint

stage "End to end"
# The Wine half skips without the Windows program; here it must run.
[ -f build-win/sentrova.exe ] || { echo "build-win/sentrova.exe is missing" >&2; exit 1; }
ctest --test-dir build --output-on-failure -L e2e -j 2

printf '\nAll tests passed in %d s.\n' $(( $(date +%s) - started ))
