"""Reading containers from an S3-compatible server against pyarrow's Parquet
reader from the same server, in the same run.

Not a test: it measures and prints one table.

    python scripts/bench_object_storage.py [--data DIR] [--work DIR] [--repeat N] [--threads N]

It starts moto's S3 server in a process of its own on 127.0.0.1 (so that
the server does not share this process's interpreter lock), with a counter
of the requests it answers and the body bytes it sends; uploads big.sarn
(big.csv, flights-3m repeated 36 times) with a Parquet file of the same
table, and the same pair sorted by origin (Parquet row groups of 65,536
rows, as the container's chunks); then times

- the full read: sarnio.open(url).to_arrow() against
  pyarrow.parquet.read_table through pyarrow's own S3 file system;
- one column (delay);
- origin == 'SFO' on the sorted files (pyarrow with filters=);

each with the bytes and requests the server saw (open and footer
included), the best of --repeat runs.  For the selective read it checks
the target: bytes fetched <= 1.2 x (the stored blocks of the chunks it
decoded + the footer); for the full read: sarnio's speed >= 0.8 x
pyarrow's.

Needs moto[server], s3fs, boto3 and pyarrow with S3 support, and
flights-3m.csv in --data (default /work/shared/data).
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import subprocess
import sys
import time
import urllib.request

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_data import SHARED_DATA, build_big, build_sorted  # noqa: E402

BUCKET = "bench"

# The server process: moto's app behind a counter of requests and body
# bytes, read and reset through /__counts.
SERVER = r"""
import json, sys, threading
from werkzeug.serving import make_server
from moto.server import DomainDispatcherApplication, create_backend_app

counts = {"requests": 0, "bytes": 0}
lock = threading.Lock()
app = DomainDispatcherApplication(create_backend_app)

def counted(environ, start_response):
    if environ.get("PATH_INFO") == "/__counts":
        with lock:
            body = json.dumps(counts).encode()
            if environ.get("QUERY_STRING") == "reset":
                counts.update(requests=0, bytes=0)
        start_response("200 OK", [("Content-Type", "application/json")])
        return [body]
    with lock:
        counts["requests"] += 1
    def body():
        for piece in app(environ, start_response):
            with lock:
                counts["bytes"] += len(piece)
            yield piece
    return body()

server = make_server("127.0.0.1", 0, counted, threaded=True)
print(server.server_address[1], flush=True)
server.serve_forever()
"""



def container(csv: pathlib.Path) -> pathlib.Path:
    import sarnio

    out = csv.with_suffix(".sarn")
    if not out.exists():
        sarnio.compress_csv(csv, out)
    return out


def parquet(csv: pathlib.Path) -> pathlib.Path:
    import pyarrow as pa
    import pyarrow.csv as pcsv
    import pyarrow.parquet as pq

    out = csv.with_suffix(".parquet")
    if not out.exists():
        names = ("date", "delay", "distance", "origin", "destination")
        table = pcsv.read_csv(csv, convert_options=pcsv.ConvertOptions(column_types={n: pa.string() for n in names}))
        pq.write_table(table, out, row_group_size=65536)
    return out


class Server:
    def __init__(self) -> None:
        self.proc = subprocess.Popen([sys.executable, "-c", SERVER], stdout=subprocess.PIPE, text=True)
        self.port = int(self.proc.stdout.readline())
        self.endpoint = f"http://127.0.0.1:{self.port}"

    def counts(self, reset: bool = True) -> dict[str, int]:
        with urllib.request.urlopen(f"{self.endpoint}/__counts" + ("?reset" if reset else "")) as r:
            return json.loads(r.read())

    def stop(self) -> None:
        self.proc.terminate()
        self.proc.wait(timeout=30)


def measure(server: Server, repeat: int, fn):
    """The best time of `repeat` runs, the server's counts of the last run
    and the last result."""
    best = float("inf")
    result = None
    counts: dict[str, int] = {}
    for _ in range(repeat):
        server.counts()
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
        counts = server.counts()
    return best, counts, result


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--data", type=pathlib.Path, default=SHARED_DATA)
    ap.add_argument("--work", type=pathlib.Path, default=pathlib.Path("/tmp/sarnio-read-bench"))
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--threads", type=int, default=2)
    args = ap.parse_args()
    if not (args.data / "flights-3m.csv").exists():
        raise SystemExit(f"{args.data}/flights-3m.csv is missing: nothing to measure")
    args.work.mkdir(parents=True, exist_ok=True)

    import boto3
    import pyarrow as pa
    import pyarrow.fs as pafs
    import pyarrow.parquet as pq

    import sarnio

    big = build_big(args.data, args.work)
    srt = build_sorted(args.data, args.work)
    files = {"big.sarn": container(big), "big.parquet": parquet(big),
             "sorted.sarn": container(srt), "sorted.parquet": parquet(srt)}

    server = Server()
    try:
        s3 = boto3.client("s3", endpoint_url=server.endpoint, aws_access_key_id="testing",
                          aws_secret_access_key="testing", region_name="us-east-1")
        s3.create_bucket(Bucket=BUCKET)
        for key, path in files.items():
            s3.upload_file(str(path), BUCKET, key)
        options = {"key": "testing", "secret": "testing",
                   "client_kwargs": {"endpoint_url": server.endpoint, "region_name": "us-east-1"}}
        arrow_s3 = pafs.S3FileSystem(access_key="testing", secret_key="testing", scheme="http",
                                     endpoint_override=f"127.0.0.1:{server.port}", region="us-east-1")
        pa.set_cpu_count(args.threads)
        threads = args.threads

        def sarn_read(key, **kw):
            def run():
                with sarnio.open(f"s3://{BUCKET}/{key}", storage_options=options) as f:
                    return f.to_arrow(threads=threads, **kw), f.last_scan, f._open_table().block_sizes(), f
            return run

        def parquet_read(key, **kw):
            return lambda: pq.read_table(f"{BUCKET}/{key}", filesystem=arrow_s3, use_threads=threads > 1, **kw)

        cases = [
            ("full read", "big", {}),
            ("one column (delay)", "big", {"columns": ["delay"]}),
            ("origin == 'SFO', sorted", "sorted", {"columns": ["origin", "delay"],
                                                   "filters": [("origin", "==", "SFO")]}),
        ]
        print(f"load average before: {os.getloadavg()[0]:.2f}; threads {threads}; best of {args.repeat}")
        print(f"big.sarn {files['big.sarn'].stat().st_size:,} bytes, big.parquet "
              f"{files['big.parquet'].stat().st_size:,} bytes")
        header = (f"{'read':<26} {'sarnio s':>9} {'MB':>7} {'req':>5} {'parquet s':>10} {'MB':>7} {'req':>5} "
                  f"{'speed vs pq':>11} {'rows':>11}")
        print(header)
        verdicts = []
        for name, which, kw in cases:
            t_s, c_s, (table, scan, sizes, f) = measure(server, args.repeat, sarn_read(f"{which}.sarn", **kw))
            t_p, c_p, ptable = measure(server, args.repeat, parquet_read(f"{which}.parquet", **kw))
            assert table.num_rows == ptable.num_rows, (table.num_rows, ptable.num_rows)
            print(f"{name:<26} {t_s:>9.3f} {c_s['bytes'] / 1e6:>7.2f} {c_s['requests']:>5} {t_p:>10.3f} "
                  f"{c_p['bytes'] / 1e6:>7.2f} {c_p['requests']:>5} {t_p / t_s:>10.2f}x {table.num_rows:>11,}")
            if name == "full read":
                verdicts.append(f"full read: sarnio at {t_p / t_s:.2f}x pyarrow's Parquet speed (target >= 0.8x)")
            if "SFO" in name:
                names = [field.name for field in f.schema]
                needed = [names.index(c) for c in kw["columns"]]
                import sarnio._native  # noqa: F401

                decoded = 0
                with sarnio.open(f"s3://{BUCKET}/{which}.sarn", storage_options=options) as g:
                    plan = g._plan(kw["columns"], kw["filters"], as_json=True)
                    chunks = plan.chunks()
                    decoded = sum(sizes[c][i] for c in chunks for i in needed)
                footer = footer_length(files[f"{which}.sarn"])
                bound = 1.2 * (decoded + footer)
                verdicts.append(
                    f"SFO: {scan.chunks_read} of {scan.chunks_total} chunks decoded; fetched {c_s['bytes']:,} bytes "
                    f"(server) / {scan.bytes_fetched:,} by the scan after open, against 1.2 x ({decoded:,} decoded "
                    f"blocks + {footer:,} footer) = {bound:,.0f}: {'met' if c_s['bytes'] <= bound else 'MISSED'}")
        for v in verdicts:
            print(v)
    finally:
        server.stop()


def footer_length(path: pathlib.Path) -> int:
    """The footer's stored length, from the container's trailer."""
    with open(path, "rb") as f:
        f.seek(-16, os.SEEK_END)
        return int.from_bytes(f.read(8), "little")


if __name__ == "__main__":
    main()
