#!/usr/bin/env python3
"""Benchmark of compress_csv against general-purpose and columnar peers.

Not a test: it measures.  For each input (the big file, a generated wide
file and every UTF-8 file of the shared data folder) it runs, each in its own
process, sarn_fileformat.compress_csv, `gzip -6`, `zstd -3 --single-thread`
and pyarrow's CSV reader with a zstd Parquet writer, and reports input
throughput (MB/s, 1 MB = 10^6 bytes), percent saved, peak resident memory
of the process (MiB) and the CPU time it used (user + system seconds; on a
busy machine, CPU time shows the work where wall time shows the load).  Then it
checks the module's memory and speed targets.

Beside the module it runs sarnio.compress_csv at one and two threads (its
default dialect, and types="infer"), and zstd and pyarrow at the same thread
counts.  big-quoted.csv is big.csv with its text fields quoted, the rows of
sarnio's quoted-field path.

Usage: python scripts/bench_compress_csv.py [--data DIR] [--work DIR] [--skip-big] [--repeat N] [--only NAME]
       python scripts/bench_compress_csv.py --levels [...]   (scripts/bench_levels.py)
Run it with the interpreter that has sarn_fileformat installed.  pyarrow is
optional; without it that column is left out.  Use `nice` on a shared box.
"""

import argparse
import json
import os
import pathlib
import random
import shutil
import subprocess
import sys
import time

from bench_data import build_big, build_quoted_big

REPO = pathlib.Path(__file__).resolve().parents[1]
CHUNK_SIZE = 65536
MiB = 1 << 20

# Each Python child reports its own elapsed time, output size and peak RSS
# (VmHWM): the rusage of a child started from a big parent can carry the
# parent's high-water mark across exec.
PEAK = """
import resource as _resource

def cpu_seconds():
    u = _resource.getrusage(_resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime

def peak_kib():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
"""

SARN_CHILD = PEAK + """
import sys, time
import sarn_fileformat as sarn
t = time.perf_counter()
c = cpu_seconds()
csv_size, sarn_size, saved = sarn.compress_csv(sys.argv[1], sys.argv[2])
print(time.perf_counter() - t, sarn_size, peak_kib(), cpu_seconds() - c)
"""

ARROW_CHILD = PEAK + """
import os, sys, time
import pyarrow as pa
import pyarrow.csv as pv
import pyarrow.parquet as pq
pa.set_cpu_count(int(sys.argv[3]))
pa.set_io_thread_count(int(sys.argv[3]))
t = time.perf_counter()
c = cpu_seconds()
table = pv.read_csv(sys.argv[1])
pq.write_table(table, sys.argv[2], compression="zstd")
print(time.perf_counter() - t, os.path.getsize(sys.argv[2]), peak_kib(), cpu_seconds() - c)
"""

SARNIO_CHILD = PEAK + """
import json, sys, time
import sarnio
options = json.loads(sys.argv[4])
t = time.perf_counter()
c = cpu_seconds()
r = sarnio.compress_csv(sys.argv[1], sys.argv[2], threads=int(sys.argv[3]), **options)
print(time.perf_counter() - t, r.output_bytes, peak_kib(), cpu_seconds() - c)
"""

IMPORT_ONLY = PEAK + "import sarn_fileformat; print(0, 0, peak_kib(), 0)"


def python_child(code, *args):
    """Runs a Python child that prints (seconds, output size, peak KiB, CPU seconds)."""
    proc = subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr.strip().splitlines()[-1])
    seconds, size, peak, cpu = proc.stdout.split()
    return float(seconds), int(size), int(peak), float(cpu)


def run_sarn(csv, work):
    return python_child(SARN_CHILD, csv, work / "bench.sarn")


def run_sarnio(csv, work, threads, options=None):
    return python_child(SARNIO_CHILD, csv, work / "bench.sarnio.sarn", threads, json.dumps(options or {}))


def run_arrow(csv, work, threads):
    return python_child(ARROW_CHILD, csv, work / "bench.parquet", threads)


def run_tool(argv, csv, work):
    """An external compressor under /usr/bin/time, which reports its peak RSS."""
    out = work / "bench.out"
    peak_file = work / "bench.peak"
    start = time.perf_counter()
    with open(out, "wb") as f:
        subprocess.run(["/usr/bin/time", "-o", str(peak_file), "-f", "%M %U %S", *argv, str(csv)],
                       stdout=f, stderr=subprocess.DEVNULL, check=True)
    wall = time.perf_counter() - start
    peak, user, system = peak_file.read_text().split()[-3:]
    return wall, out.stat().st_size, int(peak), float(user) + float(system)


def build_wide(work, longest, columns=200, rows=200_000):
    """Short fields (1 to `longest` characters), deterministic; returns (path, bytes of one batch)."""
    wide = work / f"wide{longest}.csv"
    rng = random.Random(1234)
    alphabet = "abcdefghijklmnopqrstuvwxyz0123456789"
    batch_bytes = 0
    with open(wide, "w") as f:
        f.write(",".join(f"c{i}" for i in range(columns)) + "\n")
        for r in range(rows):
            line = ",".join("".join(rng.choices(alphabet, k=rng.randint(1, longest))) for _ in range(columns)) + "\n"
            if r < CHUNK_SIZE:
                batch_bytes += len(line)
            f.write(line)
    return wide, batch_bytes


def is_utf8(path):
    try:
        path.read_bytes().decode("utf-8")  # the shared files are small
        return True
    except UnicodeDecodeError:
        return False


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--data", type=pathlib.Path, default=REPO.parent / "shared" / "data")
    ap.add_argument("--work", type=pathlib.Path, default=pathlib.Path("/tmp/sarn-bench"))
    ap.add_argument("--skip-big", action="store_true")
    ap.add_argument("--only", action="append", default=[],
                    help="measure only the inputs whose name holds this text (repeatable)")
    ap.add_argument("--repeat", type=int, default=1,
                    help="run every measurement this many times and keep the run of median time "
                         "(a shared machine is noisy; the tools take turns, one run each per round, "
                         "so a drift in the machine's speed reaches all of them alike)")
    args = ap.parse_args()
    if not sorted(args.data.glob("*.csv")):
        # The whole sample files live beside the repository, not in it (the
        # tests' excerpts in tests/data are too small to measure with).
        sys.exit(f"error: no CSV files in {args.data}: the benchmark needs the shared data folder "
                 "(pass another one with --data)")
    args.work.mkdir(parents=True, exist_ok=True)

    try:
        import pyarrow  # noqa: F401

        have_arrow = True
    except ImportError:
        have_arrow = False
        print("pyarrow is not installed: the Parquet column is left out", file=sys.stderr)

    inputs = []
    if not args.skip_big:
        inputs.append(("big.csv", build_big(args.data, args.work)))
        inputs.append(("big-quoted.csv", build_quoted_big(args.data, args.work)))
    wide_batch_bytes = {}
    for longest in (1, 4):
        wide, wide_batch_bytes[longest] = build_wide(args.work, longest)
        inputs.append((f"wide, 1-{longest} chars", wide))
    for p in sorted(args.data.glob("*.csv")):
        if is_utf8(p):
            inputs.append((p.name, p))
    if args.only:
        inputs = [(name, path) for name, path in inputs if any(o in name for o in args.only)]

    _, _, base_rss, _ = python_child(IMPORT_ONLY)
    print(f"interpreter with sarn_fileformat imported: peak RSS {base_rss / 1024:.1f} MiB")
    print(f"load average at start: {open('/proc/loadavg').read().split()[0]} on {os.cpu_count()} CPUs")
    header = f"{'file':<22}{'MB':>9}  {'tool':<20}{'MB/s':>9}{'% saved':>9}{'peak MiB':>10}{'CPU s':>8}{'s':>8}"
    print(header)
    print("-" * len(header))
    results = {}
    for name, path in inputs:
        size = path.stat().st_size
        tools = [] if name == "big-quoted.csv" else [("compress_csv", run_sarn, (path, args.work))]
        for threads in (1, 2):
            tools.append((f"sarnio threads={threads}", run_sarnio, (path, args.work, threads)))
            tools.append((f"sarnio T{threads} infer", run_sarnio, (path, args.work, threads, {"types": "infer"})))
        tools.append(("gzip -6", run_tool, (["gzip", "-6", "-c"], path, args.work)))
        if shutil.which("zstd"):
            tools.append(("zstd -3 -T1", run_tool, (["zstd", "-3", "--single-thread", "-q", "-c"], path, args.work)))
            tools.append(("zstd -3 -T2", run_tool, (["zstd", "-3", "-T2", "-q", "-c"], path, args.work)))
        if have_arrow:
            for threads in (1, 2):
                tools.append((f"pyarrow parquet T{threads}", run_arrow, (path, args.work, threads)))
        runs = {tool: [] for tool, _, _ in tools}
        for _ in range(max(args.repeat, 1)):
            for tool, measure, measure_args in tools:
                if isinstance(runs[tool], str):
                    continue
                try:
                    runs[tool].append(measure(*measure_args))
                except RuntimeError as e:
                    if measure is not run_arrow:
                        raise
                    runs[tool] = str(e)  # pyarrow refuses ragged rows
        rows = []
        for tool, outcome in runs.items():
            if not isinstance(outcome, str):
                outcome = sorted(outcome, key=lambda r: r[0])[len(outcome) // 2]
            rows.append((tool, outcome))
        for tool, outcome in rows:
            if isinstance(outcome, str):
                print(f"{name:<22}{size / 1e6:>9.1f}  {tool:<20} failed: {outcome[:60]}")
                continue
            seconds, out_size, rss, cpu = outcome
            saved = max(size - out_size, 0) / size * 100
            print(f"{name:<22}{size / 1e6:>9.1f}  {tool:<20}{size / 1e6 / seconds:>9.1f}{saved:>9.1f}"
                  f"{rss / 1024:>10.1f}{cpu:>8.2f}{seconds:>8.2f}")
            results[(name, tool)] = (seconds, out_size, rss, size)
        sys.stdout.flush()

    print()
    print("targets:")

    def check(label, ok, detail):
        print(f"  [{'ok' if ok else 'MISSED'}] {label}: {detail}")

    if ("big.csv", "compress_csv") in results and ("big.csv", "zstd -3 -T1") in results:
        s = results[("big.csv", "compress_csv")]
        z = results[("big.csv", "zstd -3 -T1")]
        ratio = (s[3] / s[0]) / (z[3] / z[0])
        check("big.csv throughput >= 0.5 x zstd -3", ratio >= 0.5, f"{ratio:.2f} x")
        rss = s[2] / 1024
        check("big.csv peak RSS <= 80 MiB", rss <= 80, f"{rss:.1f} MiB")
        f = results.get(("flights-3m.csv", "compress_csv"))
        if f:
            frss = f[2] / 1024
            check("big.csv peak RSS within 10% of flights-3m.csv", rss <= frss * 1.1, f"{rss:.1f} vs {frss:.1f} MiB")
    for longest, batch_bytes in wide_batch_bytes.items():
        if (f"wide, 1-{longest} chars", "compress_csv") not in results:
            continue  # left out by --only
        w = results[(f"wide, 1-{longest} chars", "compress_csv")]
        limit = 64 + 3 * batch_bytes / MiB
        check(f"wide (200 cols, fields of 1-{longest} chars) peak RSS <= 64 MiB + 3 x one batch",
              w[2] / 1024 <= limit, f"{w[2] / 1024:.1f} MiB, limit {limit:.1f} MiB")
        for threads in (1, 2):
            w = results[(f"wide, 1-{longest} chars", f"sarnio threads={threads}")]
            limit = 64 + (threads + 2) * batch_bytes / MiB
            check(f"wide 1-{longest}: sarnio threads={threads} peak RSS <= 64 MiB + (threads + 2) x one batch",
                  w[2] / 1024 <= limit, f"{w[2] / 1024:.1f} MiB, limit {limit:.1f} MiB")

    def mbps(key):
        r = results.get(key)
        return r[3] / r[0] if r else None

    one, two = mbps(("big.csv", "sarnio threads=1")), mbps(("big.csv", "sarnio threads=2"))
    if one and two:
        check("big.csv: sarnio threads=2 >= 1.8 x threads=1", two / one >= 1.8, f"{two / one:.2f} x")
        z1 = mbps(("big.csv", "zstd -3 -T1"))
        if z1:
            check("big.csv: sarnio threads=1 >= 0.35 x zstd -3 -T1", one / z1 >= 0.35, f"{one / z1:.2f} x")
        a2 = mbps(("big.csv", "pyarrow parquet T2"))
        if a2:
            check("big.csv: sarnio threads=2 >= 1.0 x pyarrow 2 threads", two / a2 >= 1.0, f"{two / a2:.2f} x")
        rss = results[("big.csv", "sarnio threads=2")][2] / 1024
        check("big.csv: sarnio threads=2 peak RSS <= 80 MiB", rss <= 80, f"{rss:.1f} MiB")
    infer, plain = results.get(("big.csv", "sarnio T2 infer")), results.get(("big.csv", "sarnio threads=2"))
    if infer and plain:
        check("big.csv: sarnio types=\"infer\" at threads=2 <= 1.35 x the time of the defaults",
              infer[0] <= 1.35 * plain[0], f"{infer[0] / plain[0]:.2f} x")
    typed = results.get(("flights-3m.csv", "sarnio T1 infer"))
    text = results.get(("flights-3m.csv", "sarnio threads=1"))
    if typed and text:
        check("flights-3m.csv: types=\"infer\" at least 15% smaller than text",
              typed[1] <= 0.85 * text[1], f"{(1 - typed[1] / text[1]) * 100:.1f}% smaller")


if __name__ == "__main__":
    if "--levels" in sys.argv[1:]:  # the compression-level benchmark: scripts/bench_levels.py
        from bench_levels import main as levels_main
        sys.exit(levels_main(sys.argv[1:]))
    main()
