#!/usr/bin/env bash
# The one test command. On a fresh Debian machine (Python 3.11 with pip and
# venv, CMake, Ninja, g++) it installs what it needs into .venv, without root,
# and runs every suite:
#
#   ./run_tests.sh             everything: the include layers and the C++
#                              formatting, the C++ unit tests, the module
#                              installed into .venv, the Python tests (with the
#                              examples and the command line), the type stub,
#                              the documentation site and the wheel
#   ./run_tests.sh --cpp       the layers, the formatting and the C++ unit tests
#   ./run_tests.sh --python    the module, the Python tests and the type stub
#   ./run_tests.sh --docs      the module and the documentation site (strict)
#   ./run_tests.sh --wheel     the sdist and the wheel (tools/check_wheel.sh)
#   ./run_tests.sh --sanitize  the C++ unit tests and the module built with
#                              AddressSanitizer and UndefinedBehaviorSanitizer,
#                              and both test suites run with them
#
# The C++ unit tests need doctest's header (doctest/doctest.h). It is taken
# from DOCTEST_INCLUDE_DIR (or --doctest-dir DIR), the folder that holds
# doctest/doctest.h; else from /usr/include; else Debian's doctest-dev package
# is downloaded and unpacked into build/doctest (apt-get download, no root).
# Without it, every other suite still runs and the command ends with status 1.
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
doctest_dir="${DOCTEST_INCLUDE_DIR:-}"
while [[ $# -gt 0 ]]; do
  case "$1" in
    --sanitize) mode=sanitize ;;
    --cpp) mode=cpp ;;
    --python) mode=python ;;
    --docs) mode=docs ;;
    --wheel) mode=wheel ;;
    --doctest-dir)
      if [[ $# -lt 2 ]]; then
        echo "run_tests.sh: --doctest-dir needs a folder" >&2
        exit 2
      fi
      doctest_dir="$2"
      shift
      ;;
    --doctest-dir=*) doctest_dir="${1#--doctest-dir=}" ;;
    -h | --help)
      sed -n '2,24p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    *)
      echo "run_tests.sh: unknown option '$1' (expected --cpp, --python, --docs, --wheel," \
        "--sanitize or --doctest-dir DIR)" >&2
      exit 2
      ;;
  esac
  shift
done

step() { printf '\n==> %s\n' "$*"; }

# Two cores are the norm here; let every build use them all.
JOBS="$(nproc 2>/dev/null || echo 2)"
export CMAKE_BUILD_PARALLEL_LEVEL="$JOBS"

# Sets DOCTEST_FOUND to the folder that holds doctest/doctest.h, or leaves it
# empty and says how to get the header.
DOCTEST_FOUND=""
find_doctest() {
  if [[ -n "$doctest_dir" ]]; then
    if [[ -f "$doctest_dir/doctest/doctest.h" ]]; then
      DOCTEST_FOUND="$(cd "$doctest_dir" && pwd)"
      return
    fi
    echo "run_tests.sh: $doctest_dir/doctest/doctest.h does not exist (DOCTEST_INCLUDE_DIR or" \
      "--doctest-dir must name the folder that holds doctest/doctest.h)" >&2
    exit 2
  fi
  if [[ -f /usr/include/doctest/doctest.h ]]; then
    DOCTEST_FOUND=/usr/include
    return
  fi
  local unpacked="$REPO/build/doctest"
  if [[ -f "$unpacked/usr/include/doctest/doctest.h" ]]; then
    DOCTEST_FOUND="$unpacked/usr/include"
    return
  fi
  # Debian's package, downloaded and unpacked as the current user.
  if command -v apt-get >/dev/null 2>&1 && command -v dpkg-deb >/dev/null 2>&1; then
    step "Fetching doctest-dev into build/doctest (apt-get download, no root needed)"
    local tmp
    tmp="$(mktemp -d)"
    if (cd "$tmp" && apt-get download doctest-dev >/dev/null 2>&1) &&
      dpkg-deb -x "$tmp"/doctest-dev_*.deb "$unpacked" &&
      [[ -f "$unpacked/usr/include/doctest/doctest.h" ]]; then
      rm -rf "$tmp"
      DOCTEST_FOUND="$unpacked/usr/include"
      return
    fi
    rm -rf "$tmp"
  fi
  cat >&2 <<'MSG'

run_tests.sh: doctest's header (doctest/doctest.h) is missing, so the C++ unit
tests cannot be built; every other suite still runs. To get it, either:
  - install Debian's package:   sudo apt-get install doctest-dev
  - or fetch the single header and name its folder:
      mkdir -p ~/doctest/doctest && curl -L -o ~/doctest/doctest/doctest.h \
        https://raw.githubusercontent.com/doctest/doctest/v2.4.11/doctest/doctest.h
      DOCTEST_INCLUDE_DIR=~/doctest bash run_tests.sh   (or --doctest-dir ~/doctest)
MSG
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
    -DPython_EXECUTABLE="$PY" -DDOCTEST_INCLUDE_DIR="$DOCTEST_FOUND" "$@"
  cmake --build "$dir" --parallel "$JOBS"
  step "Running the C++ unit tests"
  ctest --test-dir "$dir" --output-on-failure
}

# Every C++ source must be as clang-format leaves it under .clang-format.
check_format() {
  step "Checking the C++ formatting (clang-format $CLANG_FORMAT_VERSION)"
  local sources=()
  mapfile -t sources < <(cd "$REPO" && find src tests bench -name '*.h' -o -name '*.cpp' | sort)
  (cd "$REPO" && "$VENV/bin/clang-format" --dry-run --Werror "${sources[@]}")
}

# Installs the module, with the given extras, into .venv.
install_module() {
  step "Installing qarn_sr into .venv (pip install .[$1])"
  "$PY" -m pip --disable-pip-version-check install --progress-bar off "$REPO[$1]"
}

# With the examples extra the gallery's tests (tests/python/test_gallery.py)
# run, with dask those of qarn_sr_dask, with cli those of the qarn-sr command.
python_tests() {
  step "Running the Python tests"
  (cd "$outside" && "$PY" -m pytest -p no:cacheprovider "$REPO/tests/python")
  if [[ -f "$REPO/src/python/qarn_sr.pyi" ]]; then
    step "Checking the type stub against the module (stubtest)"
    (cd "$outside" && "$PY" -m mypy.stubtest qarn_sr)
  fi
}

# The site in strict mode: a warning, a broken link or a missing reference
# fails the build. The notebook of the gallery is executed as part of it.
# Not --quiet: MkDocs counts only the warnings it logs.
docs_build() {
  step "Building the documentation site (mkdocs build --strict)"
  (cd "$REPO" && NO_MKDOCS_2_WARNING=1 "$VENV/bin/mkdocs" build --strict \
    --site-dir "$outside/site")
}

wheel_check() {
  step "Building and checking the wheel (tools/check_wheel.sh)"
  bash "$REPO/tools/check_wheel.sh"
}

cpp_suite() {
  if [[ -n "$DOCTEST_FOUND" ]]; then
    cpp_tests "$REPO/build/cpp-tests"
  else
    cpp_skipped=1
  fi
}

# From a folder outside the checkout, so that only the module under test can
# be imported.
outside="$(mktemp -d)"
trap 'rm -rf "$outside"' EXIT
cpp_skipped=0

if [[ "$mode" == all || "$mode" == cpp || "$mode" == sanitize ]]; then
  step "Checking that includes point down the layers (tools/check_layers.py)"
  python3 "$REPO/tools/check_layers.py" "$REPO"
  find_doctest
fi
ensure_venv

case "$mode" in
  cpp)
    check_format
    cpp_suite
    ;;
  python)
    install_module "examples,dask,cli"
    python_tests
    ;;
  docs)
    install_module "examples,cli,docs"
    docs_build
    ;;
  wheel)
    wheel_check
    ;;
  sanitize)
    check_format
    export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    asan_build="$REPO/build/cpp-asan"
    if [[ -z "$DOCTEST_FOUND" ]]; then
      echo "run_tests.sh: the sanitizer build needs doctest (see above)" >&2
      exit 1
    fi
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
    ;;
  all)
    check_format
    install_module "examples,dask,cli,docs"
    cpp_suite
    python_tests
    docs_build
    wheel_check
    ;;
esac

if ((cpp_skipped)); then
  step "Every other suite passed; the C++ unit tests did not run (doctest missing, see above)"
  exit 1
fi
step "All tests passed"
