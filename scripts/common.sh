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

# check_package BUILD: installs the C++ package from the build tree BUILD into a
# fresh prefix, checks the installed files, moves the prefix (it must be
# relocatable), then builds and runs the C++ quickstart against it through
# find_package, and checks which versions the package accepts.
check_package() {
    local build="$1" dir="$ROOT/build/package"
    rm -rf "$dir"
    cmake --install "$build" --prefix "$dir/staged" >/dev/null
    local expected actual
    expected="$(cd "$ROOT" && {
        echo include/quarnel.h
        find core graph -name '*.h' | sed 's|^|include/|'
        echo lib/libquarnel.a
        printf 'lib/cmake/quarnel/%s\n' quarnelConfig.cmake quarnelConfigVersion.cmake quarnelTargets.cmake \
            quarnelTargets-release.cmake
    } | sort)"
    actual="$(cd "$dir/staged" && find . -type f | sed 's|^\./||' | sort)"
    if [[ "$expected" != "$actual" ]]; then
        echo "installed files differ from the expected ones:" >&2
        diff <(echo "$expected") <(echo "$actual") >&2
        return 1
    fi
    # The prefix lies inside the source tree, so this finds install paths as well as build-tree paths.
    if grep -rl "$ROOT" "$dir/staged" >&2; then
        echo "these installed files name the build or install location" >&2
        return 1
    fi
    mv "$dir/staged" "$dir/moved"

    cmake -S "$ROOT/examples/cpp" -B "$dir/example" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DQUARNEL_EXAMPLE_FROM_PACKAGE=ON -DCMAKE_PREFIX_PATH="$dir/moved" >"$dir/example.log" 2>&1 &&
        cmake --build "$dir/example" >>"$dir/example.log" 2>&1 || { cat "$dir/example.log"; return 1; }
    "$dir/example/quickstart"

    # Each requested version, and whether the installed 0.1.0 must satisfy it.
    local request want got
    for request in 0.1:accepted 0.1.0:accepted 0.2:refused 0.0:refused 1:refused; do
        want="${request#*:}" request="${request%%:*}" got=refused
        cmake -S "$ROOT/tests/package" -B "$dir/check-$request" -DQUARNEL_REQUEST="$request" \
            -DCMAKE_PREFIX_PATH="$dir/moved" >"$dir/check-$request.log" 2>&1 && got=accepted
        if [[ "$got" != "$want" ]]; then
            cat "$dir/check-$request.log" >&2
            echo "find_package(quarnel $request) was $got, should be $want" >&2
            return 1
        fi
    done
    echo "find_package accepts 0.1 and 0.1.0, refuses 0.2, 0.0 and 1"
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

# ensure_clang: clang with libFuzzer and the LLVM tools (llvm-profdata, llvm-cov)
# from Debian's packages, for the fuzz targets.
ensure_clang() {
    if command -v clang++ >/dev/null && command -v llvm-cov >/dev/null &&
        [[ -n "$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null | grep /)" ]] &&
        [[ -f "$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]]; then
        return 0
    fi
    if [[ "$(id -u)" != 0 ]] || ! command -v apt-get >/dev/null; then
        echo "clang with libFuzzer is missing: install Debian's clang, libclang-rt-dev and llvm" >&2
        return 1
    fi
    echo "== installing clang, libFuzzer and the LLVM tools"
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang llvm >/dev/null
    # The runtime libraries (libFuzzer, the sanitizers) are packaged per version.
    local major
    major="$(clang++ -dumpversion | cut -d. -f1)"
    if apt-cache show "libclang-rt-$major-dev" >/dev/null 2>&1; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "libclang-rt-$major-dev" >/dev/null
    fi
}
