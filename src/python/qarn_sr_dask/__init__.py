"""The qarn_sr search spread over a Dask cluster, with the results of a local search.

``DaskSearcher`` has the methods of ``qarn_sr.Searcher`` and returns the same
``qarn_sr.SearchResult`` objects, bit for bit, whatever the number of workers
and partitions. Each level of the breadth-first search is cut into runs
(``partitions`` of them) of consecutive children and built in steps:

1. one task per run forms the run's children on a worker, in the local loop
   order, and sorts their fingerprints into hash buckets;
2. one task per bucket admits the bucket's fingerprints of every run in
   loop order against the bucket's layers of the earlier levels (the seen
   set lives on the workers, one frozen layer per level and bucket);
3. one task per run scores the children admitted (the bulk of the work),
   and the scored run stays on its worker;
4. each run reports its lowest loss and its best ``beam_width`` entries by
   score; the driver merges them into the level's winner and the elite of the
   beam, and when the level has more than ``beam_width`` entries each run
   sends its best entries outside the elite by (elite count of their
   structure key, score);
5. the runs build the retained formulas, which the driver sends to every
   worker once, for the next levels.

With a checkpoint file, the driver writes the search's state there after each
level (the retained formulas, the best formula per complexity and the level's
seen fingerprints, gathered from the workers) and a later search continues
from it.

The data set goes to every worker once per search. The front is refitted
once, by the driver.

The search itself is ``_qarn_sr_core.ClusterDriver``: the level loop of the
local search (start checks, levels until the stop rule, console lines and the
front) with the steps above as its distribution. This module only carries the
driver's and the scorers' bytes between the processes.
"""

from __future__ import annotations

import inspect
import math
import operator
import os
import threading
import time
import traceback
import uuid
import warnings
from typing import Any

import qarn_sr

import _qarn_sr_core as _core

__all__ = ["DaskSearcher"]


# ---------------------------------------------------------------------------
# Worker side. Every task is a pure function of its arguments; a worker keeps
# the decoded data and retained levels of a search only as a cache, which a
# task that finds it missing (a new or restarted worker) rebuilds from its
# arguments.

_scorers: dict[str, list[Any]] = {}  # search token -> [lock, scorer]
_scorers_lock = threading.Lock()
_SCORERS_KEPT = 4  # searches whose state a worker keeps at most


def _scorer(token: str, data: bytes, settings: bytes, levels: tuple[bytes, ...], threads: int):
    with _scorers_lock:
        entry = _scorers.get(token)
        if entry is None:
            while len(_scorers) >= _SCORERS_KEPT:
                _scorers.pop(next(iter(_scorers)))
            entry = [threading.Lock(), _core.ClusterScorer(data, settings, threads)]
            _scorers[token] = entry
    lock, scorer = entry
    with lock:
        for formulas in levels[scorer.loaded :]:
            scorer.add_level(formulas)
    return scorer


def _forget(token: str) -> None:
    with _scorers_lock:
        _scorers.pop(token, None)


def _value(value):
    return value


def _form(token, data, settings, threads, level, begin, end, buckets, *levels):
    scorer = _scorer(token, data, settings, levels, threads)
    return scorer.form(level, begin, end, buckets)


def _admit(layers, *runs):
    return _core.ClusterScorer.admit(list(layers), list(runs))


def _score(token, data, settings, threads, level, formed, run, flags, *levels):
    scorer = _scorer(token, data, settings, levels, threads)
    return scorer.score(level, formed, run, list(flags))


def _summary(token, data, settings, threads, level, scored, *levels):
    scorer = _scorer(token, data, settings, levels, threads)
    return scorer.summary(level, scored)


def _rest(token, data, settings, threads, level, scored, elite, counts, rest, *levels):
    scorer = _scorer(token, data, settings, levels, threads)
    return scorer.rest(level, scored, elite, counts, rest)


def _formulas(token, data, settings, threads, level, scored, positions, *levels):
    scorer = _scorer(token, data, settings, levels, threads)
    return scorer.formulas(level, scored, positions)


# ---------------------------------------------------------------------------
# Driver side


class _Progress:
    """A level's scoring as the driver's progress line counts it: each run's
    candidates once the run is scored."""

    def __init__(self, driver, level: int, total: int) -> None:
        self.driver = driver
        self.level = level
        self.total = total
        driver.start_scoring(total)

    def add(self, count: int) -> None:
        self.driver.scored(count)


def _signature(template) -> inspect.Signature:
    return inspect.signature(template)


class DaskSearcher:
    """A qarn_sr search whose scoring runs on the workers of a Dask cluster.

    ``client`` is a ``dask.distributed.Client``. The other arguments are those
    of ``qarn_sr.Searcher``, checked the same way. Keyword-only tuning:
    ``partitions`` (runs per level; default four per worker thread of the
    cluster, which evens out runs of unequal cost), ``threads_per_task``
    (threads a task may use on its worker, default 1: give each worker one
    thread per core), ``worker_timeout`` (seconds a search waits for a
    worker when the cluster has none, at the start or after every worker has
    left; default 60) and ``checkpoint`` (a path, default None).

    With ``checkpoint``, each search keeps its state in that file: after each
    completed level the driver writes there, atomically (a temporary file
    beside it, flushed and renamed), the formulas retained at every level,
    the best formula of each complexity, the fingerprints of the formulas
    seen (gathered from the workers), the settings and a digest of the data.
    When the file exists at the start of a search, the search continues from
    its last completed level and returns the results, bit for bit, of a
    search that was never stopped (after Ctrl-C, a killed driver process or a
    lost cluster), on any number of workers. A file written for other data or
    settings, or a truncated or damaged one, is a ValueError, never reused;
    so is a checkpoint of a local search (``QarnRegressor`` without a
    client, or ``_qarn_sr_core.search``), which keeps its seen fingerprints in
    a form the cluster search cannot use, and a local search likewise refuses
    the cluster's checkpoints. A file that cannot be written gives a
    RuntimeWarning; the search goes on. Every search of the searcher uses the
    same file: give each data set its own searcher or path. The driver keeps
    the fingerprints it writes, 16 bytes per formula seen.

    A search fails with ``qarn_sr.QarnRuntimeError`` when the client is
    closed, the connection to the scheduler is lost, or no worker is there for
    ``worker_timeout`` seconds; a worker that dies is replaced by the others.
    After an interrupted or failed search the client and its cluster stay
    usable, and several searches may run at once on one client (from
    different threads), each with its own result.
    """

    def __init__(
        self,
        client,
        *args,
        partitions=None,
        threads_per_task=1,
        worker_timeout=60.0,
        checkpoint=None,
        **kwargs,
    ) -> None:
        self._settings = _core.ClusterDriver.bind_settings(args, kwargs)
        (
            self._max_complexity,
            self._complexity_penalty,
            self._beam_width,
            self._alpha,
            self._l1_ratio,
        ) = self._settings
        if partitions is not None and (
            not isinstance(partitions, int) or isinstance(partitions, bool) or partitions < 1
        ):
            raise ValueError("partitions must be a positive integer or None")
        if not isinstance(threads_per_task, int) or threads_per_task < 1:
            raise ValueError("threads_per_task must be a positive integer")
        if (
            not isinstance(worker_timeout, (int, float))
            or isinstance(worker_timeout, bool)
            or not math.isfinite(worker_timeout)
            or worker_timeout <= 0
        ):
            raise ValueError("worker_timeout must be a positive number of seconds")
        if checkpoint is not None and not isinstance(checkpoint, (str, os.PathLike)):
            raise TypeError("checkpoint must be a path (str or os.PathLike) or None")
        self._checkpoint = None if checkpoint is None else os.fspath(checkpoint)
        self._client = client
        self._worker_timeout = float(worker_timeout)
        self._partitions = partitions
        self._threads = threads_per_task

    __init__.__signature__ = _signature(  # type: ignore[attr-defined]
        lambda self,
        client,
        max_complexity=10,
        complexity_penalty=0.1,
        beam_width=1000,
        alpha=0.0,
        l1_ratio=0.5,
        *,
        partitions=None,
        threads_per_task=1,
        worker_timeout=60.0,
        checkpoint=None: None
    )

    @property
    def client(self):
        return self._client

    @property
    def checkpoint(self):
        """The checkpoint file's path, or None."""
        return self._checkpoint

    @property
    def max_complexity(self) -> int:
        return self._max_complexity

    @property
    def beam_width(self) -> int:
        return self._beam_width

    @property
    def complexity_penalty(self) -> float:
        return self._complexity_penalty

    @property
    def alpha(self) -> float:
        return self._alpha

    @property
    def l1_ratio(self) -> float:
        return self._l1_ratio

    # -- the five search methods ----------------------------------------------

    def find_function(self, *args, **kwargs):
        """Finds a univariate function f(x) \u2248 y.
        Supports both Python lists and NumPy arrays."""
        return self._search("find_function", args, kwargs)[0]

    def find_multivariate(self, *args, **kwargs):
        """Finds a multivariate function f(x0, x1, ...) \u2248 y.
        Inputs should be a 2D array-like structure."""
        return self._search("find_multivariate", args, kwargs)[0]

    def fit(self, *args, **kwargs):
        """Alias for find_multivariate (Scikit-Learn style)."""
        return self._search("fit", args, kwargs)[0]

    def find_candidates(self, *args, **kwargs):
        """Returns the Pareto-front of all candidate formulas found."""
        return self._search("find_candidates", args, kwargs)

    def recognize_constant(self, *args, **kwargs):
        """Identifies a closed-form expression for a scalar constant."""
        return self._search("recognize_constant", args, kwargs)[0]

    find_function.__signature__ = _signature(  # type: ignore[attr-defined]
        lambda self, xs, ys, alpha=None, l1_ratio=None: None
    )
    find_multivariate.__signature__ = _signature(  # type: ignore[attr-defined]
        lambda self, inputs, ys, alpha=None, l1_ratio=None: None
    )
    fit.__signature__ = find_multivariate.__signature__  # type: ignore[attr-defined]
    find_candidates.__signature__ = find_multivariate.__signature__  # type: ignore[attr-defined]
    recognize_constant.__signature__ = _signature(  # type: ignore[attr-defined]
        lambda self, value, alpha=None, l1_ratio=None: None
    )

    # -- the search ------------------------------------------------------------

    def _search(self, method: str, args, kwargs):
        driver = _core.ClusterDriver(self._settings, method, args, kwargs, self._checkpoint)
        self._run(driver, None)
        return driver.front()

    def _search_front(self, X, y, time_limit=None, stop=None, progress=None, **options):
        """One search with the options of ``_qarn_sr_core.search`` (those not
        given keep this searcher's settings), for QarnRegressor: returns
        ``(front, cut_short)`` as ``_qarn_sr_core.search`` does. Levels are
        built until the search is over, ``time_limit`` seconds have passed or
        ``stop`` (a ``threading.Event``) is set, both checked between the
        steps of a level and while its tasks run; the open level is then
        dropped and the front is that of the completed levels (level 1 always
        completes). ``progress``, when given, gets the attributes ``level``,
        ``phase``, ``total``, ``scored`` and ``completed_levels`` of a
        ``_qarn_sr_core.SearchMonitor`` kept up to date, and
        ``resumed_at_level`` (the level a checkpoint let the search continue
        from, 0 when it began at level 1)."""
        if time_limit is not None and (
            isinstance(time_limit, bool)
            or not isinstance(time_limit, (int, float))
            or math.isnan(time_limit)
        ):
            raise ValueError("time_limit must be a number of seconds or None")
        began = time.monotonic()
        driver = _core.ClusterDriver(self._settings, "search", (X, y), options, self._checkpoint)
        deadline = None if time_limit is None else began + max(float(time_limit), 0.0)

        def halted() -> bool:
            return (stop is not None and stop.is_set()) or (
                deadline is not None and time.monotonic() >= deadline
            )

        try:
            self._run(driver, halted, progress)
            cut_short = False
        except _Halted:
            # A level opened before the halt is dropped; when the halt came
            # between levels, the next one is opened and dropped, as the local
            # search does, unless the search was over.
            cut_short = driver.drop_level()
            if not cut_short and driver.next_level() is not None:
                cut_short = driver.drop_level()
        if progress is not None:
            progress.phase = "finished"
        return driver.front(), cut_short

    def _run(self, driver, halted, progress=None) -> None:
        watch = _Watch(self._client, self._worker_timeout, halted)
        threads = watch.worker_threads()
        runs = self._partitions if self._partitions is not None else max(1, 4 * threads)
        search = _ClusterSearch(self._client, driver, runs, self._threads, watch, progress,
                                self._checkpoint is not None)
        self._last_search = search  # its phase timings, for the benchmark
        try:
            search.run()
        finally:
            if driver.checkpoint_error is not None:
                warnings.warn(f"DaskSearcher: the checkpoint could not be written: "
                              f"{driver.checkpoint_error}", RuntimeWarning, stacklevel=4)


class _Halted(Exception):
    """A search's time ran out or it was asked to stop."""


class _ClusterSearch:
    """The levels of one search on the cluster."""

    def __init__(self, client, driver, runs: int, threads: int, watch: _Watch, progress=None,
                 checkpoint: bool = False):
        self.client = client
        self.checkpoint = checkpoint
        self.progress = progress
        self.watch = watch
        self.driver = driver
        self.settings = driver.settings
        self.runs = runs
        self.threads = threads
        self.token = uuid.uuid4().hex
        self.futures: list[Any] = []  # everything this search holds, for cancelling
        self.level_futures: list[Any] = []  # retained levels 1, 2, ... on every worker
        self.seconds: dict[str, float] = {}  # wall time per phase, all levels together
        self.bytes_sent: dict[str, int] = {}  # bytes the driver sent per kind
        self._mark = time.perf_counter()

    def _phase(self, name: str) -> None:
        """Charges the time since the last mark to `name`."""
        now = time.perf_counter()
        self.seconds[name] = self.seconds.get(name, 0.0) + now - self._mark
        self._mark = now

    def _sent(self, name: str, count: int) -> None:
        self.bytes_sent[name] = self.bytes_sent.get(name, 0) + count

    def _scatter(self, value: bytes):
        # A copy on every worker: no task waits for a transfer, and the value
        # survives as long as one worker does. A worker that leaves while the
        # copies are made fails the scatter; the next try goes to those left.
        for attempt in range(3):
            self.watch.worker_threads()
            try:
                future = self.client.scatter(
                    value, broadcast=True, hash=False, timeout=self.watch.worker_timeout
                )
                break
            except (KeyError, OSError):
                self.watch.check()
                if attempt == 2:
                    raise
        self.futures.append(future)
        return future

    def _plain(self, function, *args, name: str):
        """A task that needs neither the data set nor the levels."""
        future = self.client.submit(
            function, *args, key=f"qarn-{name}-{self.token}", pure=False
        )
        self.futures.append(future)
        return future

    def _submit(self, function, *args, name: str):
        future = self.client.submit(
            function,
            self.token,
            self.data_future,
            self.settings,
            self.threads,
            *args,
            *self.level_futures,
            key=f"qarn-{name}-{self.token}",
            pure=False,
        )
        self.futures.append(future)
        return future

    def run(self) -> None:
        driver = self.driver
        try:
            self._mark = time.perf_counter()
            data = driver.data
            self.data_future = self._scatter(data)
            self._sent("data set", len(data))
            first = driver.level_bytes(1)
            self.level_futures.append(self._scatter(first))
            self._sent("retained levels", len(first))
            # The seen fingerprints live on the workers, split into hash
            # buckets and into one frozen layer per level; level 1's layers
            # are tasks with their value inside, so that Dask can remake them.
            self.buckets = max(1, min(256, len(self.client.nthreads())))
            self.layers = [
                [self._plain(_value, layer, name=f"layer-1-{b}")]
                for b, layer in enumerate(driver.first_layers(self.buckets))
            ]
            self._restore_levels()
            self._phase("broadcast")
            self.watch.look_for_halt()
            while (level := driver.next_level()) is not None:
                self._build_level(level)
                self.watch.look_for_halt()
        except BaseException as error:
            # The frames of the traceback hold the level's futures, and the
            # futures their tasks: cleared, the tasks go with the search.
            traceback.clear_frames(error.__traceback__)
            if isinstance(error, Exception) and not isinstance(error, _Halted):
                # A closed client or a lost scheduler shows as cancelled
                # futures or failed connections; say which it was.
                self.watch.check(error)
            raise
        finally:
            self._release()

    def _restore_levels(self) -> None:
        """The levels after the first that a checkpoint restored: their
        retained formulas on every worker and their seen layers, split into
        this search's buckets, as tasks with their value inside (like level
        1's, so that Dask can remake them when a worker dies; Dask warns
        about such large tasks, which is expected here)."""
        resumed = self.driver.resumed_level
        for level in range(2, resumed + 1):
            formulas = self.driver.level_bytes(level)
            self.level_futures.append(self._scatter(formulas))
            self._sent("retained levels", len(formulas))
            for b, layer in enumerate(self.driver.seen_layers(level, self.buckets)):
                with warnings.catch_warnings():
                    warnings.filterwarnings("ignore", "Sending large graph", UserWarning)
                    self.layers[b].append(self._plain(_value, layer, name=f"layer-{level}-{b}"))
                self._sent("restored layers", len(layer))
        if resumed > 1:
            self._show(resumed_at_level=resumed, completed_levels=resumed)

    def _build_level(self, level: int) -> None:
        driver = self.driver
        self._show(level=level, phase="expanding", total=0, scored=0)
        runs = driver.expansion_runs(self.runs)
        self._phase("driver")
        # Each run forms its children on a worker and sorts their fingerprints
        # into buckets; each bucket admits its fingerprints of every run in
        # loop order against the bucket's earlier layers; each run then scores
        # the children its buckets admitted.
        formed = [
            self._submit(_form, level, begin, end, self.buckets, name=f"form-{level}-{i}")
            for i, (begin, end) in enumerate(runs)
        ]
        children = [
            self._plain(operator.getitem, run, 0, name=f"formed-{level}-{i}")
            for i, run in enumerate(formed)
        ]
        admissions = []
        for b in range(self.buckets):
            pieces = [
                self._plain(operator.getitem, run, 1 + b, name=f"digests-{level}-{i}-{b}")
                for i, run in enumerate(formed)
            ]
            admissions.append(
                self._plain(_admit, self.layers[b], *pieces, name=f"admit-{level}-{b}")
            )
        flags = [
            self._plain(operator.getitem, a, 1, name=f"flags-{level}-{b}")
            for b, a in enumerate(admissions)
        ]
        admitted_counts = [
            self._plain(operator.getitem, a, 2, name=f"admitted-{level}-{b}")
            for b, a in enumerate(admissions)
        ]
        scored = [
            self._submit(_score, level, run, i, flags, name=f"score-{level}-{i}")
            for i, run in enumerate(children)
        ]
        summaries = [
            self._submit(_summary, level, run, name=f"summary-{level}-{i}")
            for i, run in enumerate(scored)
        ]
        admitted = self.watch.gather(admitted_counts)
        lengths = [sum(bucket[i] for bucket in admitted) for i in range(len(scored))]
        self._phase("expansion and deduplication (cluster)")
        progress = _Progress(driver, level, sum(lengths))
        self._show(phase="scoring", total=sum(lengths))
        index = {future.key: i for i, future in enumerate(scored)}
        for future in self.watch.each_done(scored):
            progress.add(lengths[index[future.key]])
            if self.progress is not None:
                self.progress.scored += lengths[index[future.key]]
        driver.end_scoring()
        self._phase("scoring (cluster)")

        complete, rest, elite, counts = driver.first_round(self.watch.gather(summaries))
        self._phase("beam round 1")
        rests = []
        if not complete and rest > 0:
            rests = [
                self._submit(_rest, level, run, elite[i], counts, rest, name=f"rest-{level}-{i}")
                for i, run in enumerate(scored)
            ]
            driver.second_round(self.watch.gather(rests))
        self._phase("beam round 2")
        wanted = driver.wanted(len(scored))
        formulas = [
            self._submit(_formulas, level, run, wanted[i], name=f"formulas-{level}-{i}")
            if wanted[i]
            else None
            for i, run in enumerate(scored)
        ]
        gathered = self.watch.gather([f for f in formulas if f is not None])
        self.watch.look_for_halt()
        driver.accept([None if f is None else gathered.pop(0) for f in formulas])
        self._show(completed_levels=level)
        self._phase("retained formulas")
        formulas_bytes = driver.level_bytes(level)
        self.level_futures.append(self._scatter(formulas_bytes))
        self._sent("retained levels", len(formulas_bytes))
        self._phase("broadcast")
        # The level's layers stay for the next levels; everything else of the
        # level is no longer needed anywhere.
        for b, admission in enumerate(admissions):
            self.layers[b].append(
                self._plain(operator.getitem, admission, 0, name=f"layer-{level}-{b}")
            )
        if self.checkpoint:
            # The level's layers are made (its children were scored after
            # their admission): the checkpoint needs their fingerprints.
            driver.save_checkpoint(self.client.gather([layers[-1] for layers in self.layers]))
            self._phase("checkpoint")
        keep = {f.key for f in self.level_futures} | {f.key for fs in self.layers for f in fs}
        keep.add(self.data_future.key)
        self.futures = [f for f in self.futures if f.key in keep]
        del formed, children, admissions, flags, admitted_counts, scored, summaries, rests, formulas

    def _show(self, **counters) -> None:
        if self.progress is not None:
            for name, value in counters.items():
                setattr(self.progress, name, value)

    def _release(self) -> None:
        # Dropping the futures releases every task of the search: the
        # scheduler forgets those no other search holds and the workers drop
        # their results. (Cancelling them explicitly can trip the scheduler
        # over tasks whose results are held only for their dependents.)
        self.futures = []
        self.level_futures = []
        self.layers = []
        self.data_future = None
        try:
            if self.client.status == "running":
                self.client.run(_forget, self.token)
        except Exception:  # workers that are gone keep nothing
            pass


class _Watch:
    """Waits for a search's tasks while watching the client and the cluster:
    a closed client, a lost scheduler or a cluster without workers for
    ``worker_timeout`` seconds ends the wait with QarnRuntimeError."""

    POLL = 0.5  # seconds between looks at the cluster while tasks run

    def __init__(self, client, worker_timeout: float, halted=None) -> None:
        self.client = client
        self.worker_timeout = worker_timeout
        self.halted = halted
        self.without_workers_since: float | None = None
        self.check()

    # Seconds a failed wait gives the client to notice that its scheduler is
    # going: the futures of a closing cluster are cancelled before the
    # client's status says why.
    SETTLE = 3.0

    def check(self, error: BaseException | None = None) -> None:
        """Raises QarnRuntimeError (from `error`) when the client cannot go on."""
        status = getattr(self.client, "status", "closed")
        if error is not None and status == "running":
            status = self._settled_status()
        if status in ("closing", "closed"):
            message = "the Dask client is closed, or its cluster has shut down"
        elif status != "running":
            message = f"the connection to the Dask scheduler was lost (client {status})"
        else:
            return
        raise qarn_sr.QarnRuntimeError(f"DaskSearcher: {message}") from error

    def _settled_status(self) -> str:
        """The client's status once it has had SETTLE seconds to notice a lost
        scheduler; "without a scheduler" when the scheduler stops answering."""
        deadline = time.monotonic() + self.SETTLE
        while time.monotonic() < deadline:
            status = getattr(self.client, "status", "closed")
            if status != "running":
                return status
            try:
                self.client.sync(self.client.scheduler.identity, callback_timeout=0.5)
            except Exception:
                status = getattr(self.client, "status", "closed")
                return "without a scheduler" if status == "running" else status
            time.sleep(0.2)
        return "running"

    def worker_threads(self) -> int:
        """The cluster's worker threads, waiting up to worker_timeout seconds
        for a first worker when there is none."""
        self.check()
        try:
            threads = sum(self.client.nthreads().values())
            if threads == 0:
                self.client.wait_for_workers(1, timeout=self.worker_timeout)
                threads = sum(self.client.nthreads().values())
        except (TimeoutError, OSError) as error:
            self.check(error)
            if isinstance(error, TimeoutError):
                raise qarn_sr.QarnRuntimeError(
                    f"DaskSearcher: no Dask worker joined the cluster within "
                    f"{self.worker_timeout:g} s (worker_timeout)"
                ) from None
            raise
        return max(threads, 1)

    def _look(self) -> None:
        self.check()
        if self.client.nthreads():
            self.without_workers_since = None
            return
        now = time.monotonic()
        if self.without_workers_since is None:
            self.without_workers_since = now
        elif now - self.without_workers_since > self.worker_timeout:
            raise qarn_sr.QarnRuntimeError(
                f"DaskSearcher: the cluster has had no worker for {self.worker_timeout:g} s "
                f"(worker_timeout)"
            )

    def look_for_halt(self) -> None:
        """Raises _Halted once the search's time is out or it was asked to stop."""
        if self.halted is not None and self.halted():
            raise _Halted

    def each_done(self, futures):
        """The futures as they finish."""
        from distributed import wait

        pending = set(futures)
        while pending:
            self.look_for_halt()
            try:
                done, pending = wait(pending, timeout=self.POLL, return_when="FIRST_COMPLETED")
            except TimeoutError:
                self._look()
                continue
            yield from done

    def gather(self, futures) -> list:
        """The results of `futures`, in order."""
        for _ in self.each_done(futures):
            pass
        return self.client.gather(futures)
