#!/usr/bin/env python3
"""A group-by over big.csv's container with sarnio.dask.read_sarn on a
two-process LocalCluster, beside pandas in one process, for several
partition sizes.

Not a test: it measures and prints a table from one run.  The queries are
what a new user would write: the flights per origin, and their number and mean
distance,

    df.groupby("origin").size()
    df.groupby("origin")["distance"].agg(["count", "mean"])

the text column `distance` turned into integers first (the container keeps
every column as text; pandas' read_csv finds integers itself).  It runs:
  - pandas in one process: pandas.read_csv of big.csv (every column, as a
    new user reads it) and sarnio's to_pandas of the container (the two
    columns), then the group-by;
  - read_sarn on a LocalCluster of two worker processes with one thread
    each, with split_chunks=True (a partition per chunk, as read_sarn did
    before it grouped chunks) and with several blocksizes, the default
    among them;
each --repeat times, reporting the best time of each query and its ratio
to pandas' read_csv in the same run (above 1: faster than pandas), with
the load average before and after.  Every result is checked against
pandas'.

Usage: python scripts/bench_dask_read.py [--data DIR] [--work DIR] [--repeat N]
"""

import argparse
import os
import pathlib
import sys
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "scripts"))
from bench_data import SHARED_DATA, build_big  # noqa: E402


def count_per_origin(df):
    return df.groupby("origin").size().to_frame("count")


def mean_distance(df):
    d = df.assign(distance=df["distance"].astype("int64"))
    return d.groupby("origin")["distance"].agg(["count", "mean"])


QUERIES = [("count", count_per_origin), ("mean", mean_distance)]


def best_of(n, fn):
    times = []
    result = None
    for _ in range(n):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), result


def same(a, b):
    import pandas as pd

    a = a.sort_index()
    b = b.sort_index()
    pd.testing.assert_frame_equal(a.astype("float64"), b.astype("float64"), check_names=False,
                                  check_index_type=False)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--data", type=pathlib.Path, default=SHARED_DATA)
    ap.add_argument("--work", type=pathlib.Path, default=pathlib.Path("/tmp/sarnio-read-bench"))
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    if not (args.data / "flights-3m.csv").exists():
        raise SystemExit(f"{args.data}/flights-3m.csv is missing: nothing to measure")
    args.work.mkdir(parents=True, exist_ok=True)

    import distributed
    import pandas as pd

    import sarn_fileformat
    import sarnio
    import sarnio.dask

    big = build_big(args.data, args.work)
    big_sarn = big.with_suffix(".sarn")
    if not big_sarn.exists():
        sarn_fileformat.compress_csv(str(big), str(big_sarn))
    with sarnio.open(big_sarn) as f:
        chunks = f.num_chunks
    load_before = f"{os.getloadavg()[0]:.2f}"

    rows = []
    base = {}
    want = {}
    for name, query in QUERIES:
        base[name], want[name] = best_of(args.repeat, lambda query=query: query(pd.read_csv(big)))
    rows.append(("pandas read_csv, 1 process", 1, dict(base)))

    def sarnio_one(query):
        with sarnio.open(big_sarn) as f:
            return query(f.to_pandas(columns=["origin", "distance"], threads=1))

    times = {}
    for name, query in QUERIES:
        times[name], got = best_of(args.repeat, lambda query=query: sarnio_one(query))
        same(got, want[name])
    rows.append(("sarnio to_pandas, 1 process", 1, times))

    cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                       dashboard_address=None)
    client = distributed.Client(cluster)
    try:
        variants = [("split_chunks=True", {"split_chunks": True})]
        for size in ("4 MiB", "8 MiB", "16 MiB", "32 MiB", "64 MiB"):
            label = f"blocksize={size!r}" + (" (default)" if size == sarnio.dask.DEFAULT_BLOCKSIZE else "")
            variants.append((label, {"blocksize": size}))
        for label, options in variants:
            times = {}
            for name, query in QUERIES:
                times[name], got = best_of(args.repeat,
                                           lambda query=query, options=options:
                                           query(sarnio.dask.read_sarn(big_sarn, **options)).compute())
                same(got, want[name])
            rows.append((f"read_sarn {label}", sarnio.dask.read_sarn(big_sarn, **options).npartitions, times))
    finally:
        client.close()
        cluster.close()

    print(f"group-by over big.csv ({big.stat().st_size:,} bytes; container {big_sarn.stat().st_size:,} bytes, "
          f"{chunks} chunks); best of {args.repeat}; load average before {load_before}, "
          f"after {os.getloadavg()[0]:.2f}")
    heads = "".join(f" {name + ' s':>8} {'vs csv':>7}" for name, _ in QUERIES)
    print(f"{'':40} {'partitions':>10}{heads}")
    for label, partitions, times in rows:
        cells = "".join(f" {times[name]:>8.3f} {base[name] / times[name]:>6.2f}x" for name, _ in QUERIES)
        print(f"{label:40} {partitions:>10}{cells}")

if __name__ == "__main__":
    main()
