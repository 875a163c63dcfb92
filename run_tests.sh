#!/usr/bin/env bash
# The one test command. On a fresh Debian machine (Python 3.11 with pip and
# venv, CMake, Ninja, g++) it installs what it needs and runs every suite:
#
#   ./run_tests.sh             check the include layers and the formatting,
#                              install the module into .venv, build and run the
#                              C++ unit tests, run the Python tests against the
#                              installed module, check the type stub and the wheel
#   ./run_tests.sh --sanitize  build the C++ unit tests and the module with
#                              AddressSanitizer and UndefinedBehaviorSanitizer
#                              and run both test suites with them
#
# The first failing step stops the script with its exit status.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
VENV="$REPO/.venv"
PY="$VENV/bin/python"
TBB_VERSION=2023.2.0
# Formatting depends on the clang-format release, so the check pins one.
CLANG_FORMAT_VERSION=18.1.8

mode=all
case "${1:-}" in
  "") ;;
  --sanitize) mode=sanitize ;;
  -h | --help)
    sed -n '2,12p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
  *)
    echo "run_tests.sh: unknown option '$1' (expected --sanitize)" >&2
    exit 2
    ;;
esac

step() { printf '\n==> %s\n' "$*"; }

# Two cores are the norm here; let every build use them all.
JOBS="$(nproc 2>/dev/null || echo 2)"
export CMAKE_BUILD_PARALLEL_LEVEL="$JOBS"

# doctest comes from Debian's doctest-dev (header only).
ensure_doctest() {
  if [[ -f /usr/include/doctest/doctest.h ]]; then return; fi
  step "Installing doctest-dev"
  local sudo=()
  if [[ "$(id -u)" != 0 ]]; then
    if command -v sudo >/dev/null 2>&1; then
      sudo=(sudo)
    else
      echo "doctest-dev is missing and installing it needs root" >&2
      exit 1
    fi
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update
  "${sudo[@]}" apt-get install -y --no-install-recommends doctest-dev
}

# The virtual environment holds the test tools and, for the C++ build,
# oneTBB's headers and CMake package (tbb-devel). CMake and Ninja come from it
# too when the machine has none recent enough.
ensure_venv() {
  if [[ ! -x "$PY" ]]; then
    step "Creating $VENV"
    python3 -m venv "$VENV"
  fi
  export PATH="$VENV/bin:$PATH"
  local pip=("$PY" -m pip --disable-pip-version-check)
  local tools=()
  if ! cmake_ok; then tools+=("cmake>=3.26"); fi
  if ! command -v ninja >/dev/null 2>&1; then tools+=(ninja); fi
  step "Installing build and test tools into .venv"
  # scikit-learn, pandas, SymPy and Hypothesis serve the tests of the
  # estimator module (the "test" extra of pyproject.toml).
  "${pip[@]}" install --progress-bar off -q "tbb-devel==$TBB_VERSION" \
    "clang-format==$CLANG_FORMAT_VERSION" pytest mypy numpy \
    "scikit-learn>=1.6" "sympy>=1.12" "pandas>=2" "hypothesis>=6" "${tools[@]}"
}

cmake_ok() {
  command -v cmake >/dev/null 2>&1 || return 1
  local v
  v="$(cmake --version | sed -n '1s/[^0-9]*\([0-9]*\)\.\([0-9]*\).*/\1 \2/p')"
  read -r major minor <<<"$v"
  [[ -n "${major:-}" ]] && { ((major > 3)) || ((major == 3 && minor >= 26)); }
}

# Configures, builds and runs the C++ unit tests in build directory $1; the
# remaining arguments go to CMake.
cpp_tests() {
  local dir="$1"
  shift
  step "Building the C++ unit tests in ${dir#"$REPO"/}"
  cmake -S "$REPO" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQARN_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$PY" "$@"
  cmake --build "$dir" --parallel "$JOBS"
  step "Running the C++ unit tests"
  ctest --test-dir "$dir" --output-on-failure
}

step "Checking that includes point down the layers (tools/check_layers.py)"
python3 "$REPO/tools/check_layers.py" "$REPO"

# Every C++ source must be as clang-format leaves it under .clang-format.
check_format() {
  step "Checking the C++ formatting (clang-format $CLANG_FORMAT_VERSION)"
  local sources=()
  mapfile -t sources < <(cd "$REPO" && find src tests bench -name '*.h' -o -name '*.cpp' | sort)
  (cd "$REPO" && "$VENV/bin/clang-format" --dry-run --Werror "${sources[@]}")
}

ensure_doctest
ensure_venv
check_format

# From a folder outside the checkout, so that only the module under test can
# be imported.
outside="$(mktemp -d)"
trap 'rm -rf "$outside"' EXIT

if [[ "$mode" == sanitize ]]; then
  export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
  asan_build="$REPO/build/cpp-asan"
  # One build folder for both: the sanitized core library serves the unit
  # tests and the module.
  cpp_tests "$asan_build" -DQARN_SANITIZE=ON -DQARN_BUILD_PYTHON=ON

  step "Running the Python tests against the sanitized module"
  # The interpreter is not built with the sanitizers, so their runtime must be
  # loaded before anything else: preload it, and the C++ runtime with it (the
  # interpreter does not link libstdc++, and without it AddressSanitizer finds
  # no __cxa_throw to forward to when a C++ extension, ours or another, throws). Python objects go through malloc
  # (PYTHONMALLOC) so that AddressSanitizer watches them too. Leak detection
  # is off for this run only: CPython and NumPy keep objects alive until the
  # process ends (interned strings, type caches, module state) and never free
  # some of them, which LeakSanitizer would report at exit as leaks of the
  # interpreter; the suite checks the module's own leaks with reference counts
  # and memory growth, and the C++ unit tests above run with leak detection.
  asan_runtime="$("${CXX:-c++}" -print-file-name=libasan.so):$("${CXX:-c++}" -print-file-name=libstdc++.so)"
  (
    cd "$outside"
    export LD_PRELOAD="$asan_runtime${LD_PRELOAD:+:$LD_PRELOAD}"
    export ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0"
    export PYTHONMALLOC=malloc
    # The module from the sanitized build, with oneTBB from .venv.
    export PYTHONPATH="$asan_build"
    export LD_LIBRARY_PATH="$VENV/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    "$PY" -c "import qarn_sr, sys; sys.exit(not qarn_sr.__file__.startswith('$asan_build'))"
    "$PY" -m pytest -p no:cacheprovider "$REPO/tests/python"
  )
  step "All sanitizer tests passed"
  exit 0
fi

# With the examples extra, so that the gallery's tests (tests/python/test_gallery.py)
# run, and the dask extra, so that the tests of qarn_sr_dask run too.
step "Installing qarn_sr into .venv (pip install .[examples,dask])"
"$PY" -m pip --disable-pip-version-check install --progress-bar off "$REPO[examples,dask]"

cpp_tests "$REPO/build/cpp-tests"

cd "$outside"

step "Running the Python tests"
"$PY" -m pytest -p no:cacheprovider "$REPO/tests/python"

if [[ -f "$REPO/src/python/qarn_sr.pyi" ]]; then
  step "Checking the type stub against the module (stubtest)"
  "$PY" -m mypy.stubtest qarn_sr
fi

# --- wheel: sdist and abi3 wheel, manylinux repair, fresh-environment quick start
step "Building and checking the wheel (tools/check_wheel.sh)"
bash "$REPO/tools/check_wheel.sh"
# --- end wheel

step "All tests passed"
