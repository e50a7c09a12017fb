#!/usr/bin/env bash
# Checks the layout and the lint of the tree: the C++ sources against the
# repository's .clang-format, the Python sources with ruff (configured in
# pyproject.toml).  Exits non-zero at the first finding, printing it.
#   scripts/lint.sh          check
#   scripts/lint.sh --fix    apply clang-format and ruff's safe fixes
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_venv "ruff==0.8.6" "clang-format==19.1.7"
cd "$ROOT"
# arrow_c_abi.h is the Arrow C data interface as Arrow publishes it, kept
# byte for byte.
mapfile -t cxx < <(git ls-files '*.cpp' '*.hpp' '*.h' | grep -v '^src/arrow_bridge/arrow_c_abi.h$')
python_paths=(python tests scripts)
if [ "${1:-}" = "--fix" ]; then
    "$VENV/bin/clang-format" -i "${cxx[@]}"
    "$VENV/bin/ruff" check --fix "${python_paths[@]}"
    exit
fi
log "clang-format: ${#cxx[@]} C++ files"
"$VENV/bin/clang-format" --dry-run --Werror "${cxx[@]}"
log "ruff"
"$VENV/bin/ruff" check --no-cache "${python_paths[@]}"
