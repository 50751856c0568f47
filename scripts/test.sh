#!/usr/bin/env bash
# Builds navro and runs every test: the check of the layers, the GoogleTest
# suite of the internals and the pytest suite of the public API, then
# type-checks the examples, builds the documentation with its gallery and
# checks the links between its pages, and checks the style of the code (ruff
# for Python, clang-format for C++). The sanitizer mode builds and runs the
# two suites only.
#
#   bash scripts/test.sh                  # default build
#   NAVRO_SANITIZE=1 bash scripts/test.sh # AddressSanitizer + UBSan build
#
# Everything is installed into a virtual environment of the project's own
# (.venv, or $NAVRO_VENV), created on first use and reused after, so the
# command works for any user on a stock Python that refuses system-wide
# installs. Exits non-zero when any test fails or any suite could not run.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS="${NAVRO_JOBS:-2}"
GENERATOR=()
if command -v ninja >/dev/null; then GENERATOR=(-G Ninja); fi

step() { printf '\n==> %s\n' "$*"; }

# make_venv DIR EXTRAS: a virtual environment at DIR with the package and the
# given extras (its test tools, say) installed from this checkout; further
# arguments go to pip.
make_venv() {
    local venv=$1 extras=$2
    shift 2
    if [ ! -x "$venv/bin/python" ]; then
        step "Creating the virtual environment $venv"
        local base
        base="$(command -v python3 || command -v python)"
        if ! "$base" -m venv "$venv"; then
            echo "Could not create $venv: install Python's venv module (on Debian: apt-get install python3-venv)." >&2
            exit 1
        fi
    fi
    step "Installing navro and its test tools into $venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check ".[$extras]" "$@"
}

# GoogleTest comes from the system's packages. Root installs it when missing;
# any other user gets the C++ suite skipped with a note on how to add it.
have_gtest() { [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ]; }

ensure_gtest() {
    have_gtest && return 0
    if [ "$(id -u)" = "0" ] && command -v apt-get >/dev/null; then
        step "Installing GoogleTest (libgtest-dev)"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
        return 0
    fi
    printf '\n==> GoogleTest not found: skipping the C++ suite.\n'
    printf '    Install it to run that suite too (on Debian: sudo apt-get install libgtest-dev).\n'
    return 1
}

run_cpp_tests() {
    local build_dir=$1 python=$2
    shift 2
    step "Building the C++ tests in $build_dir"
    cmake -S . -B "$build_dir" "${GENERATOR[@]}" -DNAVRO_BUILD_TESTS=ON \
        -DPython_EXECUTABLE="$python" "$@" >/dev/null
    cmake --build "$build_dir" --target cpp_tests -j "$JOBS"
    step "Running the C++ tests"
    ctest --test-dir "$build_dir" --output-on-failure
}

step "Checking that only the bridge includes the interpreter's headers"
"$(command -v python3 || command -v python)" scripts/check_layers.py

CPP_TESTS=1
ensure_gtest || CPP_TESTS=0

if [ "${NAVRO_SANITIZE:-0}" = "1" ]; then
    build_dir=build/sanitize
    venv="$build_dir/venv"
    make_venv "$venv" test --config-settings=cmake.define.NAVRO_SANITIZE=ON \
        --config-settings=cmake.define.NAVRO_WERROR=ON \
        --config-settings=cmake.build-type=RelWithDebInfo \
        --config-settings=build-dir="$build_dir/wheel"
    python="$(cd "$venv/bin" && pwd)/python"

    if [ "$CPP_TESTS" = 1 ]; then
        # Leaks of our own code are caught here, in the C++ suite.
        ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 run_cpp_tests "$build_dir/tests" \
            "$python" -DNAVRO_SANITIZE=ON -DNAVRO_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
    fi

    step "Running the Python tests under the sanitizers"
    # The interpreter keeps memory until it exits, so leak reports are silenced in
    # this run; libstdc++ is preloaded after the runtime so that C++
    # exceptions thrown in the module unwind normally.
    asan_runtime="$(g++ -print-file-name=libasan.so)"
    cxx_runtime="$(g++ -print-file-name=libstdc++.so)"
    # pytest captures what a dying test writes, so the sanitizers' reports go
    # to files and are shown when the run fails.
    reports="$PWD/$build_dir/reports"
    rm -rf "$reports" && mkdir -p "$reports"
    status=0
    LD_PRELOAD="$asan_runtime $cxx_runtime" \
        ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:log_path="$reports/asan" \
        UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path="$reports/ubsan" \
        PYTHONMALLOC=malloc \
        NAVRO_SANITIZE=1 \
        "$venv/bin/pytest" tests/python -q -p no:cacheprovider || status=$?
    if [ -n "$(ls -A "$reports")" ]; then
        step "Sanitizer reports"
        cat "$reports"/*
        [ "$status" = 0 ] && status=1
    fi
    exit "$status"
else
    venv="${NAVRO_VENV:-.venv}"
    make_venv "$venv" test,docs --config-settings=cmake.define.NAVRO_WERROR=ON
    python="$(cd "$venv/bin" && pwd)/python"

    if [ "$CPP_TESTS" = 1 ]; then
        run_cpp_tests build/tests "$python" -DNAVRO_WERROR=ON
    fi

    # The pytest script, not `python -m pytest`: the latter would put the
    # checkout first on the path, where navro has no compiled core.
    step "Running the Python tests"
    "$venv/bin/pytest" tests/python -q -p no:cacheprovider

    step "Type-checking the examples against the stubs"
    "$python" -m mypy --strict examples
    # The stubs against the installed module, from outside the source tree.
    (cd "$(mktemp -d)" && "$python" -m mypy.stubtest navro)

    # With warnings as errors, the examples run into the gallery.
    NAVRO_VENV="$venv" bash scripts/docs.sh --installed

    # The style checks, last, so that a lapse of style hides no failing test.
    # `ruff check --fix .`, `ruff format .` and `clang-format -i` on the same
    # files (all from the venv) apply what they ask for.
    step "Linting and checking the format of the Python code"
    "$venv/bin/ruff" check .
    "$venv/bin/ruff" format --check .
    step "Checking the format of the C++ code"
    find src tests/cpp \( -name '*.cpp' -o -name '*.hpp' \) -print0 |
        xargs -0 "$venv/bin/clang-format" --dry-run --Werror
fi
