# Shared set-up for the project's scripts: finds the interpreter, installs
# the system packages the build needs and prepares the virtual environment.
# Sourced, not run.

set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${SARN_VENV:-$ROOT/.venv}"

log() { printf '==> %s\n' "$*" >&2; }

# The target interpreter is CPython 3.10; any newer CPython 3 also works.
find_python() {
    local candidates=()
    [ -n "${SARN_PYTHON:-}" ] && candidates+=("$SARN_PYTHON")
    candidates+=(python3.10)
    local root
    root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
    candidates+=("$root"/versions/3.10*/bin/python3.10 /usr/bin/python3.10 /usr/local/bin/python3.10)
    candidates+=(python3)
    local c
    for c in "${candidates[@]}"; do
        if command -v "$c" >/dev/null 2>&1 &&
            "$c" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 10) else 1)' >/dev/null 2>&1; then
            command -v "$c"
            return 0
        fi
    done
    echo "error: no Python 3.10 or newer found (set SARN_PYTHON to one)" >&2
    return 1
}

# Installs the Debian packages that are missing (needs root or sudo).
ensure_apt() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing system packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Creates the virtual environment with the build tools.
ensure_venv() {
    local python
    python="$(find_python)"
    if [ ! -x "$VENV/bin/python" ]; then
        log "creating virtual environment $VENV with $("$python" --version)"
        "$python" -m venv "$VENV"
    fi
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check \
        "scikit-build-core>=0.8" "nanobind>=2.0" cmake ninja "$@"
}

# Builds and installs the module into the virtual environment, with the
# extras named in the argument (for example "test,lint": what the tests
# import, the formatter and the linter; see pyproject.toml).
install_module() {
    local extras="${1:-}"
    log "building and installing sarn_fileformat${extras:+ with [$extras]}"
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
        "$ROOT${extras:+[$extras]}"
}
