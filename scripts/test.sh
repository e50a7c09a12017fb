#!/usr/bin/env bash
# Sets everything up and runs every test: the layout and lint checks
# (scripts/lint.sh), the C++ core tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer, then the Python tests against the installed
# module.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_apt g++ libgtest-dev
ensure_venv
export PATH="$VENV/bin:$PATH"

log "checking the layout and lint of the sources"
bash "$ROOT/scripts/lint.sh"

log "building the C++ tests with AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S "$ROOT" -B "$ROOT/build/asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DSARN_SANITIZE=ON -DSARN_BUILD_TESTS=ON -DSARN_BUILD_PYTHON=OFF >/dev/null
cmake --build "$ROOT/build/asan"
log "running the C++ tests"
ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}" \
UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}" \
    ctest --test-dir "$ROOT/build/asan" --output-on-failure -j "$(nproc)"

install_module "test,lint"
log "running the Python tests"
cd "$ROOT"
# The container decoder the Python tests use to read back what they wrote.
[ -x "$ROOT/build/asan/sarn_dump" ] && export SARN_DUMP="$ROOT/build/asan/sarn_dump"
[ -x "$ROOT/build/asan/write_typed" ] && export SARN_WRITE_TYPED="$ROOT/build/asan/write_typed"
[ -x "$ROOT/build/asan/codec_tool" ] && export SARN_CODEC_TOOL="$ROOT/build/asan/codec_tool"
# pytest's temporary folders go into one folder of this run, removed at the
# end; by default pytest keeps those of the last three runs.
PYTEST_TMP="$(mktemp -d "${TMPDIR:-/tmp}/sarn_pytest.XXXXXX")"
trap 'rm -rf "$PYTEST_TMP"' EXIT
"$VENV/bin/python" -m pytest -q --basetemp="$PYTEST_TMP" tests/python "$@"
