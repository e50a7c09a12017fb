#!/usr/bin/env python3
"""Benchmark of the block codec's compression levels on whole CSV files.

Not a test: it measures.  For big.csv (flights-3m.csv 36 times, as
bench_compress_csv.py builds it) and every CSV file of the shared data
folder it writes a container at each level on one thread (bench/level_tool,
which uses the container writer and chunk encoder directly), and runs
`gzip -6`, `gzip -9`, `zstd -3`, `zstd -19` and `xz -6` (one thread each) on
the same file in the same run.  Per row: output bytes, output as a share of
the level-1 container, and input MB/s (1 MB = 10^6 bytes) by wall time and
by CPU time (user + system of that process: on a busy machine CPU time
shows the work where wall time shows the load).  Then the block decoder's
speed on each level's container of flights-3m.csv (best of 20 rounds over
all its blocks, decompressed MB/s), and a check of the level targets.

Usage: python scripts/bench_levels.py [--data DIR] [--work DIR] [--skip-big]
                                      [--levels 1,2,...] [--repeat N] [--tool PATH]
   or: python scripts/bench_compress_csv.py --levels [the same options]
Builds bench/level_tool into build/levels (Release) when --tool is not
given and it is missing.  Use `nice` on a shared box.
"""

import argparse
import os
import pathlib
import resource
import shutil
import subprocess
import sys
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
MIN_LEVEL, MAX_LEVEL = 1, 9
PEERS = [
    ("gzip -6", ["gzip", "-6", "-c"]),
    ("gzip -9", ["gzip", "-9", "-c"]),
    ("zstd -3", ["zstd", "-3", "--single-thread", "-q", "-c"]),
    ("zstd -19", ["zstd", "-19", "--single-thread", "-q", "-c"]),
    ("xz -6", ["xz", "-6", "-T1", "-c"]),
]


def build_tool():
    build = REPO / "build" / "levels"
    tool = build / "bench" / "level_tool"
    if tool.exists():
        return tool
    subprocess.run(["cmake", "-S", str(REPO), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DSARN_PGO=OFF", "-DSARN_BUILD_BENCHMARKS=ON", "-DSARN_BUILD_PYTHON=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "--target", "level_tool", "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    return tool


def child_cpu():
    u = resource.getrusage(resource.RUSAGE_CHILDREN)
    return u.ru_utime + u.ru_stime


def run_level(tool, level, csv, work):
    """(wall seconds, output bytes, CPU seconds) of one container at `level`."""
    out = work / f"level{level}.sarn"
    proc = subprocess.run([str(tool), "compress", str(level), str(csv), str(out)], capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr.strip())
    _, size, wall, cpu = proc.stdout.split()
    return float(wall), int(size), float(cpu)


def run_peer(argv, csv, work):
    """(wall seconds, output bytes, CPU seconds) of a command-line compressor."""
    out = work / "peer.out"
    cpu = child_cpu()
    start = time.perf_counter()
    with open(out, "wb") as f:
        subprocess.run([*argv, str(csv)], stdout=f, stderr=subprocess.DEVNULL, check=True)
    wall = time.perf_counter() - start
    return wall, out.stat().st_size, child_cpu() - cpu


def decode_speed(tool, sarn, rounds=20):
    proc = subprocess.run([str(tool), "decode", str(sarn), str(rounds)], stdout=subprocess.PIPE, text=True, check=True)
    size, seconds = proc.stdout.split()
    return int(size) / float(seconds) / 1e6


def median_run(measure, repeat):
    runs = sorted((measure() for _ in range(max(repeat, 1))), key=lambda r: r[0])
    return runs[len(runs) // 2]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--data", type=pathlib.Path, default=REPO.parent / "shared" / "data")
    ap.add_argument("--work", type=pathlib.Path, default=pathlib.Path("/tmp/sarn-bench"))
    ap.add_argument("--skip-big", action="store_true")
    all_levels = ",".join(str(x) for x in range(MIN_LEVEL, MAX_LEVEL + 1))
    ap.add_argument("--levels", nargs="?", const=all_levels, default=all_levels,
                    help="comma-separated levels (default, or the flag alone: all)")
    ap.add_argument("--repeat", type=int, default=1, help="runs per measurement; the run of median time is kept")
    ap.add_argument("--tool", type=pathlib.Path, help="a built bench/level_tool")
    args = ap.parse_args(argv)
    levels = sorted({int(x) for x in args.levels.split(",")} | {MIN_LEVEL})
    if not sorted(args.data.glob("*.csv")):
        sys.exit(f"error: no CSV files in {args.data} (pass another folder with --data)")
    args.work.mkdir(parents=True, exist_ok=True)
    tool = args.tool or build_tool()

    inputs = []
    if not args.skip_big:
        sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
        from bench_data import build_big

        inputs.append(("big.csv", build_big(args.data, args.work)))
    inputs += [(p.name, p) for p in sorted(args.data.glob("*.csv"))]
    peers = [(name, cmd) for name, cmd in PEERS if shutil.which(cmd[0])]
    for name, cmd in PEERS:
        if not shutil.which(cmd[0]):
            print(f"{cmd[0]} is not installed: '{name}' is left out", file=sys.stderr)

    print(f"load average at start: {open('/proc/loadavg').read().split()[0]} on {os.cpu_count()} CPUs")
    header = f"{'file':<22}{'MB':>8}  {'tool':<10}{'bytes':>12}{'vs L1':>8}{'MB/s':>8}{'CPU MB/s':>10}"
    print(header)
    print("-" * len(header))
    results = {}
    for name, path in inputs:
        size = path.stat().st_size
        rows = []
        for level in levels:
            timed = median_run(lambda level=level, path=path: run_level(tool, level, path, args.work), args.repeat)
            rows.append((f"level {level}", timed))
            if name == "flights-3m.csv":
                shutil.copy(args.work / f"level{level}.sarn", args.work / f"flights.level{level}.sarn")
        for peer, cmd in peers:
            rows.append((peer, median_run(lambda cmd=cmd, path=path: run_peer(cmd, path, args.work), args.repeat)))
        base = rows[0][1][1]
        for tool_name, (wall, out_size, cpu) in rows:
            results[(name, tool_name)] = (wall, out_size, cpu, size)
            print(f"{name:<22}{size / 1e6:>8.1f}  {tool_name:<10}{out_size:>12}{out_size / base:>8.3f}"
                  f"{size / 1e6 / wall:>8.1f}{size / 1e6 / max(cpu, 1e-9):>10.1f}")
        sys.stdout.flush()

    decode = {}
    if any(name == "flights-3m.csv" for name, _ in inputs):
        print()
        print("block decoding, flights-3m.csv containers (decompressed MB/s, best of 20 rounds):")
        for level in levels:
            decode[level] = decode_speed(tool, args.work / f"flights.level{level}.sarn")
            print(f"  level {level}: {decode[level]:8.1f} MB/s  ({decode[level] / decode[MIN_LEVEL]:.2f} x level 1)")

    print()
    print("targets:")

    def check(label, ok, detail):
        print(f"  [{'ok' if ok else 'MISSED'}] {label}: {detail}")

    top = f"level {levels[-1]}"
    for name in ("flights-3m.csv", "big.csv"):
        if (name, top) in results:
            gain = 1 - results[(name, top)][1] / results[(name, "level 1")][1]
            check(f"{name}: {top} at least 12 % smaller than level 1", gain >= 0.12, f"{gain * 100:.1f} % smaller")
    larger = [name for name, _ in inputs if results[(name, top)][1] > results[(name, "level 1")][1]]
    check(f"{top} never larger than level 1", not larger, ", ".join(larger) or "on every file")
    if ("flights-3m.csv", "level 1") in results:
        sizes = [results[("flights-3m.csv", f"level {x}")][1] for x in levels]
        check("flights-3m.csv: each level strictly smaller than the one below it",
              all(b < a for a, b in zip(sizes, sizes[1:])), " > ".join(str(s) for s in sizes))
    if ("big.csv", top) in results:
        _, _, cpu, size = results[("big.csv", top)]
        check(f"big.csv: {top} at least 1.5 MB/s per core", size / 1e6 / cpu >= 1.5,
              f"{size / 1e6 / cpu:.2f} MB per CPU second")
    if decode:
        slow = [x for x in levels if decode[x] < decode[MIN_LEVEL] * 0.95]
        check("flights-3m.csv: every level's containers decode at least as fast as level 1's (5 % noise)",
              not slow, ", ".join(f"level {x}" for x in slow) or "all levels")


if __name__ == "__main__":
    main()
