#!/usr/bin/env bash
# Sets everything up, then runs the module's main job on the bundled CSV
# files: each is compressed into a container in a temporary folder, with the
# progress lines on standard error and the result triple on standard output.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_apt g++
ensure_venv
install_module

cd "$ROOT"
OUT="$(mktemp -d)"
trap 'rm -rf "$OUT"' EXIT
"$VENV/bin/python" - "$OUT" <<'PY'
import pathlib
import sys

import sarn_fileformat as sarn

out_dir = pathlib.Path(sys.argv[1])
for csv in ("examples/ubuntu.csv", "examples/airports.csv"):
    sarn_path = out_dir / (pathlib.Path(csv).stem + ".sarn")
    csv_size, sarn_size, saved = sarn.compress_csv(csv, str(sarn_path))
    print(f"{csv}: {(csv_size, sarn_size, saved)} = (csv_size, sarn_size, % saved)", flush=True)
PY
