"""The big benchmark input every benchmark script shares: flights-3m of the
shared data folder, its body repeated 36 times (199 MB), checked by its
SHA-256 so that every run measures the same bytes."""

import hashlib

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
