#!/usr/bin/env bash
# Builds navro and runs every test: the GoogleTest suite of the internals and
# the pytest suite of the public API, then type-checks the examples.
#
#   bash scripts/test.sh                  # default build
#   NAVRO_SANITIZE=1 bash scripts/test.sh # AddressSanitizer + UBSan build
#
# Exits non-zero when any test fails or any suite could not run.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON="$(command -v python3 || command -v python)"
# The real interpreter, not a shim: the sanitizer runtime is preloaded into it.
PYTHON="$("$PYTHON" -c 'import sys; print(sys.executable)')"
JOBS="${NAVRO_JOBS:-2}"
GENERATOR=()
if command -v ninja >/dev/null; then GENERATOR=(-G Ninja); fi

step() { printf '\n==> %s\n' "$*"; }

ensure_gtest() {
    if [ ! -f /usr/include/gtest/gtest.h ]; then
        step "Installing GoogleTest (libgtest-dev)"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev
    fi
}

install_test_tools() {
    step "Installing the Python test tools"
    # The 'test' extra of pyproject.toml is the one list of what the tests need.
    mapfile -t tools < <("$PYTHON" - <<'PY'
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))
PY
)
    "$PYTHON" -m pip install -q "${tools[@]}"
}

run_cpp_tests() {
    local build_dir=$1
    shift
    step "Building the C++ tests in $build_dir"
    cmake -S . -B "$build_dir" "${GENERATOR[@]}" -DNAVRO_BUILD_TESTS=ON "$@" >/dev/null
    cmake --build "$build_dir" --target cpp_tests "${EXTRA_TARGETS[@]}" -j "$JOBS"
    step "Running the C++ tests"
    ctest --test-dir "$build_dir" --output-on-failure
}

ensure_gtest
install_test_tools

if [ "${NAVRO_SANITIZE:-0}" = "1" ]; then
    build_dir=build/sanitize
    EXTRA_TARGETS=(--target navro)
    # Leaks of our own code are caught here, in the C++ suite.
    ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 run_cpp_tests "$build_dir" \
        -DNAVRO_SANITIZE=ON -DNAVRO_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

    step "Running the Python tests under the sanitizers"
    # The interpreter keeps memory until it exits, so leak reports are silenced in
    # this run; libstdc++ is preloaded after the runtime so that C++
    # exceptions thrown in the module unwind normally.
    asan_runtime="$(g++ -print-file-name=libasan.so)"
    cxx_runtime="$(g++ -print-file-name=libstdc++.so)"
    LD_PRELOAD="$asan_runtime $cxx_runtime" \
        ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
        UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        PYTHONMALLOC=malloc \
        PYTHONPATH="$PWD/$build_dir" \
        NAVRO_SANITIZE=1 \
        "$PYTHON" -m pytest tests/python -q -p no:cacheprovider
else
    step "Installing navro (warnings are errors)"
    "$PYTHON" -m pip install -q . --config-settings=cmake.define.NAVRO_WERROR=ON

    EXTRA_TARGETS=()
    run_cpp_tests build/tests -DNAVRO_WERROR=ON

    step "Running the Python tests"
    "$PYTHON" -m pytest tests/python -q -p no:cacheprovider

    step "Type-checking the examples against the stubs"
    "$PYTHON" -m mypy --strict examples
    # The stubs against the installed module, from outside the source tree.
    (cd "$(mktemp -d)" && "$PYTHON" -m mypy.stubtest navro)
fi
