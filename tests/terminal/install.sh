#!/usr/bin/env bash
# `cmake --install` of the Linux build into a staging folder: the program in bin, its
# manual page in share/man/man1, which renders with no groff warning, and its bash
# completion in share/bash-completion/completions, which completes.
# Usage: install.sh BUILD_DIR
set -u
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

DESTDIR="$work/stage" cmake --install "$build" --prefix /usr/local >"$work/install.log" 2>&1 \
  || fail "cmake --install: $(cat "$work/install.log")"
root=$work/stage/usr/local
[ -x "$root/bin/sentrova" ] || fail "no executable bin/sentrova"
[ "$("$root/bin/sentrova" --version)" = "sentrova 1.04" ] || fail "the installed program's --version"
page=$root/share/man/man1/sentrova.1.gz
[ -f "$page" ] || fail "no share/man/man1/sentrova.1.gz"
# Only files under the prefix, none of them named after the build.
unexpected=$(find "$work/stage" -type f ! -path "$work/stage/usr/local/*")
[ -z "$unexpected" ] || fail "installed outside the prefix: $unexpected"
gzip -t "$page" || fail "the page is no valid gzip"

# -ww: every warning; -z: no output, only the diagnostics.
gzip -dc "$page" >"$work/sentrova.1"
groff -ww -man -Tutf8 -z "$work/sentrova.1" 2>"$work/groff.err" || fail "groff failed"
[ ! -s "$work/groff.err" ] || fail "groff warns: $(cat "$work/groff.err")"
MANWIDTH=80 man --warnings -l "$page" >"$work/page.txt" 2>"$work/man.err" || fail "man -l failed"
[ ! -s "$work/man.err" ] || fail "man warns: $(cat "$work/man.err")"
for part in "SENTROVA(1)" "NAME" "--help" "SENTROVA_COMDIR" "EXIT STATUS" "sudo usermod -aG dialout" \
            "--scan" "--device PATH" "stable_path" "gpsd_rate"; do
  grep -qF -- "$part" "$work/page.txt" || fail "the rendered page lacks '$part'"
done

# The completion, as bash-completion loads it: options, and a --device's paths.
completion=$root/share/bash-completion/completions/sentrova
mkdir "$work/com" && ln -s /dev/null "$work/com/com1"
# shellcheck disable=SC2016  # expanded by the inner bash
complete_line='source "$1"; shift; COMP_WORDS=(sentrova "$@"); COMP_CWORD=$#; _sentrova; echo "${COMPREPLY[*]}"'
got=$(bash -c "$complete_line" _ "$completion" --scan --d)
[ "$got" = "--device" ] || fail "completion of 'sentrova --scan --d': '$got'"
got=$(SENTROVA_COMDIR=$work/com bash -c "$complete_line" _ "$completion" --scan --device "$work/com/")
[ "$got" = "$work/com/com1" ] || fail "completion of a --device: '$got'"

# After --device it offers a node of every series the program numbers, as its help
# lists them, and the Pi's serial0 link: under a /dev of the test's own, in a mount
# namespace (root only), holding one node of each series and a console it must not
# offer.
if [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null; then
  series=$("$root/bin/sentrova" --help | tr '\n' ' ' | sed -n 's/.* of the series \(.*\), in this order.*/\1/p' |
    sed 's/, then /, /g; s/, / /g')
  [ -n "$series" ] || fail "no series in the help"
  # shellcheck disable=SC2016  # expanded by the inner shell
  got=$(unshare --mount sh -c 'mount -t tmpfs none /dev && cd /dev && for s in $1; do : >"${s}0"; done &&
        : >tty0 && : >serial0 && shift && bash -c "$@"' _ "$series" "$complete_line" _ "$completion" \
        --scan --device /dev/)
  want="/dev/serial0"
  for s in $series; do want="$want /dev/${s}0"; done
  [ "$(tr ' ' '\n' <<<"$got" | sort | xargs)" = "$(tr ' ' '\n' <<<"$want" | sort | xargs)" ] \
    || fail "completion of --device /dev/: '$got', wanted '$want'"
fi

if [ "$failed" -eq 0 ]; then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit "$failed"
