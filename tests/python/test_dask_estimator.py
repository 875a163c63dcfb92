"""QarnRegressor(client=...) on a LocalCluster of two in-process workers: the
same fronts as the local estimator, options included, and a stopped or timed
out search keeps the front of its completed levels."""

import pickle
import threading
import time

import numpy as np
import pytest
from sklearn.base import clone

distributed = pytest.importorskip("distributed")

import _qarn_sr_core  # noqa: E402
from qarn_sr_dask import DaskSearcher  # noqa: E402
from qarn_sr_sklearn import QarnRegressor  # noqa: E402


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None
    )
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


RNG = np.random.default_rng(7)
X = RNG.uniform(0.5, 3.0, size=(40, 2))
# A line whose scale lies far from 1 (the estimator rescales), and a target
# no formula of complexity 5 fits exactly (every level is built).
Y_LINE = 3.0e6 * X[:, 0] + 4.0e6
Y_WAVE = np.sin(1.3 * X[:, 0]) * X[:, 1] + 0.2 * X[:, 1] ** 2


def front(model):
    return [(r.formula, r.complexity, float(r.error).hex()) for r in model.pareto_front_]


@pytest.mark.parametrize(
    "options",
    [{}, {"full_fit": False}, {"affine": True}, {"operators": ["Plus", "Times", "Sin", "Square"]}],
)
@pytest.mark.parametrize("y", [Y_LINE, Y_WAVE], ids=["line", "wave"])
def test_same_front_as_local(client, options, y):
    settings = dict(max_complexity=5, beam_width=40, verbose=False, **options)
    local = QarnRegressor(**settings).fit(X, y)
    with distributed.get_task_stream(client) as tasks:
        remote = QarnRegressor(client=client, **settings).fit(X, y)
    assert any(str(t["key"]).startswith("qarn-score-") for t in tasks.data)  # on the workers
    assert front(remote) == front(local)
    assert remote.best_.formula == local.best_.formula
    assert np.array_equal(remote.predict(X), local.predict(X), equal_nan=True)
    assert remote.timed_out_ is False and local.timed_out_ is False


def test_per_level_widths_narrow_the_cluster_search_as_the_local_one(client):
    settings = dict(max_complexity=5, beam_width=[40, 3], verbose=False)
    local = QarnRegressor(**settings).fit(X, Y_WAVE)
    remote = QarnRegressor(client=client, **settings).fit(X, Y_WAVE)
    wide = QarnRegressor(max_complexity=5, beam_width=40, verbose=False).fit(X, Y_WAVE)
    assert front(remote) == front(local) != front(wide)


def test_stop_or_no_time_keeps_level_one_as_local(client):
    y = Y_WAVE
    local, local_cut = _qarn_sr_core.search(X, y, max_complexity=6, time_limit=0, full_fit=True)
    searcher = DaskSearcher(client, max_complexity=6)
    for kwargs in (dict(time_limit=0), dict(stop=_set_event())):
        remote, cut = searcher._search_front(X, y, full_fit=True, **kwargs)
        assert cut is True and local_cut is True
        assert [(r.formula, r.error.hex()) for r in remote] == [
            (r.formula, r.error.hex()) for r in local
        ]
    # A search that ends before its time is not cut short.
    remote, cut = searcher._search_front(X, Y_LINE / 1e6, time_limit=60, max_complexity=5,
                                        full_fit=True)
    assert cut is False and remote[0].error < 1e-10


def _set_event():
    event = threading.Event()
    event.set()
    return event


def test_time_limit_keeps_a_front_and_the_fit_pickles(client):
    model = QarnRegressor(client=client, max_complexity=9, beam_width=2000, time_limit=0.5,
                          verbose=False).fit(X, Y_WAVE)
    assert model.timed_out_ is True and model.pareto_front_
    loaded = pickle.loads(pickle.dumps(model))
    assert loaded.client is None and model.client is client
    assert np.array_equal(loaded.predict(X), model.predict(X), equal_nan=True)
    assert loaded.to_text() == model.to_text()
    copy = clone(model)
    assert copy.client is client and not hasattr(copy, "pareto_front_")


def test_client_errors(client, tmp_path):
    with pytest.raises(TypeError, match="dask.distributed.Client"):
        QarnRegressor(client="tcp://localhost:8786").fit(X, Y_LINE)
    with pytest.raises(ValueError, match="not available with a client"):
        QarnRegressor(client=client, memory_limit="1GB").fit(X, Y_LINE)
    with pytest.raises(ValueError, match="unknown operator"):
        DaskSearcher(client)._search_front(X, Y_LINE, operators=["Nope"])


def test_a_checkpoint_on_the_cluster_is_continued(client, tmp_path):
    settings = dict(client=client, max_complexity=5, beam_width=200, verbose=False,
                    checkpoint=tmp_path / "c.ckpt")
    first = QarnRegressor(**settings).fit(X, Y_WAVE)
    again = QarnRegressor(**settings).fit(X, Y_WAVE)
    assert first.searches_[0]["resumed_at_level"] is None
    assert again.searches_[0]["resumed_at_level"] == 5
    assert front(again) == front(first) == front(QarnRegressor(
        max_complexity=5, beam_width=200, verbose=False).fit(X, Y_WAVE))
    settings["checkpoint"] = tmp_path / "missing" / "c.ckpt"
    with pytest.warns(RuntimeWarning, match="checkpoint could not be written"):
        assert front(QarnRegressor(**settings).fit(X, Y_WAVE)) == front(first)


def test_ctrl_c_stops_the_cluster_search_and_keeps_its_front(client):
    import _thread

    model = QarnRegressor(client=client, max_complexity=10, beam_width=3000, verbose=False)

    def interrupt_the_search():
        # Ctrl-C once the search runs (on a loaded machine setting it up can
        # take longer than any fixed delay), a second into it.
        while not [t for t in threading.enumerate() if t.name == "qarn-search"]:
            time.sleep(0.01)
        time.sleep(1.0)
        _thread.interrupt_main()

    timer = threading.Thread(target=interrupt_the_search)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        model.fit(X, Y_WAVE)
    timer.join()
    assert model.interrupted_ is True and model.pareto_front_
    assert not [t for t in threading.enumerate() if t.name == "qarn-search"]
    # The cluster is free for the next search.
    again = QarnRegressor(client=client, max_complexity=3, verbose=False).fit(X, Y_LINE)
    assert again.pareto_front_
