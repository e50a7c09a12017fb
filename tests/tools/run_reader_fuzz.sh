#!/usr/bin/env bash
# Builds the reader fuzz targets with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) and runs reader_fuzz on a corpus of real
# containers.  chunk_decode_fuzz (the column decoders alone) is built beside
# it; run it by hand: BUILD_DIR/reader_fuzz/chunk_decode_fuzz -max_total_time=N DIR
#
#   tests/tools/run_reader_fuzz.sh [SECONDS] [BUILD_DIR]
#
# The seed corpus: containers of every column type (make_reader_seeds.cpp)
# and, when the `sarn` command is built, containers of real CSV files.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
SECONDS_TO_RUN="${1:-600}"
BUILD="${2:-$ROOT/build/reader_fuzz}"
OUT="$BUILD/reader_fuzz"
mkdir -p "$OUT/obj" "$OUT/corpus" "$OUT/crashes"

FLAGS=(-std=c++20 -O1 -g -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined
       -fno-sanitize-recover=undefined -I"$ROOT/src")
objs=()
for src in "$ROOT"/src/common/*.cpp "$ROOT"/src/codec/*.cpp "$ROOT"/src/container/*.cpp; do
    obj="$OUT/obj/$(basename "${src%.cpp}").o"
    if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ]; then clang++ "${FLAGS[@]}" -c "$src" -o "$obj"; fi
    objs+=("$obj")
done
clang++ "${FLAGS[@]}" -fsanitize=fuzzer "$ROOT/tests/tools/reader_fuzz.cpp" "${objs[@]}" -o "$OUT/reader_fuzz"
clang++ "${FLAGS[@]}" -fsanitize=fuzzer "$ROOT/tests/tools/chunk_decode_fuzz.cpp" "${objs[@]}" -o "$OUT/chunk_decode_fuzz"
clang++ "${FLAGS[@]}" "$ROOT/tests/tools/make_reader_seeds.cpp" "${objs[@]}" -o "$OUT/make_reader_seeds"
"$OUT/make_reader_seeds" "$OUT/corpus"

SARN="${SARN:-$ROOT/build/container/tools/sarn}"
if [ -x "$SARN" ]; then
    for csv in ubuntu s57expectedinput airports sp500-2000; do
        [ -f "$OUT/corpus/$csv.sarn" ] || "$SARN" compress "$ROOT/tests/data/$csv.csv" "$OUT/corpus/$csv.sarn" >/dev/null 2>&1 || true
    done
fi

cd "$OUT"
ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" \
    ./reader_fuzz -max_total_time="$SECONDS_TO_RUN" -rss_limit_mb=2048 -max_len=1048576 \
    -artifact_prefix="$OUT/crashes/" -print_final_stats=1 corpus
