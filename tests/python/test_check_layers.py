"""The include-layer check of tools/check_layers.py, on small source trees."""

import pathlib
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
CHECK = REPO / "tools" / "check_layers.py"


def run_check(root: pathlib.Path) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, str(CHECK), str(root)], capture_output=True, text=True, check=False
    )


def make_tree(root: pathlib.Path, files: dict) -> pathlib.Path:
    for name, text in files.items():
        path = root / "src" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    return root


def test_the_repository_passes():
    result = run_check(REPO)
    assert result.returncode == 0, result.stdout


@pytest.mark.parametrize(
    "name, include",
    [
        ("ops/a.h", "engine/b.h"),
        ("engine/a.cpp", "api/entry_points.h"),
        ("api/a.cpp", "python/module.h"),
        ("python/a.cpp", "engine/bfs.h"),  # python reaches the search through api only
    ],
)
def test_an_include_pointing_the_wrong_way_fails(tmp_path, name, include):
    root = make_tree(tmp_path, {name: f'#include <vector>\n  #  include "{include}"\n'})
    result = run_check(root)
    assert result.returncode == 1
    assert f'{name}:2: ' in result.stdout
    assert include in result.stdout


def test_includes_that_point_down_pass_and_unknown_folders_fail(tmp_path):
    root = make_tree(
        tmp_path,
        {
            "ops/a.h": '#include "ops/b.h"\n',
            "engine/a.cpp": '#include "ops/a.h"\n#include "engine/a.h"\n',
            "api/a.cpp": '#include "engine/a.h"\n#include "ops/a.h"\n',
            "python/a.cpp": '#include "api/a.h"\n#include "ops/a.h"\n#include <Python.h>\n',
            "README.md": '#include "python/a.h"\n',
        },
    )
    assert run_check(root).returncode == 0
    make_tree(root, {"misc/a.h": "\n"})
    result = run_check(root)
    assert result.returncode == 1
    assert "misc" in result.stdout
