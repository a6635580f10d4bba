#!/usr/bin/env bash
# Prints the sizes of the release files and of the programs in them, the Windows
# program beside its goal, and where the bytes of sentrova.exe go (its sections).
# Usage: release_sizes.sh [DIST]   DIST: a folder made by scripts/release.sh (dist/)
set -euo pipefail
dist=${1:-$(cd "$(dirname "$0")/.." && pwd)/dist}
zip=$(ls "$dist"/sentrova-*-win64.zip 2>/dev/null | head -n 1)
deb=$(ls "$dist"/sentrova_*_amd64.deb 2>/dev/null | head -n 1)
if [ -z "$zip" ] || [ -z "$deb" ]; then
  echo "release_sizes.sh: no release files in $dist (run scripts/release.sh first)" >&2
  exit 1
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 -c 'import sys, zipfile; open(sys.argv[2], "wb").write(zipfile.ZipFile(sys.argv[1]).read("sentrova.exe"))' \
  "$zip" "$work/sentrova.exe"
dpkg-deb -x "$deb" "$work/root"

goal=$((250 * 1024))
size() { stat -c %s "$1"; }
kib() { awk -v b="$1" 'BEGIN { printf "%.1f KiB", b / 1024 }'; }
exe=$(size "$work/sentrova.exe")
linux=$(size "$work/root/usr/bin/sentrova")

printf '| %-28s | %10s | %10s | %-21s |\n' file bytes size goal
printf '|%s|%s|%s|%s|\n' ------------------------------ ------------ ------------ -----------------------
printf '| %-28s | %10d | %10s | %-21s |\n' "sentrova.exe (stripped)" "$exe" "$(kib "$exe")" \
  "250 KiB: $(awk -v a="$exe" -v g="$goal" 'BEGIN { printf "%.2f of it", a / g }')"
printf '| %-28s | %10d | %10s | %-21s |\n' "sentrova (Linux, stripped)" "$linux" "$(kib "$linux")" ""
default=$(cd "$(dirname "$0")/.." && pwd)/build-win/sentrova.exe
if [ -f "$default" ]; then
  printf '| %-28s | %10d | %10s | %-21s |\n' "build-win/sentrova.exe" "$(size "$default")" \
    "$(kib "$(size "$default")")" "(default build)"
fi
for file in "$zip" "$deb"; do
  printf '| %-28s | %10d | %10s | %-21s |\n' "$(basename "$file")" "$(size "$file")" "$(kib "$(size "$file")")" ""
done

echo
echo "sentrova.exe by section (bytes in the file; .rsrc holds the icons and the dialog):"
x86_64-w64-mingw32-objdump -h "$work/sentrova.exe" | while read -r index name hex _; do
  [[ $index =~ ^[0-9]+$ ]] && printf '  %-8s %8d\n' "$name" "$((16#$hex))"
done
