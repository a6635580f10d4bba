#!/usr/bin/env bash
# Builds the release files of the last commit, from a clean clone of it:
#
#   sentrova-VERSION-win64.zip   sentrova.exe (stripped, static), README.txt and
#                                LICENSE.txt, the MIT licence
#   sentrova_VERSION_amd64.deb   the Linux program, made with CPack; the licence in
#                                its copyright file
#   sentrova_VERSION_arm64.deb   the same for 64-bit Arm (Raspberry Pi OS 64-bit),
#                                cross-built with Debian's aarch64 toolchain
#   SHA256SUMS                   over the three
#
# Usage: release.sh [--out DIR] [--work DIR]
#   --out DIR    where the files go (default: dist/ of this tree); earlier release
#                files there are replaced, nothing else is touched
#   --work DIR   the scratch folder for the clone and the builds, new or empty, kept
#                afterwards (default: a new folder under /tmp, removed at the end)
#
# The same commit gives the same bytes wherever and whenever it is built: times come
# from the commit (SOURCE_DATE_EPOCH), the build folders stay out of the binaries and
# the archives list their members in a fixed order with fixed times, owners and modes.
# Uncommitted changes are not part of a release. Installs what it needs.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

out=$SENTROVA_ROOT/dist
work=""
while [ $# -gt 0 ]; do
  case $1 in
    --out) out=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    -h|--help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "release.sh: unknown argument '$1' (try --help)" >&2; exit 2 ;;
  esac
done

ensure_arm64_packages
ensure_packages "${BUILD_PACKAGES[@]}" "${RELEASE_PACKAGES[@]}"
# Modes of what CPack makes (the package's folders, its ar members) follow the umask.
umask 022

commit=$(git -C "$SENTROVA_ROOT" rev-parse HEAD)
if [ -n "$(git -C "$SENTROVA_ROOT" status --porcelain --untracked-files=no)" ]; then
  echo "release.sh: the tree has uncommitted changes; releasing the last commit without them" >&2
fi

if [ -z "$work" ]; then
  work=$(mktemp -d /tmp/sentrova-release.XXXXXX)
  trap 'rm -rf "$work"' EXIT
else
  mkdir -p "$work"
  if [ -n "$(ls -A "$work")" ]; then
    echo "release.sh: the work folder '$work' is not empty" >&2
    exit 2
  fi
fi
work=$(realpath "$work")
mkdir -p "$out"
out=$(realpath "$out")

# A clean checkout of the commit: nothing of this tree's builds or untracked files.
git clone --quiet --no-checkout "$SENTROVA_ROOT" "$work/src"
git -C "$work/src" -c advice.detachedHead=false checkout --quiet "$commit"
src=$work/src

SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct)
export SOURCE_DATE_EPOCH
# Text() NAME: a text of resources/texts.h, where the version and the credits live.
Text() {
  local text
  text=$(sed -n "s/^#define $1 \"\(.*\)\"\$/\1/p" "$src/resources/texts.h")
  [ -n "$text" ] || { echo "release.sh: no $1 in resources/texts.h" >&2; exit 1; }
  echo "$text"
}
version=$(Text SENTROVA_VERSION)
echo "Release $version of $commit ($(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC'))"

# Quiet LOG COMMAND...: runs a step with its output in LOG, shown when it fails.
Quiet() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { tail -n 40 "$log" >&2; echo "release.sh: failed: $*" >&2; exit 1; }
}

# The same optimisation as the builds the tests run (build-win: Release; build:
# RelWithDebInfo, whose debug information -s then drops), plus SENTROVA_RELEASE.
release_options=(-DSENTROVA_RELEASE=ON -DSENTROVA_TESTS=OFF -DSENTROVA_BENCH=OFF)
Quiet "$work/win.log" cmake -S "$src" -B "$work/win" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64.cmake" "${release_options[@]}"
Quiet "$work/win-build.log" cmake --build "$work/win" -j "$(jobs)" --target sentrova
Quiet "$work/linux.log" cmake -S "$src" -B "$work/linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${release_options[@]}"
Quiet "$work/linux-build.log" cmake --build "$work/linux" -j "$(jobs)" --target sentrova
Quiet "$work/arm64.log" cmake -S "$src" -B "$work/arm64" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$src/cmake/aarch64-linux-gnu.cmake" "${release_options[@]}"
Quiet "$work/arm64-build.log" cmake --build "$work/arm64" -j "$(jobs)" --target sentrova

# The Windows program must run on a bare Windows: it may import Windows' own DLLs only.
exe=$work/win/sentrova.exe
imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\tDLL Name: //p' | tr '[:upper:]' '[:lower:]' | sort)
for dll in $imports; do
  case $dll in
    kernel32.dll|user32.dll|gdi32.dll|comctl32.dll|advapi32.dll|msvcrt.dll) ;;
    *) echo "release.sh: sentrova.exe imports $dll, which Windows does not ship" >&2; exit 1 ;;
  esac
done

# The zip: three members in a fixed order, with the commit's time (zip stores local
# time: UTC here), fixed modes and no extra attributes (-X) or folder entries (-D).
# Its texts end their lines in CR LF, as Windows' own editors expect.
zipdir=$work/zip
mkdir -p "$zipdir"
cp "$exe" "$zipdir/sentrova.exe"
sed 's/$/\r/' "$src/LICENSE" >"$zipdir/LICENSE.txt"
sed 's/$/\r/' >"$zipdir/README.txt" <<EOF
Sentrova $version
=============

Sentrova finds the serial port and baud rate of a GPS receiver attached to this
computer. It tries COM1 to COM255 at 4800, 9600, 19200, 38400, 57600 and 115200
bit/s and looks for NMEA 0183 sentences from a GPS receiver.

sentrova.exe needs no installation and no other files: copy it to any folder (a
USB stick will do) and start it. Plug the receiver in, press Detect (or Enter)
and wait; the dialog stays busy until the scan is over, a few seconds for each
port that answers. The result is shown in a box: "GPS device found at COM3: /
4800 bauds", or "No GPS devices found". Quit or Escape ends the program.

Is this the file that was published?
------------------------------------
The file SHA256SUMS, published with this release, holds the SHA-256 checksum of
this zip. In PowerShell, in the folder of the download:

    Get-FileHash sentrova-$version-win64.zip

prints the zip's checksum (Hash, in capitals where SHA256SUMS has small letters).
If it is the one SHA256SUMS gives, the zip is, byte for byte, the one that was
published; if not, it was damaged or changed on its way: do not run what is in
it. Take SHA256SUMS from where the release is
published, not from wherever the zip came from. The program's Properties
(Details tab) show its version, $version, and its publisher.

"Windows protected your PC"
---------------------------
sentrova.exe is a new program with no code signature, so Windows knows nothing
of it yet. Started from a downloaded zip, it may be stopped by Microsoft
Defender SmartScreen: "Windows protected your PC", "Microsoft Defender
SmartScreen prevented an unrecognized app from starting", publisher "Unknown
publisher". That says the program is unknown to Windows, not that it was found
harmful. Once the checksum above matches, choose "More info", then "Run
anyway". (Or, before unpacking, open the zip's Properties, tick "Unblock" and
press OK: what is unpacked from it then starts without the prompt.) On a
computer an administrator manages, "Run anyway" may be missing: ask them.

The log of a scan
-----------------
Each step of a scan is written to standard output. To keep it, start Sentrova
from a console (cmd.exe) in its folder with the output sent to a file:

    sentrova.exe > scan.log

then press Detect, close the program and read scan.log, for instance with
"type scan.log" or in Notepad.

Licence
-------
Sentrova is free software under the MIT licence, in LICENSE.txt beside this
file: anyone may use, copy, change and pass it on, as long as the licence goes
with it. It comes with no warranty.

$(Text SENTROVA_TEXT_RIGHTS), $(Text SENTROVA_TEXT_PUBLISHER), https://$(Text SENTROVA_TEXT_WEB)
EOF
chmod 0755 "$zipdir/sentrova.exe"
chmod 0644 "$zipdir/README.txt" "$zipdir/LICENSE.txt"
TZ=UTC touch -d "@$SOURCE_DATE_EPOCH" "$zipdir/sentrova.exe" "$zipdir/README.txt" "$zipdir/LICENSE.txt"
zipname=sentrova-$version-win64.zip
(cd "$zipdir" && rm -f "$work/$zipname" &&
  TZ=UTC zip -q -X -D -9 "$work/$zipname" README.txt LICENSE.txt sentrova.exe)

# The Debian package: CPack takes file times from SOURCE_DATE_EPOCH and writes root
# as every owner (see cmake/packaging.cmake).
(cd "$work/linux" && Quiet "$work/cpack.log" cpack -G DEB -B "$work/deb")
debname=sentrova_${version}_amd64.deb
[ -f "$work/deb/$debname" ] || { echo "release.sh: CPack made no $debname" >&2; exit 1; }

# The arm64 package: dpkg-shlibdeps reads the arm64 libraries' symbols files, finding
# the libraries through the multiarch folders libc6:arm64 adds to ld.so.conf.
(cd "$work/arm64" && Quiet "$work/cpack-arm64.log" cpack -G DEB -B "$work/deb-arm64")
armname=sentrova_${version}_arm64.deb
[ -f "$work/deb-arm64/$armname" ] || { echo "release.sh: CPack made no $armname" >&2; exit 1; }

rm -f "$out"/sentrova-*-win64.zip "$out"/sentrova_*_amd64.deb "$out"/sentrova_*_arm64.deb "$out/SHA256SUMS"
cp "$work/$zipname" "$work/deb/$debname" "$work/deb-arm64/$armname" "$out/"
(cd "$out" && sha256sum "$zipname" "$debname" "$armname" >SHA256SUMS)
echo "Release files in $out:"
(cd "$out" && ls -l "$zipname" "$debname" "$armname" SHA256SUMS && cat SHA256SUMS)
