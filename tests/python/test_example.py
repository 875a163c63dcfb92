"""The quick-start example runs and predicts correctly."""

import pathlib
import subprocess
import sys

import pytest

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "quickstart.py"


@pytest.mark.skipif(not EXAMPLE.exists(), reason="examples not present")
def test_quickstart_runs():
    pytest.importorskip("numpy")
    out = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True,
                         timeout=300, check=True).stdout
    assert "f(-4) = 40   (expected 40)" in out and "f(10) = 250   (expected 250)" in out


DASK_EXAMPLE = EXAMPLE.parent / "dask_local.py"


@pytest.mark.skipif(not DASK_EXAMPLE.exists(), reason="examples not present")
def test_dask_example_runs():
    pytest.importorskip("distributed")
    out = subprocess.run([sys.executable, str(DASK_EXAMPLE)], capture_output=True, text=True,
                         timeout=300, check=True).stdout
    assert "same as the local search: True" in out and "f(10) = 250" in out
