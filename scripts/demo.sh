#!/usr/bin/env bash
# Sets everything up, then runs the module's main job on a bundled file.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_apt g++
ensure_venv
install_module

cd "$ROOT"
"$VENV/bin/python" - <<'PY'
import sarn_fileformat as sarn

size, version, _ = sarn.get_sarn_info("examples/ubuntu.csv")
print(f"sarn_fileformat {sarn.__version__}: examples/ubuntu.csv is {size} bytes (format {version})")
PY
