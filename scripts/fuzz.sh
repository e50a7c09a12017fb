#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs each for a short while.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#
# SECONDS_PER_TARGET defaults to 60.  The targets (all by default):
#   codec_roundtrip_fuzzer  every stage of the block codec and the block
#                           compressor round-trip arbitrary bytes
#   codec_decode_fuzzer     the block and stage decoders on arbitrary bytes
#   reader_fuzzer           the verifying container reader on arbitrary files
#   chunk_decode_fuzzer     the column decoders on arbitrary payloads
#   column_decode_fuzzer    decoding arbitrary payloads into column buffers,
#                           then filtering, selecting and exporting to Arrow
#   scan_fuzzer             whole files through filtered scans and the Arrow
#                           stream
#   container_builder_fuzzer  containers assembled from structured input
#                           (counts, encodings, block methods, contents that
#                           repeat into gigabytes, nesting, statistics), read
#                           by every reader under a 64 MiB budget per chunk
# Each target runs with an RSS limit of its readers' memory budget plus a
# margin for the sanitizers, and with any one allocation limited to twice
# the budget: an allocation made before its size was checked ends the run.
# Corpora grow in fuzz/corpus-<target>/ (not in git), starting from the seeds
# in fuzz/seeds/<target>/ (codec) or from containers and column payloads that
# make_fuzz_seeds writes into the build directory (reader, chunk decoder).
# Crash inputs are written to the build directory (SARN_FUZZ_BUILD, default
# build/fuzz).  The run stops with a non-zero status at the first crash.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

BUILD="${SARN_FUZZ_BUILD:-$ROOT/build/fuzz}"
SECONDS_PER_TARGET="${1:-60}"
[ $# -gt 0 ] && shift
TARGETS=("$@")
[ ${#TARGETS[@]} -eq 0 ] && TARGETS=(codec_roundtrip_fuzzer codec_decode_fuzzer reader_fuzzer chunk_decode_fuzzer
    column_decode_fuzzer scan_fuzzer container_builder_fuzzer)
# What the sanitizers and the fuzzer take beside what the target decodes:
# their shadow memory, a quarantine of freed memory kept small here, the
# corpus in memory.
MARGIN_MB=384

# clang with its sanitizer and libFuzzer runtimes; cmake and ninja from the
# virtual environment, as for the tests.
ensure_apt clang libclang-rt-14-dev
ensure_venv
export PATH="$VENV/bin:$PATH"

CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSARN_SANITIZE=ON -DSARN_BUILD_FUZZERS=ON \
    -DSARN_BUILD_PYTHON=OFF -DSARN_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target "${TARGETS[@]}" make_fuzz_seeds

GENERATED_SEEDS="$BUILD/seeds"
mkdir -p "$GENERATED_SEEDS/reader_fuzzer" "$GENERATED_SEEDS/chunk_decode_fuzzer"
"$BUILD/fuzz/make_fuzz_seeds" "$GENERATED_SEEDS/reader_fuzzer" "$GENERATED_SEEDS/chunk_decode_fuzzer"

for target in "${TARGETS[@]}"; do
    corpus="$ROOT/fuzz/corpus-$target"
    mkdir -p "$corpus"
    # budget: the most the target's readers may decode at once, in MiB (the
    # codec and column targets' output limits, the readers' max_chunk_bytes).
    case "$target" in
        codec_roundtrip_fuzzer) max_len=16384 budget=1 seeds="$ROOT/fuzz/seeds/$target" ;;  # room for token streams past 512 bytes
        codec_decode_fuzzer) max_len=8192 budget=2 seeds="$ROOT/fuzz/seeds/$target" ;;
        reader_fuzzer) max_len=1048576 budget=4 seeds="$GENERATED_SEEDS/$target" ;;  # whole containers
        chunk_decode_fuzzer) max_len=16384 budget=1 seeds="$GENERATED_SEEDS/$target" ;;
        column_decode_fuzzer) max_len=8192 budget=1 seeds="$ROOT/fuzz/seeds/$target" ;;
        scan_fuzzer) max_len=16384 budget=4 seeds="$ROOT/fuzz/seeds/$target" ;;
        container_builder_fuzzer) max_len=16384 budget=64 seeds="" ;;
        *) echo "error: unknown fuzz target $target" >&2; exit 2 ;;
    esac
    log "$target for ${SECONDS_PER_TARGET}s, budget ${budget} MiB (corpus $corpus)"
    ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:quarantine_size_mb=32:malloc_context_size=8}" \
    nice -n 10 "$BUILD/fuzz/$target" "$corpus" $seeds \
        -max_total_time="$SECONDS_PER_TARGET" -max_len="$max_len" \
        -rss_limit_mb=$((budget + MARGIN_MB)) -malloc_limit_mb=$((2 * budget + 16)) \
        -print_final_stats=1 -artifact_prefix="$BUILD/$target-"
    log "$target: corpus now $(find "$corpus" -type f | wc -l) files"
done
