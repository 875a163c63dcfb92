"""Ctrl-C during QarnRegressor.fit, in a subprocess: the search stops, its
thread is joined, the completed levels' front stays on the estimator, and the
process goes on and exits normally."""

import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("sklearn")

SCRIPT = textwrap.dedent("""
    import os, pickle, signal, sys, threading, time
    import numpy as np
    import _qarn_sr_core
    from qarn_sr_sklearn import QarnRegressor

    moment = sys.argv[1]
    monitors = []
    real_monitor = _qarn_sr_core.SearchMonitor
    def recording():
        monitors.append(real_monitor())
        return monitors[-1]
    _qarn_sr_core.SearchMonitor = recording

    rng = np.random.default_rng(3)
    if moment == "refit":
        # Many rows: refitting the front takes a while after the last level.
        X = rng.uniform(-2, 2, size=(150_000, 1))
        settings = dict(max_complexity=4, beam_width=5, max_samples=None)
    else:
        X = rng.uniform(-2, 2, size=(2_000, 3))
        settings = dict(max_complexity=12, beam_width=400)
    y = np.sin(X[:, 0]) * np.exp(0.3 * X[:, -1]) + 0.1 * X[:, 0] ** 3

    def ready(m):
        if moment == "scoring":
            return m.phase == "scoring" and m.level >= 4
        if moment == "expanding":
            return m.phase == "expanding" and m.level >= 4
        return m.completed_levels == settings["max_complexity"] and m.phase != "finished"

    fired = []
    def interrupter():
        while not (monitors and ready(monitors[-1])):
            time.sleep(0.0002)
        fired.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=interrupter, daemon=True).start()
    model = QarnRegressor(verbose=moment == "scoring",
                          time_limit=60 if moment == "scoring" else None, **settings)
    try:
        model.fit(X, y)
        print("NOT INTERRUPTED", flush=True)
        sys.exit(3)
    except KeyboardInterrupt:
        latency = time.monotonic() - fired[0]
    searching = [t.name for t in threading.enumerate() if t.name == "qarn-search"]
    again = pickle.loads(pickle.dumps(model))
    assert np.array_equal(again.predict(X[:50]), model.predict(X[:50]), equal_nan=True)
    print("INTERRUPTED", f"{latency:.3f}", model.interrupted_, model.timed_out_,
          len(model.pareto_front_), model.best_.complexity, monitors[-1].completed_levels,
          searching, flush=True)
    time.sleep(1.0)  # a search still running would print meanwhile
""")


@pytest.mark.parametrize("moment", ["scoring", "expanding", "refit"])
def test_ctrl_c_keeps_the_front_and_ends_the_search(moment, tmp_path):
    run = subprocess.run([sys.executable, "-c", SCRIPT, moment], capture_output=True, text=True,
                         timeout=300, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stderr == ""
    out = run.stdout.splitlines()
    # Nothing after the line written once fit raised.
    assert out[-1].startswith("INTERRUPTED"), run.stdout
    _, latency, interrupted, timed_out, front, best, completed, searching = out[-1].split(" ", 7)
    assert (interrupted, timed_out, searching) == ("True", "False", "[]")
    assert float(latency) < 5.0  # stops within a second on an idle machine
    assert int(front) >= 1 and 1 <= int(best) <= int(completed)
    if moment == "refit":
        assert int(completed) == 4
    else:
        assert 3 <= int(completed) < 12
    if moment == "scoring":
        # Progress to a pipe: one line per completed level, all before the
        # interrupt.
        assert [line.split(" ")[2] for line in out[:-1]] == \
            [str(level) for level in range(1, int(completed) + 1)]
