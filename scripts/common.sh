# Sourced by the project's commands: prepares .venv (CPython 3.13 with the
# build tools) and installs _quarnel into it, rebuilding only what changed.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"
VPY="$VENV/bin/python"
export PATH="$VENV/bin:$PATH"

fingerprint() {
    (cd "$ROOT" && find "$@" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.txt' -o -name '*.toml' -o -name '*.pyi' \
        -o -name '*.in' -o -name '*.version' -o -name '*.md' -o -name '*.cmake' -o -name '*.sh' -o -name LICENSE \) \
        -not -path './build/*' -print0 2>/dev/null | sort -z | xargs -0 sha1sum | sha1sum | cut -d' ' -f1)
}

# What the module and its distribution's metadata are made from.
MODULE_SOURCES=(core graph python cmake quarnel.h CMakeLists.txt pyproject.toml README.md LICENSE)

# ensure_venv [GROUP...]: .venv with CPython 3.13, what building _quarnel needs
# (requirements-build.txt), and each GROUP's tools from requirements-GROUP.txt
# (test, wheel), each installed again only when its file changed. CMake and
# Ninja come from the system when it has them, recent enough, and from the
# index otherwise.
ensure_venv() {
    if [[ ! -x "$VPY" ]] || ! "$VPY" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
        local python
        python="$("$ROOT/scripts/find-python")"
        echo "== creating .venv with $python"
        rm -rf "$VENV"
        "$python" -m venv "$VENV"
    fi
    local group file want
    for group in build "$@"; do
        file="$ROOT/requirements-$group.txt"
        want="$(sha1sum <"$file" | cut -d' ' -f1)"
        [[ "$(cat "$VENV/.requirements-$group" 2>/dev/null)" == "$want" ]] && continue
        echo "== installing the $group tools into .venv"
        local extra=()
        if [[ "$group" == build ]]; then
            cmake_usable || extra+=("cmake>=3.21")
            ninja --version >/dev/null 2>&1 || extra+=(ninja)
        fi
        "$VPY" -m pip install --quiet --disable-pip-version-check -r "$file" "${extra[@]}"
        echo "$want" >"$VENV/.requirements-$group"
    done
}

# cmake_usable: a cmake on PATH that runs and is 3.21 or newer.
cmake_usable() {
    local version
    version="$(cmake --version 2>/dev/null | sed -n '1s/^cmake version \([0-9]*\)\.\([0-9]*\).*/\1 \2/p')"
    [[ -n "$version" ]] && read -r major minor <<<"$version" && ((major > 3 || (major == 3 && minor >= 21)))
}

ensure_module() {
    ensure_venv
    local want
    want="$(fingerprint "${MODULE_SOURCES[@]}")"
    if [[ "$(cat "$VENV/.module" 2>/dev/null)" != "$want" ]] || ! "$VPY" -c 'import _quarnel' 2>/dev/null; then
        echo "== building and installing _quarnel"
        local werror=()
        [[ "${CI:-}" == true ]] && werror=(--config-settings=cmake.define.QUARNEL_WERROR=ON)
        (cd "$ROOT" && "$VPY" -m pip install --quiet --disable-pip-version-check \
            --no-build-isolation --no-deps "${werror[@]}" .)
        echo "$want" >"$VENV/.module"
    fi
}

# side_module NAME [pip options...]: _quarnel built with the given options
# into build/NAME-module and installed into a virtual environment of its own,
# build/venv-NAME, beside the test tools; rebuilt when its sources or the
# options change. Sets SPY to that environment's python.
side_module() {
    local name="$1" venv="$ROOT/build/venv-$1" want
    shift
    SPY="$venv/bin/python"
    [[ -x "$SPY" ]] || "$("$ROOT/scripts/find-python")" -m venv "$venv"
    want="$(cat "$ROOT/requirements-build.txt" "$ROOT/requirements-test.txt" | sha1sum | cut -d' ' -f1)"
    if [[ "$(cat "$venv/.requirements" 2>/dev/null)" != "$want" ]]; then
        echo "== installing build and test tools into $(basename "$venv")"
        "$SPY" -m pip install --quiet --disable-pip-version-check -r "$ROOT/requirements-build.txt" \
            -r "$ROOT/requirements-test.txt"
        echo "$want" >"$venv/.requirements"
    fi
    want="$(fingerprint "${MODULE_SOURCES[@]}") $*"
    if [[ "$(cat "$venv/.module" 2>/dev/null)" != "$want" ]]; then
        echo "== building and installing _quarnel ($name)"
        (cd "$ROOT" && "$SPY" -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps \
            --config-settings=build-dir="build/$name-module" "$@" .)
        echo "$want" >"$venv/.module"
    fi
}

# ensure_apt PACKAGE: installs a Debian package (as root, where apt-get exists).
ensure_apt() {
    if [[ "$(id -u)" != 0 ]] || ! command -v apt-get >/dev/null; then
        echo "$1 is missing: install the Debian package $1" >&2
        return 1
    fi
    echo "== installing $1"
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$1" >/dev/null
}

ensure_pkg_config() {
    command -v pkg-config >/dev/null || ensure_apt pkgconf
}

ensure_gtest() {
    [[ -f /usr/include/gtest/gtest.h ]] || ensure_apt libgtest-dev
}

# test_distribution FILE [pytest arguments...]: installs the wheel or sdist
# FILE into a fresh virtual environment outside the source tree, with the
# test requirements only (an sdist is built there, as pip builds one for any
# user), and runs the Python suite from a folder outside the source tree, so
# that nothing but FILE can provide _quarnel or its stubs.
test_distribution() {
    local file="$1" work
    shift
    work="$(mktemp -d -t quarnel-dist.XXXXXX)"
    # Set here, expanded when the shell exits: work is local to this function.
    # shellcheck disable=SC2064
    trap "rm -rf '$work'" EXIT
    "$("$ROOT/scripts/find-python")" -m venv "$work/venv"
    echo "== installing $(basename "$file") into a fresh environment"
    "$work/venv/bin/python" -m pip install --quiet --disable-pip-version-check "$file" \
        -r "$ROOT/requirements-test.txt"
    mkdir "$work/run"
    local module
    module="$(cd "$work/run" && "$work/venv/bin/python" -c 'import _quarnel; print(_quarnel.__file__)')"
    if [[ "$module" != "$work/venv/"* ]]; then
        echo "_quarnel was imported from $module, not from the fresh environment" >&2
        return 1
    fi
    echo "== Python tests against $module"
    # importlib mode: pytest puts no test folder on sys.path.
    (cd "$work/run" && "$work/venv/bin/python" -m pytest -q -p no:cacheprovider --import-mode=importlib \
        "$ROOT/tests/python" "$@")
}

# ensure_benchmark: Google Benchmark, which the C++ microbenchmarks are built on.
ensure_benchmark() {
    [[ -f /usr/include/benchmark/benchmark.h ]] && return 0
    if [[ "$(id -u)" != 0 ]] || ! command -v apt-get >/dev/null; then
        echo "Google Benchmark is missing: install the Debian package libbenchmark-dev" >&2
        return 1
    fi
    echo "== installing libbenchmark-dev"
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libbenchmark-dev >/dev/null
}

# once_per_change TITLE COMMAND...: runs COMMAND under the heading TITLE,
# unless it passed before and nothing it builds from has changed since (the
# library's sources, the CMake package's templates, the consumers, these
# scripts). FORCE=1 runs it anyway.
once_per_change() {
    local title="$1" stamp want
    shift
    stamp="$ROOT/build/passed/$(echo "$*" | sha1sum | cut -c1-16)"
    want="$(fingerprint core graph cmake quarnel.h CMakeLists.txt tests/package examples/cpp scripts/common.sh)"
    if [[ -z "${FORCE:-}" && "$(cat "$stamp" 2>/dev/null)" == "$want" ]]; then
        echo "== $title: passed before, nothing it builds from has changed"
        return 0
    fi
    echo "== $title"
    rm -f "$stamp"
    "$@"
    mkdir -p "$(dirname "$stamp")"
    echo "$want" >"$stamp"
}

# consumer DIR LOG [cmake options...]: configures and builds tests/package
# into DIR, then runs its consumer.
consumer() {
    local dir="$1" log="$2"
    shift 2
    mkdir -p "$dir"
    cmake -S "$ROOT/tests/package" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >"$log" 2>&1 &&
        cmake --build "$dir" -j 2 >>"$log" 2>&1 || { cat "$log"; return 1; }
    "$dir/consumer"
}

# check_subproject: quarnel added with add_subdirectory to a project of its
# own, without Python, GoogleTest or install rules: its consumer (whose own
# core/ and graph/ headers come first) builds and runs, and installing the
# project installs nothing of quarnel's.
check_subproject() {
    local dir="$ROOT/build/subproject"
    rm -rf "$dir"
    consumer "$dir/build" "$dir/build.log" -DQUARNEL_SOURCE_DIR="$ROOT"
    cmake --install "$dir/build" --prefix "$dir/installed" >/dev/null
    if [[ -n "$(find "$dir/installed" -type f 2>/dev/null)" ]]; then
        echo "installing the parent project installed quarnel's files:" >&2
        find "$dir/installed" -type f >&2
        return 1
    fi
}

# check_package BUILD: installs the C++ package from the build tree BUILD into a
# fresh prefix, checks the installed files, moves the prefix (it must be
# relocatable), then builds and runs the C++ quickstart against it through
# find_package, the consumer of tests/package (whose own core/ and graph/
# headers come first) through find_package and through pkg-config, and checks
# which versions the package accepts. BUILD holds a static or a shared library.
check_package() {
    local build="$1" dir="$ROOT/build/package" shared=OFF
    grep -qiE '^BUILD_SHARED_LIBS:[A-Z]*=(ON|TRUE|YES|1)$' "$build/CMakeCache.txt" && shared=ON
    rm -rf "$dir"
    cmake --install "$build" --prefix "$dir/staged" >/dev/null
    local expected actual
    expected="$(cd "$ROOT" && {
        printf 'include/quarnel/%s\n' quarnel.h export.h version.h
        find core graph -name '*.h' ! -path graph/pending.h | sed 's|^|include/quarnel/|'
        if [[ "$shared" == ON ]]; then
            printf 'lib/%s\n' libquarnel.so libquarnel.so.0.1 libquarnel.so.0.1.0
        else
            echo lib/libquarnel.a
        fi
        printf 'lib/cmake/quarnel/%s\n' quarnelConfig.cmake quarnelConfigVersion.cmake quarnelTargets.cmake \
            quarnelTargets-release.cmake
        echo lib/pkgconfig/quarnel.pc
        echo share/doc/quarnel/LICENSE
    } | sort)"
    actual="$(cd "$dir/staged" && find . -type f -o -type l | sed 's|^\./||' | sort)"
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
    consumer "$dir/consumer" "$dir/consumer.log" -DCMAKE_PREFIX_PATH="$dir/moved" -DQUARNEL_EXPECT_SHARED="$shared"

    ensure_pkg_config
    local pc=(env PKG_CONFIG_PATH="$dir/moved/lib/pkgconfig" pkg-config)
    echo "pkg-config --cflags --libs quarnel: $("${pc[@]}" --cflags --libs quarnel)"
    # shellcheck disable=SC2046 # the flags are words
    g++ -std=c++20 -I"$ROOT/tests/package/app" "$ROOT/tests/package/consumer.cpp" -o "$dir/consumer-pc" \
        -DEXPECTED_VERSION="\"$("${pc[@]}" --modversion quarnel)\"" $("${pc[@]}" --cflags --libs quarnel) \
        -Wl,-rpath,"$("${pc[@]}" --variable=libdir quarnel)"
    "$dir/consumer-pc"
    # A compiler left at an older standard hears first what it lacks.
    local first
    # shellcheck disable=SC2046
    first="$(echo '#include <quarnel/quarnel.h>' | g++ -std=c++17 -x c++ -fsyntax-only $("${pc[@]}" --cflags quarnel) - 2>&1 |
        grep -m 1 'error' || true)"
    if [[ "$first" != *'#error "quarnel needs C++20'* ]]; then
        echo "under -std=c++17 the first error should name C++20; it is: $first" >&2
        return 1
    fi
    if [[ "$shared" == ON ]]; then
        local program loaded
        for program in "$dir/consumer/consumer" "$dir/consumer-pc"; do
            loaded="$(ldd "$program" | sed -n 's/^\s*libquarnel\.so\.0\.1 => \(\S*\) .*/\1/p')"
            if [[ -z "$loaded" || "$(realpath "$loaded")" != "$(realpath "$dir/moved/lib/libquarnel.so.0.1.0")" ]]; then
                echo "$program does not load the installed libquarnel.so.0.1:" >&2
                ldd "$program" >&2
                return 1
            fi
        done
    fi

    # Each requested version, and whether the installed 0.1.0 must satisfy it.
    local request want got
    for request in 0.1:accepted 0.1.0:accepted 0.2:refused 0.0:refused 1:refused; do
        want="${request#*:}" request="${request%%:*}" got=refused
        cmake -S "$ROOT/tests/package" -B "$dir/check-$request" -DQUARNEL_REQUEST="$request" \
            -DQUARNEL_EXPECT_SHARED="$shared" -DCMAKE_PREFIX_PATH="$dir/moved" >"$dir/check-$request.log" 2>&1 &&
            got=accepted
        if [[ "$got" != "$want" ]]; then
            cat "$dir/check-$request.log" >&2
            echo "find_package(quarnel $request) was $got, should be $want" >&2
            return 1
        fi
    done
    echo "find_package accepts 0.1 and 0.1.0, refuses 0.2, 0.0 and 1"
}

# build_preset NAME [cmake --build options...]: configures the preset NAME of
# CMakePresets.json once (into build/NAME), then builds it incrementally.
build_preset() {
    local name="$1"
    shift
    ensure_venv
    if [[ ! -f "$ROOT/build/$name/build.ninja" ]]; then
        (cd "$ROOT" && cmake --preset "$name" >/dev/null)
    fi
    (cd "$ROOT" && cmake --build --preset "$name" -j 2 "$@")
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
