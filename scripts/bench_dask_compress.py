#!/usr/bin/env python3
"""Benchmark of sarnio.dask.compress_csv on a two-process LocalCluster beside
sarnio.compress_csv(threads=2) on the same machine.

Not a test: it measures.  It builds big.csv as bench_compress_csv.py does
(the data rows of flights-3m.csv 36 times, 199 MB), starts a LocalCluster of
two worker processes with one thread each on the loopback interface, and
alternates runs of the two (--repeat times each), checking every container
against the first one (creation time masked).  It reports wall time, input
throughput (MB/s, 1 MB = 10^6 bytes), their ratio, the time of each step of
the distributed job, and the cost per GB of its one serial step, the final
write, which bounds how far more machines can help.

Usage: python scripts/bench_dask_compress.py [--data DIR] [--work DIR] [--repeat N] [--blocksize B]
Run it with the interpreter that has sarnio and sarnio[dask] installed.
"""

import argparse
import os
import pathlib
import sys
import time

REPO = pathlib.Path(__file__).resolve().parents[1]


def load_big_builder():
    # Every benchmark measures the same big.csv (scripts/bench_data.py).
    sys.path.insert(0, str(REPO / "scripts"))
    import bench_data

    return bench_data.build_big


def masked(path):
    data = bytearray(pathlib.Path(path).read_bytes())
    data[24:32] = bytes(8)
    return bytes(data)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--data", type=pathlib.Path, default=REPO.parent / "shared" / "data")
    ap.add_argument("--work", type=pathlib.Path, default=pathlib.Path("/tmp/sarn-bench"))
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--blocksize", default="64 MiB")
    args = ap.parse_args()
    if not (args.data / "flights-3m.csv").exists():
        raise SystemExit(f"{args.data / 'flights-3m.csv'} is missing: the benchmark needs the shared data folder")
    args.work.mkdir(parents=True, exist_ok=True)

    import distributed
    import sarnio
    import sarnio.dask

    big = load_big_builder()(args.data, args.work)
    size = big.stat().st_size
    started = time.perf_counter()
    cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                       dashboard_address=None)
    client = distributed.Client(cluster)
    print(f"LocalCluster of 2 processes x 1 thread started in {time.perf_counter() - started:.1f} s (not counted)")
    one_out = args.work / "big-threads2.sarn"
    dist_out = args.work / "big-dask.sarn"
    reference = None
    one, dist, steps = [], [], []
    try:
        # A warm-up run of each, not counted: imports on the workers, page cache.
        sarnio.compress_csv(big, one_out, threads=2)
        sarnio.dask.compress_csv(big, dist_out, client=client, blocksize=args.blocksize)
        reference = masked(one_out)
        for _ in range(args.repeat):
            t = time.perf_counter()
            sarnio.compress_csv(big, one_out, threads=2)
            one.append(time.perf_counter() - t)
            t = time.perf_counter()
            r = sarnio.dask.compress_csv(big, dist_out, client=client, blocksize=args.blocksize)
            dist.append(time.perf_counter() - t)
            steps.append(dict(sarnio.dask._last_steps))
            if masked(dist_out) != reference or masked(one_out) != reference:
                raise SystemExit("the containers differ")
    finally:
        client.close()
        cluster.close()

    best_one, best_dist = min(one), min(dist)
    out_size = dist_out.stat().st_size
    print(f"input: {big} ({size:,} bytes), container {out_size:,} bytes, {r.rows:,} rows, {r.chunks} chunks; "
          f"containers identical (creation time masked)")
    print(f"{'run':<52}{'best s':>8}{'runs s':>24}{'MB/s':>8}")
    print(f"{'sarnio.compress_csv(threads=2)':<52}{best_one:>8.2f}{' '.join(f'{x:.2f}' for x in one):>24}"
          f"{size / 1e6 / best_one:>8.1f}")
    print(f"{'sarnio.dask.compress_csv, LocalCluster 2x1, ' + args.blocksize:<52}{best_dist:>8.2f}"
          f"{' '.join(f'{x:.2f}' for x in dist):>24}{size / 1e6 / best_dist:>8.1f}")
    print(f"ratio dask / threads=2 (throughput): {best_one / best_dist:.2f} x")
    best = steps[dist.index(best_dist)]
    print("steps of the best distributed run (s): " +
          ", ".join(f"{k} {best[k]:.2f}" for k in ("prepare", "scan", "encode", "assemble", "total")))
    assemble = min(s["assemble"] for s in steps)
    print(f"final write (assemble, serial): {assemble:.3f} s = {assemble / (size / 1e9):.3f} s per GB of CSV, "
          f"{assemble / (out_size / 1e9):.3f} s per GB of container")
    parallel = best["scan"] + best["encode"]
    print(f"parallel steps (scan + encode) on 2 worker threads: {parallel:.2f} s; serial part "
          f"(prepare + assemble + scheduling between steps): {best['total'] - parallel:.2f} s")
    for n in (2, 4, 8, 16, 32):
        est = (best["total"] - parallel) + parallel * 2 / n
        print(f"  estimate with {n:>2} worker cores: {est:.2f} s ({size / 1e6 / est:.0f} MB/s)")
    for p in (one_out, dist_out):
        os.unlink(p)
    return 0


if __name__ == "__main__":
    sys.exit(main())
