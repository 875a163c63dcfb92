"""qarn_sr_dask.DaskSearcher on a LocalCluster of two single-threaded worker
processes: the same results, console lines and errors as qarn_sr.Searcher,
whatever the partitioning, through a worker's death and an interrupt."""

import math
import os
import re
import signal
import threading
import time

import pytest

distributed = pytest.importorskip("distributed")

import qarn_sr  # noqa: E402
import qarn_sr_dask  # noqa: E402
from qarn_sr_dask import _Progress  # noqa: E402

XS = [0.5, 1.0, 1.5, 2.0, 2.5, 3.0]
ROWS2 = [[x, 3.0 - 0.7 * x * x] for x in XS]
ROWS3 = [[x, 1.0 / x, x - 1.0] for x in XS]


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    )
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


def front_of(result):
    """Texts, complexities and error bits of a result or a front."""
    records = result if isinstance(result, list) else [result]
    for r in records:
        assert type(r) is qarn_sr.SearchResult
    return [(r.formula, r.complexity, r.error.hex()) for r in records]


DURATION = re.compile(r"processed in [0-9.]+(s|ms|µs|ns)\.")
PROGRESS = re.compile(r"\r  \[QARN\] L\d+ Progress: [^\r\n]*?\((\d+)/(\d+)\) \| [^\r\n]*?s\)   ")


def console(text):
    """The [QARN-SR] lines without durations, and per level the number of
    candidates the progress line counted to."""
    totals = [int(m.group(2)) for m in PROGRESS.finditer(text) if m.group(1) == m.group(2)]
    lines = [DURATION.sub("processed in _.", line) for line in PROGRESS.sub("", text).splitlines()]
    return [line for line in lines if line], totals


# (method, constructor arguments, call arguments): every method, alpha off
# and on (in the constructor and per call), one and several variables, and
# beams narrow enough that the two-round selection decides what is kept.
CASES = [
    ("find_function", dict(max_complexity=4, beam_width=50), (XS, [x * x for x in XS])),
    ("find_function", dict(max_complexity=5, beam_width=12),
     (XS, [2.5 * x * math.sin(x) + 0.3 for x in XS])),
    ("find_function", dict(max_complexity=4, beam_width=30, alpha=0.05, l1_ratio=0.3),
     (XS, [math.exp(-x) + 1.0 for x in XS])),
    ("find_multivariate", dict(max_complexity=4, beam_width=25), (ROWS2, [a + b for a, b in ROWS2])),
    ("find_multivariate", dict(max_complexity=4, beam_width=9),
     (ROWS3, [a * b - c for a, b, c in ROWS3], 0.1, 0.9)),
    ("fit", dict(max_complexity=4, beam_width=15), (ROWS2, [a * b for a, b in ROWS2])),
    ("fit", dict(max_complexity=3, beam_width=1000, alpha=0.2), (ROWS3, [a + c for a, b, c in ROWS3])),
    ("find_candidates", dict(max_complexity=5, beam_width=10),
     ([[x] for x in XS], [math.sin(x) * x for x in XS])),
    ("find_candidates", dict(max_complexity=4, beam_width=20),
     (ROWS2, [a / (1.0 + b * b) for a, b in ROWS2], 0.01)),
    ("find_candidates", dict(max_complexity=4, beam_width=1),
     (ROWS3, [a - b for a, b, c in ROWS3])),
    ("recognize_constant", dict(max_complexity=4, beam_width=40), (math.pi * 2,)),
    ("recognize_constant", dict(max_complexity=4, beam_width=40, alpha=0.5), (1.6180339887,)),
    ("find_multivariate", dict(max_complexity=5, beam_width=0), (ROWS2, [a for a, b in ROWS2])),
]


@pytest.mark.parametrize("partitions", [1, 3, 8])
@pytest.mark.parametrize("method,settings,args", CASES)
def test_same_front_lines_and_levels_as_local(client, capfd, method, settings, args, partitions):
    capfd.readouterr()
    try:
        local = front_of(getattr(qarn_sr.Searcher(**settings), method)(*args))
    except qarn_sr.QarnComplexityError as error:
        local = ("error", str(error))
    local_lines, local_totals = console(capfd.readouterr().out)
    searcher = qarn_sr_dask.DaskSearcher(client, **settings, partitions=partitions)
    try:
        remote = front_of(getattr(searcher, method)(*args))
    except qarn_sr.QarnComplexityError as error:
        remote = ("error", str(error))
    remote_lines, remote_totals = console(capfd.readouterr().out)
    assert remote == local
    # Same levels built, retaining as many formulas, from as many candidates.
    assert remote_lines == local_lines
    assert remote_totals == local_totals


def test_results_behave_as_local_results(client):
    settings = dict(max_complexity=4, beam_width=30)
    ys = [2.0 * x * x + 1.0 for x in XS]
    local = qarn_sr.Searcher(**settings).find_function(XS, ys)
    remote = qarn_sr_dask.DaskSearcher(client, **settings).find_function(XS, ys)
    assert remote.to_latex() == local.to_latex()
    assert remote.to_python() == local.to_python()
    assert repr(remote) == repr(local)
    assert remote.predict([[0.25], [4.0]]) == local.predict([[0.25], [4.0]])


def test_defaults_and_settings_read_back(client):
    searcher = qarn_sr_dask.DaskSearcher(client)
    local = qarn_sr.Searcher()
    for name in ("max_complexity", "complexity_penalty", "beam_width", "alpha", "l1_ratio"):
        assert getattr(searcher, name) == getattr(local, name)
    searcher = qarn_sr_dask.DaskSearcher(client, 3, 0.5, beam_width=7, l1_ratio=0.25)
    assert (searcher.max_complexity, searcher.complexity_penalty, searcher.beam_width) == (3, 0.5, 7)
    assert searcher.l1_ratio == 0.25
    with pytest.raises(ValueError):
        qarn_sr_dask.DaskSearcher(client, partitions=0)


# Calls that fail: the same exception class and message as the local Searcher.
BAD_CONSTRUCTORS = [
    dict(max_complexity=-1),
    dict(max_complexity=2.5),
    dict(beam_width="wide"),
    dict(alpha="x"),
    dict(complexity_penalty=None),
    dict(width=3),
]
BAD_CALLS = [
    ("find_function", (XS, [1.0, 2.0]), {}),
    ("find_function", ([], []), {}),
    ("find_function", ("abc", XS), {}),
    ("find_function", (XS,), {}),
    ("find_function", (XS, XS, 0.1, 0.2, 0.3), {}),
    ("find_function", (XS, XS), {"alpha": "high"}),
    ("find_function", (XS, XS), {"gamma": 1.0}),
    ("find_multivariate", ([1.0, 2.0], [1.0, 2.0]), {}),
    ("fit", (ROWS2, XS[:3]), {}),
    ("find_candidates", ([], []), {}),
    ("find_candidates", (ROWS2,), {"inputs": ROWS2}),
    ("recognize_constant", ("pi",), {}),
    ("recognize_constant", (), {"l1_ratio": 0.5}),
    # Refused when the search starts: non-finite inputs and settings.
    ("find_function", ([1.0, math.nan], [1.0, 2.0]), {}),
    ("find_candidates", ([[1.0], [2.0, math.inf]], [1.0, 2.0]), {}),
    ("find_function", (XS, XS), {"alpha": math.inf}),
    ("recognize_constant", (2.5,), {"l1_ratio": math.nan}),
]


def outcome(call):
    try:
        call()
    except Exception as error:  # noqa: BLE001 - the class is what is compared
        return type(error), str(error).replace("DaskSearcher", "Searcher")
    return None


@pytest.mark.parametrize("kwargs", BAD_CONSTRUCTORS)
def test_constructor_errors_match(client, kwargs):
    expected = outcome(lambda: qarn_sr.Searcher(**kwargs))
    assert expected is not None
    assert outcome(lambda: qarn_sr_dask.DaskSearcher(client, **kwargs)) == expected


@pytest.mark.parametrize("method,args,kwargs", BAD_CALLS)
def test_call_errors_match(client, capfd, method, args, kwargs):
    expected = outcome(lambda: getattr(qarn_sr.Searcher(max_complexity=2), method)(*args, **kwargs))
    assert expected is not None
    searcher = qarn_sr_dask.DaskSearcher(client, max_complexity=2)
    assert outcome(lambda: getattr(searcher, method)(*args, **kwargs)) == expected
    assert capfd.readouterr().out == ""


def test_refused_settings_match(client, capfd):
    for kwargs in (dict(max_complexity=511), dict(max_complexity=3, complexity_penalty=math.nan)):
        expected = outcome(lambda: qarn_sr.Searcher(**kwargs).find_function(XS, XS))
        assert expected[0] is ValueError
        remote = qarn_sr_dask.DaskSearcher(client, **kwargs)
        assert outcome(lambda: remote.find_function(XS, XS)) == expected
    assert capfd.readouterr().out == ""


def test_no_formula_found_matches(client):
    expected = outcome(lambda: qarn_sr.Searcher(max_complexity=0).find_function(XS, XS))
    remote = qarn_sr_dask.DaskSearcher(client, max_complexity=0)
    assert outcome(lambda: remote.find_function(XS, XS)) == expected
    assert expected[0] is qarn_sr.QarnComplexityError


def worker_pids(client):
    return client.run(os.getpid)


def test_killed_worker_gives_same_result(client):
    settings = dict(max_complexity=6, beam_width=120)
    ys = [2.5 * x * math.sin(x) + 0.3 for x in XS]
    local = front_of(qarn_sr.Searcher(**settings).find_candidates([[x] for x in XS], ys))
    before = worker_pids(client)
    victim = sorted(before.values())[0]
    killed = threading.Event()
    original = _Progress.add

    def add(self, count):
        # Kill a worker while level 4's runs are being scored.
        if self.level == 4 and not killed.is_set():
            killed.set()
            os.kill(victim, signal.SIGKILL)
        original(self, count)

    searcher = qarn_sr_dask.DaskSearcher(client, **settings, partitions=6)
    _Progress.add = add
    try:
        remote = front_of(searcher.find_candidates([[x] for x in XS], ys))
    finally:
        _Progress.add = original
    assert killed.is_set()
    assert remote == local
    client.wait_for_workers(2, timeout=60)
    assert victim not in worker_pids(client).values()


def test_interrupt_cancels_and_leaves_cluster_usable(client):
    settings = dict(max_complexity=6, beam_width=100)
    ys = [x**3 - x for x in XS]
    original = _Progress.add

    def interrupted(self, count):
        # Ctrl-C while level 4's runs are being scored.
        if self.level == 4:
            raise KeyboardInterrupt
        original(self, count)

    def qarn_tasks(dask_scheduler):
        return [str(k) for k in dask_scheduler.tasks if "qarn-" in str(k)]

    # Earlier tests' searches may still hold tasks on this module's cluster
    # until their objects are collected: only this search's tasks count.
    earlier = set(client.run_on_scheduler(qarn_tasks))

    def left():
        return set(client.run_on_scheduler(qarn_tasks)) - earlier

    _Progress.add = interrupted
    try:
        with pytest.raises(KeyboardInterrupt):
            qarn_sr_dask.DaskSearcher(client, **settings, partitions=8).find_function(XS, ys)
    finally:
        _Progress.add = original

    deadline = time.monotonic() + 10
    while left() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert left() == set()
    local = qarn_sr.Searcher(**settings).find_function(XS, ys)
    assert front_of(qarn_sr_dask.DaskSearcher(client, **settings).find_function(XS, ys)) == front_of(local)


# ---------------------------------------------------------------------------
# Cluster faults: each ends the search within seconds with an error that says
# what happened, and leaves what is left of the cluster usable.

FAULT_SETTINGS = dict(max_complexity=6, beam_width=100)
FAULT_YS = [x**3 - x for x in XS]


def own_cluster(workers=1):
    cluster = distributed.LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
    )
    return cluster, distributed.Client(cluster)


def fault_at_level_3(fault):
    """Runs `fault` once, while level 3's runs are being scored; returns the
    time it happened (a list filled in)."""
    original = _Progress.add
    when = []

    def add(self, count):
        if self.level == 3 and not when:
            fault()
            when.append(time.monotonic())
        original(self, count)

    return add, original, when


@pytest.mark.parametrize("fault,message", [
    ("client", "the Dask client is closed"),
    ("cluster", "the Dask client is closed, or its cluster has shut down"),
    ("scheduler", "the connection to the Dask scheduler was lost"),
])
def test_a_lost_client_cluster_or_scheduler_ends_the_search_with_its_name(fault, message):
    cluster, own = own_cluster()
    try:
        actions = {
            "client": own.close,
            "cluster": cluster.close,
            "scheduler": lambda: cluster.sync(cluster.scheduler.close),
        }
        add, original, when = fault_at_level_3(actions[fault])
        _Progress.add = add
        try:
            with pytest.raises(qarn_sr.QarnRuntimeError, match=message):
                qarn_sr_dask.DaskSearcher(own, **FAULT_SETTINGS).find_function(XS, FAULT_YS)
        finally:
            _Progress.add = original
        assert when and time.monotonic() - when[0] < 15
        # A later search on the same client says so at once.
        with pytest.raises(qarn_sr.QarnRuntimeError, match="DaskSearcher: the"):
            qarn_sr_dask.DaskSearcher(own, max_complexity=2).find_function(XS, XS)
    finally:
        own.close()
        cluster.close()


def test_a_cluster_without_workers_waits_worker_timeout_then_says_so(capfd):
    cluster, own = own_cluster(workers=0)
    try:
        searcher = qarn_sr_dask.DaskSearcher(own, max_complexity=2, worker_timeout=1.5)
        start = time.monotonic()
        with pytest.raises(qarn_sr.QarnRuntimeError,
                           match=r"no Dask worker joined the cluster within 1.5 s \(worker_timeout\)"):
            searcher.find_function(XS, XS)
        assert 1.4 < time.monotonic() - start < 15
        assert capfd.readouterr().out == ""
        # A worker that joins in time is waited for.
        threading.Timer(0.5, lambda: cluster.scale(1)).start()
        local = qarn_sr.Searcher(max_complexity=3).find_function(XS, FAULT_YS)
        remote = qarn_sr_dask.DaskSearcher(own, max_complexity=3, worker_timeout=60)
        assert front_of(remote.find_function(XS, FAULT_YS)) == front_of(local)
    finally:
        own.close()
        cluster.close()
    with pytest.raises(ValueError, match="worker_timeout must be a positive number"):
        qarn_sr_dask.DaskSearcher(None, worker_timeout=0)


def test_searches_after_interrupts_at_any_moment_succeed(client):
    import _thread

    local = front_of(qarn_sr.Searcher(**FAULT_SETTINGS).find_function(XS, FAULT_YS))
    searcher = qarn_sr_dask.DaskSearcher(client, **FAULT_SETTINGS, partitions=5)
    for delay in (0.01, 0.2, 0.6, 1.2):
        timer = threading.Timer(delay, _thread.interrupt_main)
        timer.start()
        try:
            searcher.find_function(XS, FAULT_YS)
            timer.join()  # finished first: the interrupt lands here
        except KeyboardInterrupt:
            pass
        assert front_of(searcher.find_function(XS, FAULT_YS)) == local


def test_two_searches_at_once_on_one_client_each_get_their_own_result(client):
    problems = [
        (FAULT_SETTINGS, ([[x] for x in XS], FAULT_YS)),
        (dict(max_complexity=5, beam_width=40), (ROWS2, [a * b for a, b in ROWS2])),
    ]
    expected = [front_of(qarn_sr.Searcher(**s).find_candidates(*a)) for s, a in problems]
    got = [None, None]

    def run(i):
        settings, args = problems[i]
        got[i] = front_of(qarn_sr_dask.DaskSearcher(client, **settings).find_candidates(*args))

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)
    assert got == expected
