"""The big benchmark input every benchmark script shares: flights-3m of the
shared data folder, its body repeated 36 times (199 MB), checked by its
SHA-256 so that every run measures the same bytes; a quoted variant of it
for the CSV dialect's quoted-field path; and a variant sorted by origin for
the reads that skip chunks."""

import hashlib
import pathlib

# The shared data folder beside the clone.
SHARED_DATA = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data"

BIG_SHA256 = "6c6c0d6d65bc335346653b840f4c607456d5d8ba433d22022d8ef5402948dd2c"


def build_big(data, work):
    big = work / "big.csv"
    if big.exists() and big.stat().st_size == 199_277_715:
        return big
    src = (data / "flights-3m.csv").read_bytes()
    header, _, body = src.partition(b"\n")
    with open(big, "wb") as f:
        f.write(header + b"\n")
        for _ in range(36):
            f.write(body)
    del src, body
    h = hashlib.sha256()
    with open(big, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    digest = h.hexdigest()
    if digest != BIG_SHA256:
        raise SystemExit(f"big.csv has SHA-256 {digest}, expected {BIG_SHA256}")
    return big


def build_quoted_big(data, work):
    """big.csv as an export that quotes its text: every date, origin and
    destination between double quotes, and every 50th origin holding a
    doubled quote and a comma.  Every record then goes through the
    quoted-field path; the cells are those of big.csv but for the 50th
    origins."""
    big = build_big(data, work)
    quoted = work / "big-quoted.csv"
    if quoted.exists() and quoted.stat().st_mtime >= big.stat().st_mtime and quoted.stat().st_size > big.stat().st_size:
        return quoted
    with open(big, "rb") as src, open(quoted, "wb") as out:
        out.write(src.readline())
        for i, line in enumerate(src):
            date, delay, distance, origin, destination = line.rstrip(b"\n").split(b",")
            if i % 50 == 0:
                origin = origin + b' ""x"", y'
            out.write(b'"%s",%s,%s,"%s","%s"\n' % (date, delay, distance, origin, destination))
    return quoted


def build_sorted(data, work):
    """flights-3m.csv's rows sorted by origin, each repeated 36 times: the
    size of big.csv, sorted by one column."""
    out = work / "big_sorted.csv"
    if out.exists():
        return out
    header, _, body = (data / "flights-3m.csv").read_bytes().partition(b"\n")
    lines = [line for line in body.split(b"\n") if line]
    lines.sort(key=lambda line: line.split(b",")[3])
    with open(out, "wb") as f:
        f.write(header + b"\n")
        for line in lines:
            f.write((line + b"\n") * 36)
    return out
