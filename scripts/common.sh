# Sourced by the project's commands: prepares .venv (CPython 3.13 with the
# build tools) and installs _quarnel into it, rebuilding only what changed.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
VPY="$VENV/bin/python"
export PATH="$VENV/bin:$PATH"

fingerprint() {
    (cd "$ROOT" && find "$@" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.txt' -o -name '*.toml' -o -name '*.pyi' -o -name '*.in' \) \
        -not -path './build/*' -print0 2>/dev/null | sort -z | xargs -0 sha1sum | sha1sum | cut -d' ' -f1)
}

ensure_venv() {
    if [[ ! -x "$VPY" ]] || ! "$VPY" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
        local python
        python="$("$ROOT/scripts/find-python")"
        echo "== creating .venv with $python"
        rm -rf "$VENV"
        "$python" -m venv "$VENV"
    fi
    local want
    want="$(cat "$ROOT"/requirements-*.txt | sha1sum | cut -d' ' -f1)"
    if [[ "$(cat "$VENV/.requirements" 2>/dev/null)" != "$want" ]]; then
        echo "== installing build and test tools into .venv"
        "$VPY" -m pip install --quiet --disable-pip-version-check -r "$ROOT/requirements-dev.txt"
        echo "$want" >"$VENV/.requirements"
    fi
}

ensure_module() {
    ensure_venv
    local want
    want="$(fingerprint core graph python cmake quarnel.h CMakeLists.txt pyproject.toml)"
    if [[ "$(cat "$VENV/.module" 2>/dev/null)" != "$want" ]] || ! "$VPY" -c 'import _quarnel' 2>/dev/null; then
        echo "== building and installing _quarnel"
        local werror=()
        [[ "${CI:-}" == true ]] && werror=(--config-settings=cmake.define.QUARNEL_WERROR=ON)
        (cd "$ROOT" && "$VPY" -m pip install --quiet --disable-pip-version-check \
            --no-build-isolation --no-deps "${werror[@]}" .)
        echo "$want" >"$VENV/.module"
    fi
}

ensure_gtest() {
    [[ -f /usr/include/gtest/gtest.h ]] && return 0
    if [[ "$(id -u)" != 0 ]] || ! command -v apt-get >/dev/null; then
        echo "GoogleTest is missing: install the Debian package libgtest-dev" >&2
        return 1
    fi
    echo "== installing libgtest-dev"
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
}

# build_example: the C++ quickstart, built as a consumer through add_subdirectory.
build_example() {
    local dir="$ROOT/build/example"
    if [[ ! -f "$dir/build.ninja" ]]; then
        cmake -S "$ROOT/examples/cpp" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
    cmake --build "$dir" -j 2 >"$dir/build.log" 2>&1 || { cat "$dir/build.log"; return 1; }
}

# build_cpp DIR [cmake options...]: configures once, then builds incrementally.
build_cpp() {
    local dir="$1"
    shift
    ensure_venv
    ensure_gtest
    if [[ ! -f "$dir/build.ninja" ]]; then
        cmake -S "$ROOT" -B "$dir" -G Ninja -DQUARNEL_BUILD_PYTHON=OFF -DQUARNEL_BUILD_TESTS=ON \
            -DQUARNEL_WERROR=ON "$@" >/dev/null
    fi
    cmake --build "$dir" -j 2
}
