#!/usr/bin/env bash
# Builds the codec benchmark (Release) and runs it on the text column blocks
# of the sample CSV files, then prints one table: MB/s (10^6 bytes/s of
# uncompressed data, CPU time) per block for compress_block, each decoder,
# zlib level 6 and zstd level 3, the ratio of compress_block to zlib level 6,
# and the medians over the full 65,536-row blocks and over all blocks.
# Blocks are named file/fullK/colC for the K-th full chunk of 65,536 rows, or
# file/part0/colC for a file with fewer rows (its only chunk).
#
#   scripts/bench.sh [extra Google Benchmark flags, e.g. --benchmark_filter=flights]
#
# The build goes to SARN_BENCH_BUILD (default build/bench); the raw JSON
# results to $SARN_BENCH_BUILD/codec_bench.json.
#
# The blocks come from the sample CSV files in ../shared/data beside the
# repository; without them there is nothing to measure and the script says so.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

BUILD="${SARN_BENCH_BUILD:-$ROOT/build/bench}"
DATA="$ROOT/../shared/data"
if [ ! -d "$DATA" ]; then
    echo "error: the codec benchmark needs the sample CSV files in $DATA (the shared data folder" >&2
    echo "beside the repository), which is missing; nothing was measured" >&2
    exit 1
fi

# Google Benchmark, and zlib and zstd as the peers; cmake and ninja from the
# virtual environment, as for the tests.
ensure_apt g++ libbenchmark-dev zlib1g-dev libzstd-dev
ensure_venv
export PATH="$VENV/bin:$PATH"

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSARN_BUILD_BENCHMARKS=ON \
    -DSARN_BUILD_PYTHON=OFF -DSARN_BUILD_TESTS=OFF -DSARN_SANITIZE=OFF >/dev/null
cmake --build "$BUILD" -j2 --target codec_bench

JSON="$BUILD/codec_bench.json"
nice -n 5 "$BUILD/bench/codec_bench" --benchmark_min_time="${SARN_BENCH_MIN_TIME:-0.3}" \
    --benchmark_out="$JSON" --benchmark_out_format=json "$@" >/dev/null

python3 - "$JSON" <<'PY'
import json, statistics, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
cols = ["compress_block", "lz_encode", "decompress_block", "lz_decode", "huffman_decode", "range_decode", "zlib6", "zstd3"]
table = {}
for r in runs:
    if r.get("run_type", "iteration") != "iteration":
        continue
    kind, block = r["name"].split("/", 1)
    table.setdefault(block, {})[kind] = r["bytes_per_second"] / 1e6
width = max(max(len(b) for b in table), 36) + 2
print("MB/s".ljust(width) + "".join(c.rjust(17) for c in cols) + "   cb/zlib6")
for block, row in table.items():
    ratio = row["compress_block"] / row["zlib6"] if "compress_block" in row and "zlib6" in row else float("nan")
    print(block.ljust(width) + "".join(("%.1f" % row[c]).rjust(17) if c in row else "-".rjust(17) for c in cols)
          + ("%.2f" % ratio).rjust(11))
def medians(label, rows):
    if not rows:
        return
    med = {c: statistics.median(r[c] for r in rows if c in r) for c in cols if any(c in r for r in rows)}
    ratio = ("%.2f" % (med["compress_block"] / med["zlib6"])).rjust(11) if "compress_block" in med and "zlib6" in med else ""
    print(label.ljust(width) + "".join(("%.1f" % med[c]).rjust(17) if c in med else "-".rjust(17) for c in cols) + ratio)
print()
medians("median, %d full 65,536-row blocks" % sum(1 for b in table if "/full" in b),
        [r for b, r in table.items() if "/full" in b])
medians("median, all %d blocks" % len(table), list(table.values()))
PY
