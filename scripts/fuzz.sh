#!/usr/bin/env bash
# Builds the block codec's libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each for a short while.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#
# SECONDS_PER_TARGET defaults to 60; the targets are codec_roundtrip_fuzzer
# and codec_decode_fuzzer.  Corpora grow in fuzz/corpus-<target>/ (not in
# git), starting from the small seeds in fuzz/seeds/<target>/.  Crash inputs
# are written to the build directory (SARN_FUZZ_BUILD, default build/fuzz).
# The run stops with a non-zero status at the first crash.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${SARN_FUZZ_BUILD:-$ROOT/build/fuzz}"
SECONDS_PER_TARGET="${1:-60}"
[ $# -gt 0 ] && shift
TARGETS=("$@")
[ ${#TARGETS[@]} -eq 0 ] && TARGETS=(codec_roundtrip_fuzzer codec_decode_fuzzer column_decode_fuzzer scan_fuzzer)

command -v clang++ >/dev/null || { echo "error: clang++ not found (apt-get install clang)" >&2; exit 1; }
GENERATOR=()
command -v ninja >/dev/null && GENERATOR=(-G Ninja)

CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" "${GENERATOR[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSARN_SANITIZE=ON -DSARN_BUILD_FUZZERS=ON \
    -DSARN_BUILD_PYTHON=OFF -DSARN_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target "${TARGETS[@]}"

for target in "${TARGETS[@]}"; do
    corpus="$ROOT/fuzz/corpus-$target"
    mkdir -p "$corpus"
    case "$target" in
        codec_roundtrip_fuzzer) max_len=16384 ;;  # room for token streams past 512 bytes
        *) max_len=8192 ;;
    esac
    echo "==> $target for ${SECONDS_PER_TARGET}s (corpus $corpus)" >&2
    nice -n 10 "$BUILD/fuzz/$target" "$corpus" "$ROOT/fuzz/seeds/$target" \
        -max_total_time="$SECONDS_PER_TARGET" -max_len="$max_len" -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$BUILD/$target-"
    echo "==> $target: corpus now $(find "$corpus" -type f | wc -l) files" >&2
done
