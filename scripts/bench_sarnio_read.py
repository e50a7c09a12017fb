"""Reading speed of sarnio against pyarrow's CSV reader and Parquet, on the
199 MB big.csv (flights-3m.csv 36 times) and its container.

Not a test: it measures and prints a table of ratios from one run.

    python scripts/bench_sarnio_read.py [--data DIR] [--work DIR]

- to_arrow() of the whole container at 1 and 2 threads (with the cores
  the best run had: CPU time over wall time), beside
  pyarrow.csv.read_csv of big.csv and pyarrow.parquet.read_table of a
  Parquet file of the same table, at the same thread counts;
- an == filter on a file sorted by that column: chunks read (last_scan) and
  time beside the full read;
- peak RSS of a process that runs iter_batches over the whole container.

Needs /work/shared/data (or --data) for flights-3m.csv; says so and stops
when it is missing.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import subprocess
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_data import SHARED_DATA, build_big, build_sorted  # noqa: E402


def best_of(n, fn):
    return best_with_cores(n, fn)[:2]


def best_with_cores(n, fn):
    """The best wall time of n runs, the last result, and the cores the best
    run had: its CPU time over its wall time.  On a shared machine a 2-thread
    run that got about 1 core was starved, whatever the code does."""
    best = (float("inf"), 0.0)
    result = None
    for _ in range(n):
        start, cpu = time.perf_counter(), time.process_time()
        result = fn()
        wall, used = time.perf_counter() - start, time.process_time() - cpu
        best = min(best, (wall, used / wall))
    return best[0], result, best[1]


def load_now() -> str:
    """The 1-minute load average: the machine may be shared, and a figure
    measured beside other work says so."""
    return f"{os.getloadavg()[0]:.2f}"



def compress(csv: pathlib.Path) -> pathlib.Path:
    import sarn_fileformat

    out = csv.with_suffix(".sarn")
    if not out.exists():
        sarn_fileformat.compress_csv(str(csv), str(out))
    return out


# The child reads its own VmHWM: the rusage of a child forked from this big
# process can carry the parent's peak.
RSS_CHILD = """
import sys, sarnio
rows = 0
with sarnio.open(sys.argv[1]) as f:
    for batch in f.iter_batches():
        rows += len(next(iter(batch.values())))
hwm = [line.split()[1] for line in open("/proc/self/status") if line.startswith("VmHWM:")][0]
print(rows, hwm)
"""


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--data", type=pathlib.Path, default=SHARED_DATA)
    ap.add_argument("--work", type=pathlib.Path, default=pathlib.Path("/tmp/sarnio-read-bench"))
    args = ap.parse_args()
    if not (args.data / "flights-3m.csv").exists():
        raise SystemExit(f"{args.data}/flights-3m.csv is missing: nothing to measure")
    args.work.mkdir(parents=True, exist_ok=True)

    import pyarrow as pa
    import pyarrow.csv as pcsv
    import pyarrow.parquet as pq

    import sarnio

    big = build_big(args.data, args.work)
    big_sarn = compress(big)
    parquet = args.work / "big.parquet"
    if not parquet.exists():
        pq.write_table(pcsv.read_csv(big, convert_options=pcsv.ConvertOptions(column_types={
            n: pa.string() for n in ("date", "delay", "distance", "origin", "destination")})), parquet)

    load_before = load_now()
    rows = []
    for threads in (1, 2):
        pa.set_cpu_count(threads)
        pa.set_io_thread_count(threads)
        with sarnio.open(big_sarn) as f:
            t_sarn, table, cores = best_with_cores(3, lambda threads=threads: f.to_arrow(threads=threads))
        many = threads > 1
        t_csv, _ = best_of(3, lambda many=many: pcsv.read_csv(big, read_options=pcsv.ReadOptions(use_threads=many)))
        t_pq, _ = best_of(3, lambda many=many: pq.read_table(parquet, use_threads=many))
        rows.append((threads, t_sarn, t_csv, t_pq, cores))

    print(f"big.csv {big.stat().st_size:,} bytes, container {big_sarn.stat().st_size:,} bytes, "
          f"parquet {parquet.stat().st_size:,} bytes; load average before {load_before}, after {load_now()}")
    print(f"{'threads':>7} {'sarnio to_arrow':>16} {'(cores)':>8} {'pyarrow csv':>12} {'parquet':>9} "
          f"{'csv/sarnio':>11} {'sarnio/parquet':>15}")
    for threads, t_sarn, t_csv, t_pq, cores in rows:
        print(f"{threads:>7} {t_sarn:>15.3f}s {cores:>8.2f} {t_csv:>11.3f}s {t_pq:>8.3f}s {t_csv / t_sarn:>10.2f}x "
              f"{t_sarn / t_pq:>14.2f}x")
    # The scaling of each reader: its 1-thread time over its 2-thread time, from this run.
    (_, s1, c1, p1, _), (_, s2, c2, p2, _) = rows
    print(f"2 threads over 1: sarnio {s1 / s2:.2f}x, pyarrow csv {c1 / c2:.2f}x, parquet {p1 / p2:.2f}x")

    sorted_sarn = compress(build_sorted(args.data, args.work))
    with sarnio.open(sorted_sarn) as f:
        value = f.statistics("origin")[f.num_chunks // 2].min
        t_full, _ = best_of(3, lambda: f.to_arrow())
        t_eq, hit = best_of(3, lambda: f.to_arrow(filters=[("origin", "==", value)]))
        scan = f.last_scan
        holding = sum(1 for s in f.statistics("origin") if s.min <= value <= s.max)
    print(f"sorted file, origin == {value!r}: {hit.num_rows:,} rows, {scan.chunks_read} of {scan.chunks_total} chunks "
          f"read ({holding} hold the value by min/max); {t_eq:.3f}s vs full read {t_full:.3f}s "
          f"({t_full / t_eq:.1f}x faster)")

    out = subprocess.run([sys.executable, "-c", RSS_CHILD, str(big_sarn)], capture_output=True, text=True, check=True)
    n, rss_kib = out.stdout.split()
    print(f"iter_batches over big.sarn: {int(n):,} rows, peak RSS {int(rss_kib) / 1024:.1f} MiB")


if __name__ == "__main__":
    main()
