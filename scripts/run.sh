#!/usr/bin/env bash
# Builds both programs (build/sentrova for Linux, build-win/sentrova.exe for Windows)
# and runs the Linux one in this terminal. Installs what the build needs.
# Ports: $SENTROVA_COMDIR/comN when set, else /dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*
# numbered as Wine numbers them.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
cd "$SENTROVA_ROOT"

ensure_packages "${BUILD_PACKAGES[@]}"
build_linux build -DSENTROVA_TESTS=OFF -DSENTROVA_BENCH=OFF
build_windows build-win -DSENTROVA_TESTS=OFF
echo "Built build/sentrova and build-win/sentrova.exe"
exec build/sentrova "$@"
