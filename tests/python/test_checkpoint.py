"""QarnRegressor(checkpoint=PATH): a search killed in the middle of a level
continues from its last completed level and ends as if never stopped; a
checkpoint of other data or settings, or a damaged one, is refused."""

import os
import signal
import struct
import subprocess
import sys
import textwrap
import time

import pytest

pytest.importorskip("sklearn")
np = pytest.importorskip("numpy")

from qarn_sr_sklearn import QarnRegressor  # noqa: E402

SCRIPT = textwrap.dedent("""
    import struct, sys
    import numpy as np
    from qarn_sr_sklearn import QarnRegressor
    rng = np.random.default_rng(5)
    X = rng.uniform(-2, 2, size=(200, 2))
    y = np.sin(X[:, 0]) * X[:, 1] + 0.3 * X[:, 0] ** 3 + 0.05 * rng.normal(size=200)
    path = sys.argv[1] if len(sys.argv) > 1 else None
    model = QarnRegressor(max_complexity=6, beam_width=300, verbose=False, checkpoint=path)
    model.fit(X, y)
    print(model.searches_[0]["resumed_at_level"])
    for r in model.pareto_front_:
        print(r.formula, struct.pack("<d", r.error).hex(), r.complexity,
              np.asarray(r.predict(X)).tobytes().hex()[:64], model.to_text(r))
""")


def completed_level(path):
    """The level a checkpoint file holds, None while there is none."""
    try:
        data = open(path, "rb").read()
    except FileNotFoundError:
        return None
    (config_size,) = struct.unpack_from("<Q", data, 24)
    return struct.unpack_from("<Q", data, 32 + config_size)[0]


def test_a_search_killed_mid_level_resumes_to_the_same_results(tmp_path):
    path = tmp_path / "search.ckpt"
    child = subprocess.Popen([sys.executable, "-c", SCRIPT, str(path)], stdout=subprocess.PIPE,
                             text=True, cwd=tmp_path)
    try:
        while (completed_level(path) or 0) < 4 and child.poll() is None:
            time.sleep(0.005)
        time.sleep(0.1)  # into level 5 (a second or more here)
        os.kill(child.pid, signal.SIGKILL)
    finally:
        child.wait(timeout=60)
    assert child.returncode == -signal.SIGKILL
    killed_at = completed_level(path)
    assert 4 <= killed_at < 6
    assert not (tmp_path / "search.ckpt.tmp").exists() or completed_level(path) == killed_at

    def run(*args):
        done = subprocess.run([sys.executable, "-c", SCRIPT, *args], capture_output=True,
                              text=True, timeout=600, cwd=tmp_path, check=True)
        return done.stdout.splitlines()

    resumed = run(str(path))
    uninterrupted = run()
    assert resumed[0] == str(killed_at) and uninterrupted[0] == "None"
    assert resumed[1:] == uninterrupted[1:] and len(resumed) > 3


def test_checkpoints_of_other_data_settings_or_damaged_files_are_refused(tmp_path):
    rng = np.random.default_rng(1)
    X = rng.uniform(-2, 2, size=(40, 2))
    y = X[:, 0] ** 3 - X[:, 1] + 0.01 * rng.normal(size=40)
    path = tmp_path / "c.ckpt"
    QarnRegressor(max_complexity=4, beam_width=30, verbose=False, checkpoint=path).fit(X, y)
    again = QarnRegressor(max_complexity=4, beam_width=30, verbose=False, checkpoint=str(path))
    assert again.fit(X, y).searches_[0]["resumed_at_level"] == 4
    with pytest.raises(ValueError, match="other data"):
        again.fit(X, y + 1.0)
    with pytest.raises(ValueError, match=r"other settings: beam_width 31 \(the checkpoint's 30\)"):
        QarnRegressor(max_complexity=4, beam_width=31, verbose=False, checkpoint=path).fit(X, y)
    with pytest.raises(ValueError, match="schedule='single'"):
        QarnRegressor(checkpoint=path, schedule="growing", time_limit=5).fit(X, y)
    with pytest.raises(ValueError, match="needs random_state"):  # a new sample each fit
        QarnRegressor(checkpoint=path, max_samples=20).fit(X, y)
    data = path.read_bytes()
    for damaged in (data[: len(data) // 2], data[:-1], data[:100] + b"\x01" + data[101:], b"",
                    b"not a checkpoint at all"):
        path.write_bytes(damaged)
        with pytest.raises(ValueError, match="truncated or corrupted|not a qarn_sr checkpoint"):
            again.fit(X, y)
    # An unwritable path: the fit goes on and says so.
    blocked = QarnRegressor(max_complexity=3, beam_width=30, verbose=False,
                            checkpoint=tmp_path / "missing" / "c.ckpt")
    with pytest.warns(RuntimeWarning, match="checkpoint could not be written"):
        assert blocked.fit(X, y).pareto_front_


CLUSTER_SCRIPT = textwrap.dedent("""
    import sys
    import distributed
    import numpy as np
    from qarn_sr_dask import DaskSearcher
    rng = np.random.default_rng(5)
    X = rng.uniform(-2, 2, size=(200, 2))
    y = np.sin(X[:, 0]) * X[:, 1] + 0.3 * X[:, 0] ** 3 + 0.05 * rng.normal(size=200)
    with distributed.LocalCluster(n_workers=int(sys.argv[2]), threads_per_worker=1,
                                  processes=False, dashboard_address=None) as cluster, \\
            distributed.Client(cluster) as client:
        searcher = DaskSearcher(client, max_complexity=6, beam_width=1000, checkpoint=sys.argv[1])
        front = searcher.find_candidates(X, y)
    for r in front:
        print("front", r.formula, r.error.hex(), r.complexity, sep="|")
""")


def test_a_cluster_search_killed_mid_level_resumes_to_the_local_results(tmp_path):
    """The driver (with its in-process cluster) killed during level 6 and
    started again, on another number of workers, ends with the front of a
    search never stopped; local and cluster checkpoints are not mixed up."""
    pytest.importorskip("distributed")
    import qarn_sr

    path = tmp_path / "cluster.ckpt"
    child = subprocess.Popen([sys.executable, "-c", CLUSTER_SCRIPT, str(path), "2"],
                             stdout=subprocess.DEVNULL, cwd=tmp_path)
    try:
        while (completed_level(path) or 0) < 5 and child.poll() is None:
            time.sleep(0.005)
        time.sleep(0.05)
        os.kill(child.pid, signal.SIGKILL)
    finally:
        child.wait(timeout=60)
    assert child.returncode == -signal.SIGKILL and completed_level(path) == 5

    resumed = subprocess.run([sys.executable, "-c", CLUSTER_SCRIPT, str(path), "3"],
                             capture_output=True, text=True, timeout=600, cwd=tmp_path, check=True)
    assert "Level 5 processed" not in resumed.stdout and "Level 6 processed" in resumed.stdout
    rng = np.random.default_rng(5)
    X = rng.uniform(-2, 2, size=(200, 2))
    y = np.sin(X[:, 0]) * X[:, 1] + 0.3 * X[:, 0] ** 3 + 0.05 * rng.normal(size=200)
    local = qarn_sr.Searcher(max_complexity=6, beam_width=1000).find_candidates(X, y)
    front = [line.split("|")[1:] for line in resumed.stdout.splitlines() if line.startswith("front")]
    assert front == [[r.formula, r.error.hex(), str(r.complexity)] for r in local]

    # Each kind of search continues only its own checkpoints.
    import _qarn_sr_core

    with pytest.raises(ValueError, match="written by a search on a Dask cluster"):
        _qarn_sr_core.search(X, y, max_complexity=6, beam_width=1000, early_stop=False,
                             checkpoint=path)
    local_path = tmp_path / "local.ckpt"
    _qarn_sr_core.search(X, y, max_complexity=2, beam_width=1000, early_stop=False,
                         checkpoint=local_path)
    refused = subprocess.run([sys.executable, "-c", CLUSTER_SCRIPT.replace(
        "max_complexity=6", "max_complexity=2"), str(local_path), "1"], capture_output=True,
        text=True, timeout=600, cwd=tmp_path)
    assert refused.returncode == 1
    assert "ValueError: checkpoint" in refused.stderr
    assert "written by a local search" in refused.stderr
