"""The qarn-sr command, end to end in a subprocess on a small CSV file."""

import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

import pytest

np = pytest.importorskip("numpy")
pd = pytest.importorskip("pandas")
pytest.importorskip("sklearn")
pytest.importorskip("tqdm")

BIN = pathlib.Path(sys.executable).parent
SCRIPT = BIN / "qarn-sr"
pytestmark = pytest.mark.skipif(not SCRIPT.exists(), reason="the qarn-sr script is not installed")

SMALL = ["--max-complexity", "6", "--beam-width", "100"]


def qarn_sr(*args, cwd, timeout=120):
    return subprocess.run([str(SCRIPT), *map(str, args)], cwd=cwd, capture_output=True,
                          text=True, timeout=timeout)


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cli")
    rng = np.random.default_rng(7)
    x, z = rng.uniform(0.5, 3.0, 40), rng.uniform(0.5, 3.0, 40)
    pd.DataFrame({"x": x, "noise": z, "y": 2.5 * x**2}).to_csv(folder / "train.csv", index=False)
    pd.DataFrame({"x": [1.0, 2.0], "noise": [0.0, 0.0]}).to_csv(folder / "new.csv", index=False)
    return folder


@pytest.fixture(scope="module")
def fitted(data):
    run = qarn_sr("fit", "train.csv", "--target", "y", "--features", "x", *SMALL,
                  "--out", "model.json", "--front", "front.csv", "--plot", "front.png", cwd=data)
    return run


def test_fit_prints_the_front_and_writes_its_files(fitted, data):
    assert fitted.returncode == 0, fitted.stderr
    lines = fitted.stdout.splitlines()
    assert lines[0].split() == ["complexity", "error", "R²", "formula", "for", "y"]
    chosen = [line for line in lines if line.startswith("*") and "complexity" not in line]
    assert len(chosen) == 2 and "Square(x)" in chosen[0] and "1.000000" in chosen[0]
    assert "noise" not in fitted.stdout  # only the features asked for
    # stderr is a pipe: plain progress lines, no bar
    assert "level" in fitted.stderr and "\r" not in fitted.stderr
    front = pd.read_csv(data / "front.csv")
    assert list(front.columns) == ["chosen", "complexity", "error", "r2", "formula"]
    assert front["chosen"].sum() == 1
    assert json.loads((data / "model.json").read_text())["feature_names"] == ["x"]
    assert (data / "front.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_predict_and_constant(fitted, data):
    run = qarn_sr("predict", "model.json", "new.csv", cwd=data)
    assert run.returncode == 0, run.stderr
    values = pd.read_csv(pd.io.common.StringIO(run.stdout))["prediction"].to_numpy()
    assert np.allclose(values, [2.5, 10.0])
    run = qarn_sr("predict", "model.json", "new.csv", "--out", "pred.csv", cwd=data)
    assert run.returncode == 0 and run.stdout == ""
    assert np.allclose(pd.read_csv(data / "pred.csv")["prediction"], [2.5, 10.0])

    run = qarn_sr("constant", "3.141592653589793", "--max-complexity", "3", cwd=data)
    assert run.returncode == 0 and "value 3.14159" in run.stdout
    run = qarn_sr("--version", cwd=data)
    assert run.returncode == 0 and run.stdout.startswith("qarn-sr ")


@pytest.mark.parametrize("name", ["train.tsv", "train.npz"])
def test_other_file_types(data, name):
    frame = pd.read_csv(data / "train.csv")
    if name.endswith(".tsv"):
        frame.to_csv(data / name, sep="\t", index=False)
    else:
        np.savez(data / name, **{c: frame[c].to_numpy() for c in frame.columns})
    run = qarn_sr("fit", name, "--target", "y", "--features", "x", *SMALL, "--quiet", cwd=data)
    assert run.returncode == 0, run.stderr
    assert "Square(x)" in run.stdout


def test_progress_bar_on_a_terminal(data):
    """With stderr a terminal, progress is a tqdm bar redrawn in place, not
    plain lines."""
    pytest.importorskip("pty")
    import fcntl
    import struct
    import termios

    main, terminal = os.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 30, 100, 0, 0))
    with os.fdopen(main, "rb", buffering=0) as reader:
        process = subprocess.Popen([str(SCRIPT), "fit", "train.csv", "--target", "y", *SMALL],
                                   cwd=data, stdout=subprocess.PIPE, stderr=terminal)
        os.close(terminal)
        out, _ = process.communicate(timeout=120)
        progress = b""
        while True:
            try:
                chunk = reader.read(65536)
            except OSError:  # the process has ended and closed the terminal
                break
            if not chunk:
                break
            progress += chunk
    text = progress.decode("utf-8", "replace")
    assert process.returncode == 0, text
    assert "cand" in text and "\r" in text and "done," not in text
    assert b"Square(x)" in out


def test_quiet_writes_nothing_to_stderr(data):
    run = qarn_sr("fit", "train.csv", "--target", "y", *SMALL, "--quiet", cwd=data)
    assert run.returncode == 0 and run.stderr == ""


@pytest.mark.parametrize("args, status, message", [
    (["fit", "train.csv", "--target", "nope"], 1, "train.csv: no column 'nope'"),
    (["fit", "train.csv", "--target", "y", "--features", "x,w"], 1, "no column 'w'"),
    (["fit", "missing.csv", "--target", "y"], 1, "missing.csv: no such file"),
    (["fit", "text.csv", "--target", "y"], 1, "column 'x', row 2: 'abc', not a number"),
    (["fit", "gap.csv", "--target", "y"], 1, "column 'y', row 1: a missing value"),
    (["fit", "train.csv"], 2, "--target"),
    (["fit", "train.csv", "--target", "y", "--max-complexity", "0"], 2, "at least 1"),
    (["fit", "train.xlsx", "--target", "y"], 2, "unknown file type"),
    (["predict", "garbage.json", "new.csv"], 1, "garbage.json: not valid JSON"),
    (["predict", "model.json", "text.csv"], 1, "text.csv: column 'x', row 2"),
    (["constant", "nan"], 2, "finite"),
    (["frobnicate"], 2, "invalid choice"),
])
def test_errors_exit_with_one_line(fitted, data, args, status, message):
    (data / "text.csv").write_text("x,y\n1,2\nabc,3\n")
    (data / "gap.csv").write_text("x,y\n1,\n2,3\n")
    (data / "garbage.json").write_text('{"format": "qarn_sr.model", "vers')
    run = qarn_sr(*args, cwd=data)
    assert run.returncode == status
    assert message in run.stderr
    assert "Traceback" not in run.stderr
    if status == 1:
        assert len(run.stderr.strip().splitlines()) == 1, run.stderr


def test_ctrl_c_keeps_the_front_found_so_far(tmp_path):
    """SIGINT stops the search at its next piece of work; the front of the
    completed levels is still printed and written, and the status is 130."""
    rng = np.random.default_rng(1)
    x, z = rng.uniform(0.5, 3, 200), rng.uniform(0.5, 3, 200)
    y = np.sin(x) * z + np.exp(-z) * x + 0.1 * rng.normal(size=200)
    pd.DataFrame({"x": x, "z": z, "y": y}).to_csv(tmp_path / "hard.csv", index=False)
    process = subprocess.Popen(
        [str(SCRIPT), "fit", "hard.csv", "--target", "y", "--max-complexity", "14",
         "--beam-width", "3000", "--out", "model.json", "--front", "front.csv"],
        cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 120
    line = ""
    while "level 3 done" not in line and time.monotonic() < deadline:
        line = process.stderr.readline()
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=120)
    assert process.returncode == 130, err
    assert "interrupted" in err and "*" in out
    assert os.path.getsize(tmp_path / "front.csv") > 0
    assert json.loads((tmp_path / "model.json").read_text())["front"]


def test_checkpoint_continues_a_killed_fit_and_refuses_other_data(tmp_path):
    """A fit killed (SIGKILL) during a level continues from its checkpoint
    and prints the front of a fit never stopped; other data are refused."""
    rng = np.random.default_rng(1)
    x, z = rng.uniform(0.5, 3, 200), rng.uniform(0.5, 3, 200)
    y = np.sin(x) * z + np.exp(-z) * x + 0.1 * rng.normal(size=200)
    pd.DataFrame({"x": x, "z": z, "y": y}).to_csv(tmp_path / "hard.csv", index=False)
    fit = ["fit", "hard.csv", "--target", "y", "--max-complexity", "6", "--beam-width", "600"]
    process = subprocess.Popen([str(SCRIPT), *fit, "--checkpoint", "fit.ckpt"], cwd=tmp_path,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    line = ""
    while "level 5 done" not in line and process.poll() is None:
        line = process.stderr.readline()
    process.kill()
    process.communicate(timeout=60)
    assert process.returncode == -signal.SIGKILL

    resumed = qarn_sr(*fit, "--checkpoint", "fit.ckpt", cwd=tmp_path)
    assert resumed.returncode == 0, resumed.stderr
    assert re.search(r"continued from level [45] of fit\.ckpt", resumed.stderr), resumed.stderr
    uninterrupted = qarn_sr(*fit, cwd=tmp_path)

    def table(run):
        return re.sub(r", [0-9.]+s\]", "]", run.stdout)

    assert table(resumed) == table(uninterrupted) and "*" in resumed.stdout
    other = qarn_sr(*fit, "--features", "x", "--checkpoint", "fit.ckpt", cwd=tmp_path)
    assert other.returncode == 1
    assert "checkpoint fit.ckpt was written for other data" in other.stderr
