# Shared by the scripts: package checks and the build folders.
# shellcheck shell=bash

SENTROVA_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export SENTROVA_ROOT

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs, from Debian's registry, every named package that is not installed yet.
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# What the Linux and Windows builds need; the Linux program reads gpsd's answers and
# writes its JSON result with nlohmann-json.
BUILD_PACKAGES=(g++ make cmake googletest g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
                nlohmann-json3-dev)
# What the tests add: Wine and a virtual display for the Windows program, a terminal
# multiplexer for the terminal dialog, clang for the fuzzer, the static analysers,
# groff and man for the manual page's check, gpsd as a real neighbour on a port (in a
# network namespace of its own: util-linux's unshare, iproute2's ip), jq to read the
# JSON result.
TEST_PACKAGES=(wine wine64 xvfb xdotool imagemagick x11-utils tmux clang-14 libclang-rt-14-dev
               clang-tidy-14 cppcheck python3 groff-base man-db gpsd util-linux iproute2 jq)

# What scripts/release.sh adds: a clean clone, the zip, dpkg-shlibdeps for the
# package's Depends. And what checking a release adds: the package checker, and
# diffoscope (its small variant) to show where two builds differ.
RELEASE_PACKAGES=(git zip dpkg-dev)
# The arm64 package and its checks: Debian's aarch64 cross compiler, the arm64
# libraries the program builds and runs against (multiarch), QEMU's user and system
# modes, cpio for the guest's initramfs. The guest's kernel and busybox are fetched
# with apt-get download, never installed (busybox-static:arm64 would replace the
# host's busybox).
ARM64_PACKAGES=(g++-aarch64-linux-gnu libc6-dev:arm64 libstdc++-12-dev:arm64
                qemu-user-static qemu-system-arm cpio python3)
RELEASE_CHECK_PACKAGES=(lintian diffoscope-minimal python3)

# Makes arm64 a foreign architecture of dpkg's (once), then installs ARM64_PACKAGES.
ensure_arm64_packages() {
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    echo "Adding arm64 to dpkg's architectures"
    as_root dpkg --add-architecture arm64
    as_root apt-get update -qq
  fi
  ensure_packages "${ARM64_PACKAGES[@]}"
}

jobs() { nproc 2>/dev/null || echo 2; }

# Configures and builds one Linux build folder: build_linux DIR [cmake options...]
build_linux() {
  local dir=$1
  shift
  cmake -S "$SENTROVA_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$(jobs)"
}

# Configures and builds the Windows build folder: build_windows DIR [cmake options...]
build_windows() {
  local dir=$1
  shift
  cmake -S "$SENTROVA_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$SENTROVA_ROOT/cmake/mingw-w64.cmake" "$@" >/dev/null
  cmake --build "$dir" -j "$(jobs)"
}
