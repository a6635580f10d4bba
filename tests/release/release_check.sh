#!/usr/bin/env bash
# Checks the release files of two runs of scripts/release.sh on the same commit, made
# from clones in different folders at different times:
#   - the zip, both .debs (amd64, arm64), the sentrova.exe inside the zip and SHA256SUMS are the same
#     bytes (on a difference: the file, the first differing offsets, and diffoscope's
#     account of where it lies when diffoscope is installed);
#   - names, versions, member order, times, owners and modes of both archives;
#   - sentrova.exe: no link time, no symbols, the version resource's texts;
#   - the licence, LICENSE of the commit, in both: the zip's LICENSE.txt (CR LF),
#     named by its README.txt; the package's copyright file, machine-readable;
#   - every relative link of the commit's README.md and docs/*.md names a file of it;
#   - lintian finds no error in either package and no copyright warning (its other
#     warnings are listed);
#   - each package, unpacked into a scratch root, runs without a terminal and finds a
#     simulated receiver (the arm64 one under qemu-aarch64-static).
# Usage: release_check.sh DIST1 DIST2 SIM COMMIT
#   DIST1, DIST2   the two --out folders; SIM the receiver simulator (sentrova-sim);
#   COMMIT         the commit both were made from
set -uo pipefail
[ $# -eq 4 ] || { sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
dist1=$(realpath "$1")
dist2=$(realpath "$2")
sim=$(realpath "$3")
commit=$4
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

work=$(mktemp -d /tmp/sentrova-release-check.XXXXXX)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

failed=0
fail() { echo "FAIL: $*"; failed=1; }
note() { echo "release: $*"; }

texts=$(git -C "$root" show "$commit:resources/texts.h")
git -C "$root" show "$commit:LICENSE" >"$work/LICENSE" || fail "the commit has no LICENSE"
Text() { sed -n "s/^#define $1 \"\\(.*\\)\"\$/\\1/p" <<<"$texts"; }
version=$(Text SENTROVA_VERSION)
epoch=$(git -C "$root" log -1 --format=%ct "$commit")
zipname=sentrova-$version-win64.zip
debname=sentrova_${version}_amd64.deb
armname=sentrova_${version}_arm64.deb

# ---- Same bytes -----------------------------------------------------------------

# Explain A B NAME: where two files differ.
Explain() {
  local count
  count=$(cmp -l "$1" "$2" 2>/dev/null | wc -l)
  echo "  $3: sizes $(stat -c %s "$1") and $(stat -c %s "$2"), $count bytes differ; first offsets (decimal, 1-based) and octal bytes:"
  cmp -l "$1" "$2" 2>/dev/null | head -n 8 | sed 's/^/    /'
  if command -v diffoscope >/dev/null; then
    echo "  diffoscope:"
    timeout 300 diffoscope --no-progress --text - "$1" "$2" 2>&1 | head -n 120 | sed 's/^/    /'
  fi
}

Names() { (cd "$1" && echo *); }
[ "$(Names "$dist1")" = "$(Names "$dist2")" ] ||
  fail "the two runs made different files: $(Names "$dist1") / $(Names "$dist2")"
[ "$(Names "$dist1")" = "SHA256SUMS $zipname $debname $armname" ] ||
  fail "release files: $(Names "$dist1"), expected SHA256SUMS $zipname $debname $armname"
python3 - "$dist1/$zipname" "$work/exe1" "$dist2/$zipname" "$work/exe2" <<'EOF' || fail "cannot read sentrova.exe from the zips"
import sys, zipfile
for archive, target in ((sys.argv[1], sys.argv[2]), (sys.argv[3], sys.argv[4])):
    with zipfile.ZipFile(archive) as z, open(target, "wb") as out:
        out.write(z.read("sentrova.exe"))
EOF
same=0
for name in "$zipname" "$debname" "$armname" SHA256SUMS sentrova.exe; do
  a=$dist1/$name b=$dist2/$name
  [ "$name" = sentrova.exe ] && a=$work/exe1 b=$work/exe2
  if [ ! -f "$a" ] || [ ! -f "$b" ]; then continue; fi
  if cmp -s "$a" "$b"; then
    same=$((same + 1))
  else
    fail "$name differs between the two runs"
    Explain "$a" "$b" "$name"
  fi
done
note "$same of 5 files the same bytes in both runs"
for dist in "$dist1" "$dist2"; do
  (cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS in $dist does not match its files"
done

# ---- The zip and sentrova.exe ---------------------------------------------------

python3 - "$dist1/$zipname" "$work/exe1" "$epoch" "$version" "$work/LICENSE" <<'EOF' || fail "the zip or sentrova.exe"
import struct, sys, time, zipfile
archive, exe, epoch, version = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
licence = open(sys.argv[5], "rb").read()
problems = []
with zipfile.ZipFile(archive) as z:
    infos = z.infolist()
    names = [i.filename for i in infos]
    if names != ["README.txt", "LICENSE.txt", "sentrova.exe"]:
        problems.append("members %s, expected README.txt, LICENSE.txt, sentrova.exe" % names)
    # zip keeps local time to two seconds, an odd second rounded up; the release
    # writes it as UTC.
    want = time.gmtime(epoch + epoch % 2)[:6]
    for i in infos:
        if i.date_time != want:
            problems.append("%s dated %s, expected %s" % (i.filename, i.date_time, want))
        if i.extra:
            problems.append("%s has extra fields (times, owners)" % i.filename)
        mode = i.external_attr >> 16 & 0o777
        expected = 0o755 if i.filename.endswith(".exe") else 0o644
        if mode != expected:
            problems.append("%s has mode %o, expected %o" % (i.filename, mode, expected))
    readme = z.read("README.txt") if "README.txt" in names else b""
    if b"\n" in readme.replace(b"\r\n", b""):
        problems.append("README.txt has lines that do not end in CR LF")
    for text in ("Sentrova " + version, "LICENSE.txt", "SHA256SUMS", "SmartScreen"):
        if text.encode() not in readme:
            problems.append("README.txt does not name " + text)
    # The licence as it is, line ends aside: a clipped or stale copy differs.
    if "LICENSE.txt" in names and z.read("LICENSE.txt") != licence.replace(b"\n", b"\r\n"):
        problems.append("LICENSE.txt is not the commit's LICENSE with CR LF line ends")
data = open(exe, "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
if data[pe:pe + 4] != b"PE\0\0":
    problems.append("sentrova.exe is not a PE file")
else:
    stamp, symbols, count = struct.unpack_from("<III", data, pe + 8)
    if stamp != 0:
        problems.append("sentrova.exe carries a link time in its header: %d" % stamp)
    if symbols != 0 or count != 0:
        problems.append("sentrova.exe is not stripped: %d symbols" % count)
for text in ("VS_VERSION_INFO", "Sentrova v" + version, "ProductVersion\0" + version):
    if text.encode("utf-16-le") not in data:
        problems.append("sentrova.exe lacks the text %r" % text)
for p in problems:
    print("  " + p)
sys.exit(1 if problems else 0)
EOF

# The documents: every relative link (a file, an image) of README.md and docs/*.md
# names a file of the commit, and README.md leads to the licence and to both
# documents for maintainers.
python3 - "$root" "$commit" <<'EOF' || fail "the documents' links"
import os, re, subprocess, sys
def Git(*args): return subprocess.run(["git", "-C", sys.argv[1]] + list(args), capture_output=True, text=True).stdout
tree = set(Git("ls-tree", "-r", "--name-only", sys.argv[2]).split("\n"))
problems, found = [], set()
for document in ["README.md"] + sorted(f for f in tree if re.fullmatch(r"docs/[^/]+\.md", f)):
    for target in re.findall(r"\]\(([^)\s#]+)[^)]*\)", Git("show", "%s:%s" % (sys.argv[2], document))):
        if re.match(r"[a-z]+:", target): continue
        path = os.path.normpath(os.path.join(os.path.dirname(document), target))
        found.add((document, path))
        if path not in tree: problems.append("%s links to %s, which the commit does not hold" % (document, target))
problems += ["README.md has no link to " + f for f in ("LICENSE", "docs/design.md", "docs/development.md")
             if ("README.md", f) not in found]
for p in problems:
    print("  " + p)
print("release: %d links in the documents" % len(found))
sys.exit(1 if problems else 0)
EOF

# ---- The packages ---------------------------------------------------------------

# CheckPackage DEB ARCH [EMULATOR]: the package's fields, files, copyright file and
# lintian; then its program, unpacked, run (through EMULATOR for a foreign
# architecture) without a terminal against a simulated receiver.
CheckPackage() {
  local deb=$1 arch=$2 emulator=("${@:3}")
  local here_work=$work/$arch
  mkdir -p "$here_work"

  field() { dpkg-deb -f "$deb" "$1"; }
  [ "$(field Package)" = sentrova ] || fail "Package: $(field Package)"
  [ "$(field Version)" = "$version" ] || fail "Version: $(field Version), expected $version"
  [ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
  [[ "$(field Maintainer)" == "$(Text SENTROVA_TEXT_PUBLISHER) <"*@*">" ]] || fail "Maintainer: $(field Maintainer)"
  [[ "$(field Depends)" == *"libc6 (>= "* ]] || fail "Depends lacks libc6: $(field Depends)"
  # gpsd's answers are read by the program itself: no gpsd library, on either architecture.
  [[ "$(field Depends)" == *"libgps"* ]] && fail "Depends names a gpsd library: $(field Depends)"
  [ "$(dpkg-deb -f "$deb" Description | wc -l)" -ge 3 ] || fail "Description: $(field Description)"

  # Every member: root's, the commit's time, folders 755, files 644 but the program.
  want_files="./usr/bin/sentrova ./usr/share/doc/sentrova/changelog.gz ./usr/share/doc/sentrova/copyright
              ./usr/share/man/man1/sentrova.1.gz ./usr/share/bash-completion/completions/sentrova"
  dpkg-deb --fsys-tarfile "$deb" >"$here_work/data.tar"
  python3 - "$here_work/data.tar" "$epoch" "$want_files" <<'EOF' || fail "the package's files"
import sys, tarfile
tar, epoch, want = sys.argv[1], int(sys.argv[2]), sorted(sys.argv[3].split())
problems, files = [], []
for m in tarfile.open(tar):
    if m.uid or m.gid or m.uname != "root" or m.gname != "root":
        problems.append("%s owned by %s:%s (%d:%d)" % (m.name, m.uname, m.gname, m.uid, m.gid))
    if m.mtime != epoch:
        problems.append("%s dated %d, expected %d" % (m.name, m.mtime, epoch))
    if m.isdir():
        expected = 0o755
    else:
        files.append(m.name)
        expected = 0o755 if m.name == "./usr/bin/sentrova" else 0o644
    if m.mode != expected:
        problems.append("%s has mode %o, expected %o" % (m.name, m.mode, expected))
if sorted(files) != want:
    problems.append("files %s, expected %s" % (sorted(files), want))
for p in problems:
    print("  " + p)
sys.exit(1 if problems else 0)
EOF

  # The copyright file in Debian's machine-readable format: fields and their
  # continuation lines only; a header naming the format and the MIT licence; one
  # paragraph for every file with the holder of LICENSE and of the rights notice, and
  # LICENSE's terms, line for line, as the Expat licence's text.
  python3 - "$here_work/data.tar" "$work/LICENSE" "$(Text SENTROVA_TEXT_RIGHTS)" <<'EOF' || fail "the package's copyright file"
import re, sys, tarfile
text = tarfile.open(sys.argv[1]).extractfile("./usr/share/doc/sentrova/copyright").read().decode()
licence = open(sys.argv[2]).read()
holder = re.sub(r"^\(C\) *", "", sys.argv[3])
paragraphs = text.rstrip("\n").split("\n\n")
problems = ["not a field: %r" % l for p in paragraphs for l in p.split("\n") if not re.match(r"[\w-]+: | ", l)]
if not re.match(r"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n(.*\n)*.*MIT", paragraphs[0]):
    problems.append("the header names no copyright-format 1.0 or no MIT licence")
head = re.search(r"^Copyright \(c\) ([0-9]+) %s\n\n" % re.escape(holder), licence, re.M)
terms = licence[head.end():].rstrip("\n").split("\n") if head else ["LICENSE names no " + holder]
files = "Files: *\nCopyright: %s %s\nLicense: Expat\n" % (head.group(1) if head else "?", holder)
if files + "\n".join(" " + (line or ".") for line in terms) not in paragraphs:
    problems.append("no paragraph 'Files: *' with the holder and LICENSE's terms as Expat")
for p in problems:
    print("  " + p)
sys.exit(1 if problems else 0)
EOF


  # lintian: errors and copyright warnings fail; the rest is listed. (Its note about
  # running as root is left out.)
  lintian --display-info --tag-display-limit 0 "$deb" >"$here_work/lintian.txt" 2>&1
  lintian_status=$?
  grep -v "running with root privileges" "$here_work/lintian.txt" | sed 's/^/  lintian: /'
  if grep -q '^E: ' "$here_work/lintian.txt" || [ "$lintian_status" -ne 0 ]; then
    fail "lintian reports errors on $arch (status $lintian_status)"
  elif grep -q '^W: [^ ]* [^ ]*copyright' "$here_work/lintian.txt"; then
  fail "lintian warns about the copyright file"
  else
    note "lintian $arch: no errors, $(grep -c '^W: ' "$here_work/lintian.txt") warnings, $(grep -c '^I: ' "$here_work/lintian.txt") notes"
  fi

  # ---- The installed program ------------------------------------------------------

  dpkg -x "$deb" "$here_work/root" || fail "dpkg -x failed"
  program=$here_work/root/usr/bin/sentrova
  [ "$("${emulator[@]}" "$program" --version </dev/null)" = "sentrova $version" ] ||
    fail "--version of the installed $arch program: $("${emulator[@]}" "$program" --version </dev/null 2>&1 | head -n 2)"

  # One receiver, a real log at 4800 on COM3; the scan without a terminal finds it.
  mkdir -p "$here_work/com"
  "$sim" --dir "$here_work/com" --port "3:nmea:4800:$root/tests/data/nmea/GPSmap-76S.nmea" \
    >"$here_work/sim.out" 2>"$here_work/sim.err" &
  sim_pid=$!
  for _ in $(seq 100); do
    grep -qx ready "$here_work/sim.out" 2>/dev/null && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.2
  done
  if ! grep -qx ready "$here_work/sim.out"; then
    fail "the simulator did not start: $(cat "$here_work/sim.err")"
  else
    echo | SENTROVA_COMDIR="$here_work/com" timeout 120 "${emulator[@]}" "$program" >"$here_work/scan.log" 2>"$here_work/result.txt"
    status=$?
    [ "$status" -eq 0 ] || fail "the installed $arch program exited $status"
    want="Completed: GPS device found at COM3: / 4800 bauds"
    if grep -qxF "$want" "$here_work/result.txt"; then
      note "installed $arch program: '$want'"
    else
      fail "the installed $arch program's result: $(head -n 3 "$here_work/result.txt"); log: $(tail -n 3 "$here_work/scan.log")"
  fi
  fi
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
    sim_pid=""
  fi
}

CheckPackage "$dist1/$debname" amd64
# The arm64 program runs under QEMU's user mode, its libraries from multiarch.
CheckPackage "$dist1/$armname" arm64 qemu-aarch64-static

if [ "$failed" -eq 0 ]; then echo "release check passed"; else echo "release check FAILED"; fi
exit "$failed"
