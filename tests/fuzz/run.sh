#!/usr/bin/env bash
# Fuzzes sentence recognition (detect/sentence.cpp) with libFuzzer under ASan and
# UBSan, and checks every answer against the naive reading in sentence_fuzz.cpp.
#
#   tests/fuzz/run.sh [BUILD_DIR] [SECONDS]     (defaults: build, 60)
#
# Builds with clang++-14 into BUILD_DIR/fuzz (the main build uses g++, so this one
# is not part of CMake). Seeds: the receiver logs of tests/data/nmea (each given the
# "0 " header, whole data) and the hand-made edge cases of tests/fuzz/corpus. New
# inputs the fuzzer finds go to BUILD_DIR/fuzz/corpus and are replayed next time.
# Exits non-zero when the fuzzer finds anything: a crash, a sanitizer report, a
# leak, a hang, or an answer that differs from the reference.
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib.sh"
cd "$SENTROVA_ROOT"

build=${1:-build}
seconds=${2:-60}
out=$build/fuzz
ensure_packages clang-14 libclang-rt-14-dev

mkdir -p "$out/corpus" "$out/artifacts"
clang++-14 -std=c++20 -g -O1 -fno-exceptions -Wall -Wextra \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer \
  -I "$SENTROVA_ROOT" detect/sentence.cpp tests/fuzz/sentence_fuzz.cpp \
  -o "$out/sentence_fuzz"

rm -rf "$out/seeds"
mkdir -p "$out/seeds"
for log in tests/data/nmea/*.nmea; do
  { printf '0 '; cat "$log"; } >"$out/seeds/$(basename "$log")"
done

# Anything left from an earlier run would be mistaken for a finding of this one.
rm -f "$out"/artifacts/*
status=0
# The outer timeout only guards against a fuzzer that never stops.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  timeout $((seconds + 300)) "$out/sentence_fuzz" \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -dict=tests/fuzz/nmea.dict -artifact_prefix="$out/artifacts/" -print_final_stats=1 \
  "$out/corpus" "$out/seeds" tests/fuzz/corpus >"$out/fuzz.log" 2>&1 || status=$?

findings=$(find "$out/artifacts" -type f | wc -l)
if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then
  tail -n 60 "$out/fuzz.log" >&2
  echo "sentence_fuzz: FAILED (exit $status, $findings finding(s) in $out/artifacts;" \
    "replay one with: $out/sentence_fuzz FILE)" >&2
  exit 1
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/fuzz.log")
echo "sentence_fuzz: ${runs:-?} inputs in ${seconds} s, no findings (log: $out/fuzz.log)"
