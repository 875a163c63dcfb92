"""QarnRegressor: the qarn_sr search as a scikit-learn regressor."""

from __future__ import annotations

import contextlib
import os
import threading
import time
import warnings
from dataclasses import dataclass, field
from numbers import Integral, Real

import numpy as np
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.utils import check_random_state
from sklearn.utils._param_validation import Interval, StrOptions
from sklearn.utils.validation import check_is_fitted, validate_data

import _qarn_sr_core
import qarn_sr  # noqa: F401  (its classes are the results' classes)
from qarn_sr_sklearn import _console, _export, _formula, _grow, _inputs, _memory, _names, _scaling
from qarn_sr_sklearn._forecast import LevelForecast
from qarn_sr_sklearn._growth_turns import GrowthTurns
from qarn_sr_sklearn._tokens import operator_arities

# The engine's exact-fit threshold: a search stops once a formula fits the
# data with a loss at or below it.
EXACT_FIT_LOSS = 1e-10

# How often the progress line is redrawn while a search runs, in seconds.
_REDRAW_SECONDS = 0.25

# Share of a time_limit kept for growing the front after the search.
GROW_SHARE = 0.1

# The most widths a beam_width sequence may hold once its trailing repeats
# are dropped: the engine's own widths of levels 2 to 17, and the last one.
_MAX_LEVEL_WIDTHS = 17

Beam = int | tuple[int, ...]


def beam_setting(beam_width) -> Beam:
    """QarnRegressor's ``beam_width`` as it is searched: an int, or a tuple of
    the widths of levels 2, 3, ... whose last one holds for every deeper level,
    without trailing repeats (a sequence of one width is that int). Raises
    ValueError for an empty sequence, a width that is not an integer >= 1, or
    more than 17 widths."""
    if isinstance(beam_width, Integral):
        return int(beam_width)
    widths = list(beam_width)
    if not widths or any(isinstance(w, bool) or not isinstance(w, Integral) or w < 1
                         for w in widths):
        raise ValueError("beam_width: a sequence of widths must hold one or more integers >= 1, "
                         f"got {beam_width!r}")
    while len(widths) > 1 and widths[-2] == widths[-1]:
        widths.pop()
    if len(widths) > _MAX_LEVEL_WIDTHS:
        raise ValueError(f"beam_width: at most {_MAX_LEVEL_WIDTHS} widths (levels 2 to "
                         f"{_MAX_LEVEL_WIDTHS + 1}; the last one holds for deeper levels), got "
                         f"{len(widths)}")
    return int(widths[0]) if len(widths) == 1 else tuple(int(w) for w in widths)


def beam_options(beam: Beam) -> dict:
    """The engine's arguments for `beam`: ``beam_width`` and, for per-level
    widths, ``beam_widths`` of the levels before the last width."""
    if isinstance(beam, int):
        return {"beam_width": beam}
    return {"beam_width": beam[-1], "beam_widths": list(beam[:-1])}


def _beam_text(beam: Beam) -> str:
    return str(beam) if isinstance(beam, int) else "/".join(map(str, beam))


def schedule_stages(beam_width: Beam, max_complexity: int) -> list[tuple[Beam, int]]:
    """The (beam_width, max_complexity) of each search of the "growing"
    schedule: a quick narrow search up to complexity 6, the same levels with a
    beam four times as wide, then the full depth at the given width, then at
    four and sixteen times the width. Per-level widths (a tuple) are each
    multiplied alike."""
    def times(k: int) -> Beam:
        if isinstance(beam_width, int):
            return k * beam_width
        return tuple(k * w for w in beam_width)

    low = min(max_complexity, 6)
    stages = [(times(1), low), (times(4), low), (times(1), max_complexity),
              (times(4), max_complexity), (times(16), max_complexity)]
    unique: list[tuple[Beam, int]] = []
    for stage in stages:
        if stage not in unique:
            unique.append(stage)
    return unique


def merge_fronts(fronts: list[list]) -> list:
    """One Pareto front from several: for each complexity the lowest error
    (the earlier front on a tie), kept only when strictly lower than every
    simpler entry's; most accurate (most complex) first, like the engine's."""
    best: dict[int, object] = {}
    for front in fronts:
        for result in front:
            kept = best.get(result.complexity)
            if kept is None or result.error < kept.error:
                best[result.complexity] = result
    merged = []
    lowest = float("inf")
    for complexity in sorted(best):
        result = best[complexity]
        if result.error < lowest:
            merged.append(result)
            lowest = result.error
    merged.reverse()
    return merged


def choose_best(front: list, complexity_penalty: float):
    """The entry of `front` with the lowest error × (1 + complexity_penalty ×
    complexity), the engine's own ranking score, where an error at or below
    the exact-fit threshold 1e-10 counts as 1e-10: among exact fits the
    simplest wins, and so does the simpler of two equal scores."""
    chosen = None
    chosen_score = float("inf")
    for result in sorted(front, key=lambda r: r.complexity):
        score = max(result.error, EXACT_FIT_LOSS) * (1.0 + complexity_penalty * result.complexity)
        if chosen is None or score < chosen_score:
            chosen, chosen_score = result, score
    return chosen


@dataclass
class _SearchRun:
    """What one engine search left: its front (empty when it found none or
    failed), whether it dropped a level, and why it stopped early."""

    front: list = field(default_factory=list)
    cut_short: bool = False
    interrupted: bool = False
    memory_stop: bool = False
    resumed_at: int | None = None


class _ClusterProgress:
    """The counters of a SearchMonitor that a search on a cluster keeps up to
    date, for the progress line (no per-level log: the cluster's driver does
    not see the levels' errors)."""

    def __init__(self) -> None:
        self.phase = "idle"
        self.level = 1
        self.total = 0
        self.scored = 0
        self.completed_levels = 1
        self.resumed_at_level = 0
        self.level_log: list = []


def _deadline(time_limit: float | None) -> float | None:
    """The time.monotonic() value at which a search given ``time_limit``
    seconds from now expires; None without a limit."""
    return None if time_limit is None else time.monotonic() + float(time_limit)


def _exact(front: list) -> bool:
    """Whether a formula of the front fits within the exact-fit threshold."""
    return min(r.error for r in front) <= EXACT_FIT_LOSS


def _stops_here(monitor, forecast: LevelForecast | None, turns: GrowthTurns | None,
                console) -> bool:
    """One redraw's decisions while a search runs: True when the level being
    built cannot finish in time (its time goes to growing after the search)
    or when a growing turn due now finds an exact fit."""
    if forecast is not None and forecast.hopeless(monitor, time.monotonic()):
        console.note(f"QarnRegressor: level {monitor.level} cannot finish within the time limit; "
                     f"its time goes to growing the front")
        return True
    end = None if turns is None else turns.due(monitor, time.monotonic())
    if end is None:
        return False
    console.note(f"QarnRegressor: growing the front of levels 1 to {monitor.level - 1} while "
                 f"level {monitor.level} is built")
    if _exact(turns.take(monitor, end)):
        return True
    if forecast is not None:
        # The level shared the processors with the turn: its rate is
        # measured afresh.
        forecast.remeasure()
    return False


def _cpu_count() -> int:
    """The CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not on Linux
        return os.cpu_count() or 1


def _wait(done: threading.Event) -> None:
    """Waits for `done`; a further Ctrl-C meanwhile does not abandon the wait
    (the search has been asked to stop and ends at its next piece of work).
    An Event, not Thread.join: in Python before 3.13 a join interrupted by
    Ctrl-C can mark a running thread as ended."""
    while not done.is_set():
        try:
            done.wait()
        except KeyboardInterrupt:
            continue


def _warn_if_unexplained(best, y) -> None:
    """Warns where the chosen formula explains under 1 % of the variance of
    the target it was searched for (in the search's units)."""
    variance = float(np.var(y))
    if variance > 0.0 and not best.error < 0.99 * variance:
        r2 = 1.0 - best.error / variance
        warnings.warn(
            f"QarnRegressor: no formula found explains the target better than its mean "
            f"(R² = {r2:.3g} on the training rows, formula {best.formula}). The formulas "
            "may need values beyond the engine's magnitude bound 1e15 at this data's scale "
            "even after rescaling, or a larger time_limit or max_complexity.",
            UserWarning, stacklevel=3)


class QarnRegressor(RegressorMixin, BaseEstimator):
    """Symbolic regression with the qarn_sr engine, as a scikit-learn regressor.

    The search looks for closed-form formulas of the features, breadth-first by
    complexity (tokens), and keeps the Pareto front of error against
    complexity. Predictions come from one entry of the front, ``best_``.

    Parameters
    ----------
    max_complexity : int, default=10
        Highest formula size searched, in tokens.
    beam_width : int or sequence of int, default=1000
        Candidates kept per complexity level to build the next levels. A
        sequence gives each level its own width: the widths of levels 2, 3,
        … in order, the last one holding for every deeper level (at most 17
        widths once trailing repeats are dropped). Wide beams where levels are
        small and narrow ones where they are large (for example
        ``[4000, 4000, 4000, 2000, 1000, 500]``) keep more building blocks of
        the first levels and leave time for deeper ones.
    complexity_penalty : float, default=0.1
        Ranking factor per token: candidates are ranked by
        loss × (1 + complexity_penalty × complexity). ``best_`` is chosen from
        the front by the same score.
    alpha : float, default=0.0
        Elastic-net strength on the fitted constants (0: plain mean squared
        error).
    l1_ratio : float, default=0.5
        Elastic-net mix between the L1 and L2 penalties.
    time_limit : float or None, default=None
        Seconds the fit may search. When they run out, the search stops at its
        next piece of work, drops the level it was building and keeps the
        front of the levels it completed (``timed_out_`` is then True). Level
        1 (the constant and the features themselves) is always completed, so
        even a budget too short for anything else leaves a front. None: no
        limit.
    verbose : bool, default=True
        True: progress is written to the process's standard output (file
        descriptor 1). On a terminal these are the engine's console lines,
        with a progress bar redrawn in place; when standard output is a file
        or a pipe, one line per completed level instead (level, candidates
        scored, seconds, best error so far), the engine's own lines being
        silenced as with verbose=False (so other writes to file descriptor 1
        during the fit are lost too); in a Jupyter notebook a live progress
        line is shown in the cell's output. False: nothing is
        written; file descriptor 1 is sent to the null device for the
        duration of the fit (for the whole process) and restored afterwards,
        also when the fit raises (a closed descriptor 1 stays closed).
    memory_limit : int, str or None, default=None
        Memory the search may use, in bytes, or as text such as ``"2GB"``,
        ``"512MiB"`` or ``"1.5 GB"`` (units B, kB/MB/GB/TB powers of 1000,
        KiB/MiB/GiB/TiB powers of 1024). Before each level the engine
        estimates what the level will need (the children it forms, the growth
        of its duplicate filter); when the search's memory would pass the
        limit, it stops there with the front of the completed levels and a
        ``RuntimeWarning`` (``stopped_for_memory_`` is then True) instead of
        being ended by the operating system. A search that still runs out of
        memory keeps the front of its completed levels in the same way.
        None: half of the memory available when the fit starts
        (``MemAvailable`` of ``/proc/meminfo``; no limit where that cannot be
        read).
    checkpoint : str, path-like or None, default=None
        A file where the search keeps its state: after each completed level
        it writes there, atomically (a temporary file beside it, flushed and
        renamed), what it needs to go on (the formulas retained at every
        level, the best formula of each complexity, the fingerprints of the
        formulas seen, the settings and a digest of the data). When the file
        exists at the start of a fit, the search continues from its last
        completed level instead of level 1, and ends with the same results,
        bit for bit, as a search that was never stopped (after Ctrl-C, a
        killed process or a crash). A file written for other data or other
        settings, or a truncated or damaged one, is a ValueError, never
        reused. The file is left in place after the fit. Only with
        ``schedule="single"``; where a row sample is drawn (``max_samples``),
        ``random_state`` must be set, so that every fit searches the same
        rows. With a ``client`` the search on the cluster keeps its own
        checkpoints: a local search does not continue one written by a
        search on a cluster, nor the reverse (ValueError), because they keep
        the fingerprints of the formulas seen in different forms.
    schedule : {"single", "growing"}, default="single"
        How a time budget is spent. "single": one search with the given
        beam_width and max_complexity. "growing" (only with a time_limit):
        a sequence of searches of growing beam width and complexity (see
        ``schedule_stages``; per-level widths are all multiplied alike), each
        given what remains of the budget, until
        the budget is spent, the sequence ends, or a search finds a formula
        that fits within 1e-10; their fronts are merged into one Pareto
        front.
    operators : sequence of str or None, default=None
        The operators the search may use, by the names the formulas are
        written with (``"Plus"``, ``"Sin"``, ``"QARN"``, …; see
        ``_qarn_sr_core.operator_names()``). None: all of them. An unknown
        name raises ValueError at fit, listing the known ones.
    full_fit : bool, default=True
        Fit every candidate's constants by damped least squares over the
        whole normal matrix until they converge (and the lone constant of
        level 1 like every other candidate), rather than by the plain
        search's diagonal steps. On the discovery benchmark it recovers more
        (bench/README.md); False gives the plain search.
    affine : bool, default=False
        Rank the candidates of each level for the beam by the error of their
        best fit a + b·f, so that building blocks of the right shape but the
        wrong scale or offset survive it. Ranking only: the front holds the
        formulas as found, with their own errors.
    grow : bool, default=True
        After the search, grow the front's formulas past the levels it
        completed, up to max_complexity tokens: variable leaves become other
        features, sums, differences, products and quotients with a feature,
        scaled leaves or an operator of one operand; parameter leaves become
        products with a feature; the whole formula gets a term C × feature,
        a feature, a scale or an offset. The features are those that
        correlate most with what the formula leaves unexplained, and the
        three simplest formulas also get a term found by a short search on
        what they leave unexplained. Every edit is refitted, the best of each
        complexity are edited again, and the results join the front where
        they beat it. It reaches formulas a breadth-first search has no time
        for on wide or long data. With a time_limit it gets a tenth of it
        (the search the rest; at least half of that tenth even when the
        search ran over its own share), and the time of a level the search
        cannot finish in its share, given up as soon as the time of the
        level before it or its scoring rate shows that. With a time_limit it
        also takes turns during a search in this process (not on a
        cluster): after each level that took 2 s or more, it grows the
        front of the completed levels for up to twice that level's time (at
        most a tenth of the time_limit) while the search builds the next
        level, and an exact fit found there ends the search. It is skipped
        when the search found a formula that fits within 1e-10.
        Deterministic without a time_limit.
    max_samples : int or None, default=1000
        With more rows than this, the search runs on max_samples rows drawn
        at random (``random_state``) and the constants and errors of the
        front are then refitted on all rows. At or below it, and with None,
        every row is searched.
    random_state : int, RandomState instance or None, default=None
        Seeds the row sample of ``max_samples``: the same seed gives the same
        result. Unused when no sample is drawn.
    client : dask.distributed.Client or None, default=None
        Runs the searches on the client's Dask cluster (through
        ``qarn_sr_dask.DaskSearcher``, which needs the ``dask`` extra) instead
        of in this process, with the same results, options included, whatever
        the number of workers. ``time_limit`` and Ctrl-C stop it as they stop a
        local search, keeping the front of the completed levels. Progress
        shows as for a local search, except that standard output to a file or
        a pipe gets no per-level lines (the cluster's driver does not see the
        levels' errors). Memory is
        then the workers' (bounded by Dask's own worker memory limits):
        ``memory_limit`` must be None with a client (ValueError otherwise);
        ``checkpoint`` works as without one (see above). The
        client is not pickled with the estimator: a fitted estimator pickles
        with ``client`` set to None and predicts without a cluster.

    Attributes
    ----------
    n_features_in_ : int
    feature_names_in_ : ndarray of str
        Only when X had string column names (a pandas DataFrame).
    pareto_front_ : list of qarn_sr.SearchResult or RescaledResult
        The front, most accurate (and most complex) first, simplest last.
        Variables are ``v_{0}``, ``v_{1}``, … in column order. Where the data
        were rescaled, each entry is a ``RescaledResult``: it answers the same
        calls (formula, error, complexity, predict, eval, eval_batch,
        to_latex, to_python) in your units and holds the formula as found in
        ``result``.
    best_ : qarn_sr.SearchResult or RescaledResult
        The front entry used for predictions: the lowest
        error × (1 + complexity_penalty × complexity), an error at or below
        1e-10 counting as 1e-10, the simpler entry on ties.
    search_time_ : float
        Wall-clock seconds spent searching.
    timed_out_ : bool
        Whether the time limit cut a search short (a level was dropped).
    searches_ : list of dict
        One record per search run: beam_width (an int, or a tuple of
        per-level widths), max_complexity, seconds,
        timed_out, resumed_at_level (the level a checkpoint let it continue
        from, None when it started at level 1).
    interrupted_ : bool
        Whether the fit was interrupted (Ctrl-C, SIGINT). The fit then stops
        the search within a second, keeps the front of the levels it
        completed on the estimator (``predict``, ``best_`` and
        ``pareto_front_`` work) and raises KeyboardInterrupt; no thread of the
        search is left running.
    stopped_for_memory_ : bool
        Whether the search stopped early because the next level would not fit
        ``memory_limit`` (or memory ran out).
    feature_identifiers_ : list of str
        The Python identifiers that stand for the features in ``to_python``:
        a feature's own name where it is a usable identifier, else a unique
        name made from it (``"a b"`` becomes ``a_b``, a feature ``np``
        becomes ``np_1``; see the comment in ``to_python``'s source).
    x_scale_ : ndarray of float
        Powers of two the search multiplied the input columns by.
    y_scale_ : float
        Power of two the search divided the target by: a formula f of the
        front predicts ``y_scale_ * f(X * x_scale_)``.
    n_samples_searched_ : int
        Rows the search ran on (all rows, or max_samples of them).

    Notes
    -----
    Data at any scale are searched in units where they are O(1): each input
    column and the target are multiplied by powers of two (exact in binary
    floating point) so that their largest magnitudes lie in [1, 2), unless
    they already lie in [1/16, 1024) (searched as given). The exact-fit
    threshold then acts relative to the target's scale. Formulas, errors and
    predictions are reported in your units (see ``pareto_front_``). Where no
    formula found explains the target better than its mean, fit warns.
    """

    _parameter_constraints: dict = {
        "max_complexity": [Interval(Integral, 1, None, closed="left")],
        "beam_width": [Interval(Integral, 1, None, closed="left"), "array-like"],
        "complexity_penalty": [Interval(Real, 0, None, closed="left")],
        "alpha": [Interval(Real, 0, None, closed="left")],
        "l1_ratio": [Interval(Real, 0, 1, closed="both")],
        "time_limit": [Interval(Real, 0, None, closed="neither"), None],
        "verbose": ["verbose"],
        "schedule": [StrOptions({"single", "growing"})],
        "memory_limit": [Interval(Integral, 1, None, closed="left"), str, None],
        "checkpoint": [str, os.PathLike, None],
        "operators": ["array-like", None],
        "full_fit": ["boolean"],
        "affine": ["boolean"],
        "grow": ["boolean"],
        "max_samples": [Interval(Integral, 1, None, closed="left"), None],
        "random_state": ["random_state"],
        "client": "no_validation",
    }

    def __init__(
        self,
        max_complexity=10,
        beam_width=1000,
        complexity_penalty=0.1,
        alpha=0.0,
        l1_ratio=0.5,
        time_limit=None,
        verbose=True,
        schedule="single",
        memory_limit=None,
        checkpoint=None,
        operators=None,
        full_fit=True,
        affine=False,
        grow=True,
        max_samples=1000,
        random_state=None,
        client=None,
    ):
        self.max_complexity = max_complexity
        self.beam_width = beam_width
        self.complexity_penalty = complexity_penalty
        self.alpha = alpha
        self.l1_ratio = l1_ratio
        self.time_limit = time_limit
        self.verbose = verbose
        self.schedule = schedule
        self.memory_limit = memory_limit
        self.checkpoint = checkpoint
        self.operators = operators
        self.full_fit = full_fit
        self.affine = affine
        self.grow = grow
        self.max_samples = max_samples
        self.random_state = random_state
        self.client = client

    # -- fitting ------------------------------------------------------------

    def fit(self, X, y):
        """Searches formulas for y ≈ f(X) and returns the fitted estimator.

        X is checked (and y, as one numeric target per row) the way
        scikit-learn regressors check them, before any search starts; so is
        the engine's limit of 255 features. Ctrl-C stops the search, keeps
        the front found so far (``interrupted_``) and raises
        KeyboardInterrupt."""
        self._validate_params()
        self._check_client()
        X, y = validate_data(self, X, y, y_numeric=True, dtype=np.float64)
        X = np.ascontiguousarray(X)
        y = np.ascontiguousarray(y, dtype=np.float64)
        self._engine_options = self._options()
        scales = _scaling.Scales.of(X, y)
        X, y = scales.inputs(X), scales.target(y)
        # The engine's limits apply to the values it searches: after the
        # rescaling.
        _inputs.check_searchable(X, y)
        memory_limit = None if self.client is not None else _memory.limit_bytes(self.memory_limit)
        rows = self._sample(len(y))
        X_search, y_search = (X, y) if rows is None else (X[rows], y[rows])

        if self.checkpoint is not None and self.schedule != "single":
            raise ValueError("QarnRegressor: checkpoint needs schedule='single' (the searches of "
                             "a schedule have different settings)")
        if self.checkpoint is not None and rows is not None and self.random_state is None:
            raise ValueError(f"QarnRegressor: checkpoint with more than max_samples="
                             f"{self.max_samples} rows needs random_state (an int), so that a "
                             f"later fit searches the same rows")
        beam = beam_setting(self.beam_width)
        if self.schedule == "growing" and self.time_limit is not None:
            stages = schedule_stages(beam, int(self.max_complexity))
        else:
            stages = [(beam, int(self.max_complexity))]

        start = time.monotonic()
        search_limit = self.time_limit
        if self.grow and self.time_limit is not None:
            search_limit = float(self.time_limit) * (1.0 - GROW_SHARE)
        fronts, searches = [], []
        interrupted = memory_stop = False
        with _console.SearchConsole(bool(self.verbose)) as console:
            for number, (beam_width, max_complexity) in enumerate(stages, 1):
                remaining = None
                if search_limit is not None:
                    remaining = float(search_limit) - (time.monotonic() - start)
                    # The first search always runs: it completes level 1
                    # however short the budget.
                    if remaining <= 0.0 and number > 1:
                        break
                    remaining = max(remaining, 0.0)
                label = "" if len(stages) == 1 else (
                    f"search {number}/{len(stages)} (beam {_beam_text(beam_width)}, "
                    f"complexity {max_complexity}) | ")
                if len(stages) > 1:
                    console.note(f"[QARN-SR] Schedule: {label.rstrip(' |')}")
                began = time.monotonic()
                run = self._search(X_search, y_search, beam_width, max_complexity, remaining,
                                   console, label, start, memory_limit)
                if run.front:
                    fronts.append(run.front)
                searches.append({"beam_width": beam_width, "max_complexity": max_complexity,
                                 "seconds": time.monotonic() - began,
                                 "timed_out": run.cut_short and not (run.interrupted
                                                                    or run.memory_stop),
                                 "resumed_at_level": run.resumed_at})
                interrupted = interrupted or run.interrupted
                memory_stop = memory_stop or run.memory_stop
                if run.cut_short or run.interrupted or not run.front or _exact(run.front):
                    break
            if fronts and self.grow and not (interrupted or memory_stop):
                front = fronts[0] if len(fronts) == 1 else merge_fronts(fronts)
                try:
                    fronts = [self._grown(front, X_search, y_search, self._growing_deadline(start),
                                          console)]
                except KeyboardInterrupt:
                    interrupted = True

        self.search_time_ = time.monotonic() - start
        self.searches_ = searches
        self.timed_out_ = any(s["timed_out"] for s in searches)
        self.interrupted_ = interrupted
        self.stopped_for_memory_ = memory_stop
        names = self._feature_names()
        self.feature_identifiers_ = _names.safe_identifiers(names, _export.RESERVED)
        self.n_samples_searched_ = len(y_search)
        self.x_scale_ = np.asarray(scales.x_scale, dtype=np.float64)
        self.y_scale_ = scales.y_scale
        if fronts:
            front = fronts[0] if len(fronts) == 1 else merge_fronts(fronts)
            if rows is not None:
                try:
                    front = self._refit(front, X, y)
                except KeyboardInterrupt:
                    # Ctrl-C during the refit on all rows keeps the sample's
                    # front, with its errors on the sample.
                    interrupted = self.interrupted_ = True
            best = choose_best(front, float(self.complexity_penalty))
            _warn_if_unexplained(best, y)
            self.pareto_front_, self.best_ = self._in_user_units(front, best)
        if memory_stop:
            warnings.warn(
                "QarnRegressor: the search stopped early because its next level would not fit "
                f"the memory limit ({_memory.describe(memory_limit)}) or memory ran out; the "
                "front of the completed levels is kept. Raise memory_limit, or lower "
                "beam_width or max_complexity.", RuntimeWarning, stacklevel=2)
        if interrupted:
            raise KeyboardInterrupt
        if not fronts:  # pragma: no cover - every completed search has level 1's front
            raise RuntimeError("QarnRegressor: the search returned no formula")
        return self

    def _check_client(self) -> None:
        """A client must be a dask.distributed Client, without the settings a
        search on a cluster cannot honour."""
        if self.client is None:
            return
        try:
            from distributed import Client
        except ImportError:  # pragma: no cover - the dask extra is not installed
            raise ImportError("QarnRegressor: client needs dask.distributed "
                              "(pip install 'qarn_sr[dask]')") from None
        if not isinstance(self.client, Client):
            raise TypeError(f"QarnRegressor: client must be a dask.distributed.Client or None, "
                            f"not {type(self.client).__name__}")
        if self.memory_limit is not None:
            raise ValueError("QarnRegressor: memory_limit is not available with a client (the "
                             "memory of a search on a cluster is bounded by the Dask workers' "
                             "limits); set memory_limit=None")

    def _options(self) -> dict:
        """The engine options that differ from a plain search; the default
        passes none, so that it runs exactly the plain search."""
        options: dict = {}
        if self.operators is not None:
            known = list(operator_arities())
            chosen = [self.operators] if isinstance(self.operators, str) else list(self.operators)
            unknown = [name for name in chosen if name not in known]
            if unknown or not chosen:
                raise ValueError(
                    f"operators: unknown operator name(s) {unknown}; known: {', '.join(known)}"
                    if unknown else f"operators: choose at least one of {', '.join(known)}")
            options["operators"] = chosen
        if self.full_fit:
            options["full_fit"] = True
        if self.affine:
            options["affine"] = True
        return options

    def _growing_deadline(self, start: float) -> float | None:
        """When growing after the search ends: at the time limit, but a
        search that ran over its share (a level takes a moment to stop)
        still leaves growing half of its own."""
        if self.time_limit is None:
            return None
        share = GROW_SHARE * float(self.time_limit)
        return max(start + float(self.time_limit), time.monotonic() + 0.5 * share)

    def _grown(self, front: list, X, y, deadline: float | None, console) -> list:
        """The front merged with the formulas grown from it (see ``grow``)
        until ``deadline``, unless it already holds an exact fit."""
        if _exact(front):
            return front
        settings = _grow.GrowSettings.of(self._engine_options.get("operators"),
                                         int(self.max_complexity), float(self.alpha),
                                         float(self.l1_ratio), bool(self.full_fit), EXACT_FIT_LOSS)
        began = time.monotonic()
        grown = _grow.grow(front, X, y, settings, deadline, threads=_cpu_count())
        merged = merge_fronts([front, grown.best])
        console.note(_console.grow_line(grown.fitted, time.monotonic() - began, merged[0].error))
        return merged

    def _sample(self, n_rows: int):
        """Sorted indices of the rows to search, or None for all rows."""
        if self.max_samples is None or n_rows <= self.max_samples:
            return None
        rng = check_random_state(self.random_state)
        return np.sort(rng.choice(n_rows, size=int(self.max_samples), replace=False))

    def _refit(self, front: list, X, y) -> list:
        """The front's formulas with their constants and errors refitted on
        all rows, reduced again to a Pareto front."""
        refitted = list(_qarn_sr_core.refit(front, X, y, alpha=self.alpha,
                                            l1_ratio=self.l1_ratio, full_fit=bool(self.full_fit)))
        return merge_fronts([refitted]) or refitted

    def _in_user_units(self, front: list, best):
        """The front and best_ as reported: the engine's results where the
        data were searched unscaled, else RescaledResult objects."""
        if self.y_scale_ == 1.0 and np.all(self.x_scale_ == 1.0):
            return front, best
        wrapped = [_scaling.RescaledResult(r, self.x_scale_, self.y_scale_) for r in front]
        return wrapped, wrapped[next(i for i, r in enumerate(front) if r is best)]

    def _search(self, X, y, beam_width, max_complexity, time_limit, console, label, start,
                memory_limit) -> _SearchRun:
        """One engine search, run on a worker thread with the interpreter lock
        released, while this thread shows its progress. Ctrl-C (or any other
        exception raised here) asks the search to stop and waits for the
        thread to end: an interrupt returns the front of the completed levels
        with ``interrupted`` set, anything else is raised once the thread has
        ended. With a client, the search runs on its cluster (the same
        results) and a stop flag takes the monitor's place."""
        if self.client is not None:
            return self._search_on_cluster(X, y, beam_width, max_complexity, time_limit, console,
                                           label, start)
        monitor = _qarn_sr_core.SearchMonitor()

        def search():
            return _qarn_sr_core.search(
                X, y, max_complexity=max_complexity,
                complexity_penalty=self.complexity_penalty, **beam_options(beam_width),
                alpha=self.alpha, l1_ratio=self.l1_ratio, time_limit=time_limit,
                early_stop=True, monitor=monitor, memory_limit=memory_limit,
                checkpoint=self.checkpoint, **self._engine_options)

        deadline = _deadline(time_limit)
        turns = self._growth_turns(X, y, deadline, console)
        outcome, interrupted = self._in_thread(search, monitor.stop, monitor, console, label,
                                               start, self._forecast(deadline), turns)
        memory_stop = bool(monitor.memory_stopped)
        if monitor.checkpoint_error is not None:
            warnings.warn(f"QarnRegressor: the checkpoint could not be written: "
                          f"{monitor.checkpoint_error}", RuntimeWarning, stacklevel=3)
        if "error" in outcome:
            error = outcome.pop("error")
            if interrupted:
                return _SearchRun(interrupted=True)
            raise error
        front, cut_short = outcome["value"]
        front = list(front)
        if turns is not None and turns.front:
            front = merge_fronts([front, turns.front])
            # A level dropped because a turn found the formula was not cut
            # short by the time limit.
            cut_short = cut_short and not _exact(turns.front)
        log = monitor.level_log
        resumed = log[0][0] if log and log[0][0] > 1 else None
        return _SearchRun(front, bool(cut_short), interrupted, memory_stop, resumed)

    def _forecast(self, deadline: float | None) -> LevelForecast | None:
        """With growing to take the time, a search is stopped as soon as the
        level it builds cannot finish by its deadline."""
        if not self.grow or deadline is None:
            return None
        return LevelForecast(deadline)

    def _growth_turns(self, X, y, deadline: float | None, console) -> GrowthTurns | None:
        """With growing and a deadline, the front of the completed levels is
        grown while the search builds the next ones (_growth_turns.py)."""
        if not self.grow or deadline is None:
            return None

        def grow(best: list, front: list, end: float) -> list:
            return self._grown(merge_fronts([self._refit(best, X, y), front]), X, y, end,
                               console)

        return GrowthTurns(grow, deadline, GROW_SHARE * float(self.time_limit))

    def _in_thread(self, search, stop, monitor, console, label, start,
                   forecast=None, turns=None) -> tuple[dict, bool]:
        """Runs ``search()`` on a worker thread while this one redraws the
        progress from ``monitor``; Ctrl-C or another exception here calls
        ``stop()`` and waits for the thread to end, and so does a level that
        ``forecast`` finds cannot finish in time, or a growing turn of
        ``turns`` that finds an exact fit. Returns the outcome
        ({"value": ...} or {"error": ...}) and whether Ctrl-C came."""
        outcome: dict = {}
        done = threading.Event()

        def run() -> None:
            try:
                outcome["value"] = search()
            except BaseException as error:  # handed to the calling thread
                outcome["error"] = error
            finally:
                done.set()

        worker = threading.Thread(target=run, name="qarn-search", daemon=True)
        interrupted = False
        try:
            worker.start()
            watching = forecast is not None or turns is not None
            while not done.wait(_REDRAW_SECONDS):
                console.show(monitor, label, time.monotonic() - start, self.time_limit)
                if watching and _stops_here(monitor, forecast, turns, console):
                    stop()
                    watching = False
        except KeyboardInterrupt:
            interrupted = True
        finally:
            if not done.is_set():
                stop()
                _wait(done)
            # The thread has only to return now.
            while worker.ident is not None and worker.is_alive():
                try:
                    worker.join()
                except KeyboardInterrupt:
                    continue
        console.show(monitor, label, time.monotonic() - start, self.time_limit)
        return outcome, interrupted

    def _search_on_cluster(self, X, y, beam_width, max_complexity, time_limit, console, label,
                           start) -> _SearchRun:
        """The search of ``_search`` run by qarn_sr_dask on the client's
        cluster: the same front, cut short by the time limit or Ctrl-C in the
        same way (between the steps of a level, within half a second)."""
        from qarn_sr_dask import DaskSearcher

        beam = beam_options(beam_width)
        searcher = DaskSearcher(self.client, max_complexity=max_complexity,
                                complexity_penalty=self.complexity_penalty,
                                beam_width=beam.pop("beam_width"), alpha=self.alpha,
                                l1_ratio=self.l1_ratio, checkpoint=self.checkpoint)
        stop = threading.Event()
        progress = _ClusterProgress()

        def search():
            return searcher._search_front(X, y, time_limit=time_limit, stop=stop,
                                          progress=progress, early_stop=True,
                                          **beam, **self._engine_options)

        outcome, interrupted = self._in_thread(search, stop.set, progress, console, label, start,
                                               self._forecast(_deadline(time_limit)))
        if "error" in outcome:
            error = outcome.pop("error")
            if interrupted:
                return _SearchRun(interrupted=True)
            raise error
        front, cut_short = outcome["value"]
        return _SearchRun(list(front), bool(cut_short), interrupted,
                          resumed_at=progress.resumed_at_level or None)

    # -- prediction ---------------------------------------------------------

    def predict(self, X):
        """Values of ``best_`` at the rows of X, as a float64 array (NaN where
        the formula has no value)."""
        check_is_fitted(self)
        X = validate_data(self, X, reset=False, dtype=np.float64)
        return np.asarray(self.best_.predict(X), dtype=np.float64)

    # -- formulas -----------------------------------------------------------

    def _feature_names(self) -> list[str]:
        check_is_fitted(self)
        names = getattr(self, "feature_names_in_", None)
        if names is not None:
            return [str(n) for n in names]
        return [f"x{i}" for i in range(self.n_features_in_)]

    def _entry(self, result):
        check_is_fitted(self)
        if result is None:
            return self.best_
        if isinstance(result, Integral):
            return self.pareto_front_[result]
        return result

    def to_text(self, result=None) -> str:
        """The formula with the fitted constants and your feature names, e.g.
        ``Times(2.5, Square(x))``. `result`: None for ``best_``, an index into
        ``pareto_front_``, or a SearchResult of this estimator. Features are
        named after the DataFrame's columns, else ``x0``, ``x1``, …"""
        return _formula.display_text(self._entry(result), self._feature_names())

    def to_python(self, result=None) -> str:
        """Python source of a function ``formula(<features>)`` that computes
        what ``predict`` computes: it takes one array (or number) per feature,
        in column order, and returns the formula's values as float64, NaN
        where it has none. Run it with ``exec`` (it imports NumPy) and call
        ``formula(*X.T)``.

        The constants are written so that they read back to the same doubles,
        and the formula is evaluated the way the engine evaluates it: in
        complex arithmetic with the engine's principal branches (``Log`` of a
        negative number has the imaginary part pi), an intermediate value at
        or beyond 1e15 in magnitude, or a division by zero, leaving no value,
        and the real part taken at the end. The features' identifiers are
        ``feature_identifiers_``; those that differ from the names are listed
        in a comment. `result`: as in ``to_text``."""
        check_is_fitted(self)
        return _export.python_function(self._entry(result), self.feature_identifiers_,
                                       self._feature_names(), self.to_text(result))

    def to_function(self, result=None):
        """The function whose source ``to_python`` returns, ready to call:
        ``model.to_function()(*X.T)`` equals ``model.predict(X)``."""
        return _export.compile_function(self.to_python(result))

    def to_latex(self, result=None) -> str:
        """LaTeX of the formula (constants with four decimals) with the
        feature names."""
        return _formula.latex(self._entry(result), self._feature_names())

    def to_sympy(self, result=None):
        """The formula as a SymPy expression in real symbols named after the
        features, with the fitted constants as exact binary values (``float``
        of each gives the fitted double back). The engine evaluates formulas
        in complex arithmetic and predicts the real part, and so does this
        expression: evaluated with complex inputs, its real part, for example
        ``np.real(lambdify(symbols, expr)(*(X.T + 0j)))``, gives ``predict``'s
        values, up to the rounding of SymPy's rearrangements, where the
        formula has one (with real inputs, NumPy gives NaN where an
        intermediate value is complex, such as the logarithm of a negative
        number). Needs SymPy."""
        return _formula.sympy_expression(self._entry(result), self._feature_names())

    # -- scikit-learn protocol ----------------------------------------------

    def __sklearn_clone__(self):
        # A client cannot be deep-copied: the clone shares this one.
        if self.client is None:
            return super().__sklearn_clone__()
        unbound = object.__new__(type(self))
        unbound.__dict__.update(self.__dict__)
        unbound.client = None
        cloned = super(QarnRegressor, unbound).__sklearn_clone__()
        cloned.client = self.client
        return cloned

    # SearchResult objects cannot be pickled themselves; a fitted estimator
    # stores their states and rebuilds them when it is loaded.
    def __getstate__(self):
        # A copy: the base class may hand out the instance's own __dict__.
        state = dict(super().__getstate__())
        # A client holds connections and threads: the estimator pickles without it.
        if state.get("client") is not None:
            state["client"] = None
        front = state.get("pareto_front_")
        if front is not None:
            state["pareto_front_"] = [
                _qarn_sr_core.result_state(getattr(r, "result", r)) for r in front]
            best = state.get("best_")
            state["best_"] = next((i for i, r in enumerate(front) if r is best), None)
        return state

    def __setstate__(self, state):
        state = dict(state)
        front = state.get("pareto_front_")
        if front is not None:
            front = [_qarn_sr_core.result_from_state(s) for s in front]
            if state.get("y_scale_", 1.0) != 1.0 or np.any(state.get("x_scale_", 1.0) != 1.0):
                front = [_scaling.RescaledResult(r, state["x_scale_"], state["y_scale_"])
                         for r in front]
            state["pareto_front_"] = front
            best = state.get("best_")
            state["best_"] = front[best] if isinstance(best, int) else None
        super().__setstate__(state)

