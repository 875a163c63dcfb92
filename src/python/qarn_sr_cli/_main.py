"""The qarn-sr command: fit, predict and constant."""

from __future__ import annotations

import argparse
import contextlib
import math
import os
import signal
import sys
import threading
import time
from collections.abc import Iterator

import numpy as np

from qarn_sr_cli._data import (DataError, UsageError, check_readable, numeric_column, read_table,
                               select_column)

PROG = "qarn-sr"
EXIT_DATA = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("qarn_sr")
    except metadata.PackageNotFoundError:  # pragma: no cover - a build tree on sys.path
        return "unknown"


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got '{text}'") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a number of at least 1, got {value}")
    return value


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of seconds, got '{text}'") from None
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got '{text}'")
    return value


def _finite_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got '{text}'") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"expected a finite number, got '{text}'")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Symbolic regression from the command line: find closed-form "
        "formulas for a column of a data file, apply a saved model, or name a constant.")
    parser.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    fit = commands.add_parser(
        "fit", help="search formulas for one column of a data file",
        description="Search formulas TARGET ≈ f(FEATURES) and print the Pareto front of error "
        "against complexity; the chosen formula is marked with '*'.")
    fit.add_argument("data", metavar="DATA",
                     help="CSV, TSV, Parquet (needs pyarrow), .npy or .npz file")
    fit.add_argument("--target", required=True, metavar="COLUMN",
                     help="the column to explain (a name, or a position counted from 0)")
    fit.add_argument("--features", metavar="A,B,...",
                     help="comma-separated feature columns (default: every other column)")
    fit.add_argument("--time-limit", type=_positive_float, metavar="S",
                     help="seconds the search may take (default: no limit)")
    fit.add_argument("--max-complexity", type=_positive_int, default=10, metavar="N",
                     help="largest formula size in tokens (default: 10)")
    fit.add_argument("--beam-width", type=_positive_int, default=1000, metavar="N",
                     help="candidates kept per level (default: 1000)")
    fit.add_argument("--operators", nargs="+", metavar="NAME",
                     help="operators the search may use (names, spaces or commas between them)")
    fit.add_argument("--out", metavar="MODEL.json", help="write the model file here")
    fit.add_argument("--front", metavar="FRONT.csv", help="write the front as CSV here")
    fit.add_argument("--plot", metavar="FRONT.png", help="draw the front here (needs matplotlib)")
    fit.add_argument("--checkpoint", metavar="FILE",
                     help="keep the search's state in FILE after each level; a later run with "
                     "the same data and settings continues from it")
    fit.add_argument("--quiet", action="store_true", help="no progress on stderr")

    predict = commands.add_parser(
        "predict", help="apply a saved model to a data file",
        description="Values of a model file's chosen formula at the rows of DATA, as CSV with "
        "one column 'prediction'.")
    predict.add_argument("model", metavar="MODEL.json")
    predict.add_argument("data", metavar="DATA")
    predict.add_argument("--out", metavar="PRED.csv", help="write here instead of stdout")

    constant = commands.add_parser(
        "constant", help="find a closed form for a number",
        description="Find a closed-form expression whose value is VALUE.")
    constant.add_argument("value", type=_finite_float, metavar="VALUE")
    constant.add_argument("--max-complexity", type=_positive_int, default=10, metavar="N",
                          help="largest formula size in tokens (default: 10)")
    constant.add_argument("--beam-width", type=_positive_int, default=1000, metavar="N",
                          help="candidates kept per level (default: 1000)")
    return parser


def main(argv: list[str] | None = None) -> int:
    """Runs the command line `argv` (default: sys.argv[1:]) and returns the
    exit status: 0 success, 1 a data or model file problem, 2 a usage error,
    130 a search ended by Ctrl-C (what it found is still written)."""
    parser = build_parser()
    args = parser.parse_args(argv)  # exits 2 with argparse's usage line
    try:
        if args.command == "fit":
            return _fit(args)
        if args.command == "predict":
            return _predict(args)
        return _constant(args)
    except UsageError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except DataError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return EXIT_DATA
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:  # e.g. `qarn-sr predict ... | head`
        with contextlib.suppress(OSError):
            sys.stdout = open(os.devnull, "w")  # noqa: SIM115  (no flush error at exit)
        return 0


# -- fit ------------------------------------------------------------------------


def _operator_names(values: list[str] | None) -> list[str] | None:
    if values is None:
        return None
    names = [n.strip() for v in values for n in v.split(",") if n.strip()]
    if not names:
        raise UsageError("--operators: no operator names given")
    return names


def _check_writable(path: str | None, option: str) -> None:
    if path is None:
        return
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise UsageError(f"{option} {path}: folder {folder} does not exist")


def _regressor(args, operators):
    from qarn_sr_sklearn import QarnRegressor

    params = dict(max_complexity=args.max_complexity, beam_width=args.beam_width,
                  time_limit=args.time_limit, verbose=False)
    if args.checkpoint is not None:
        # The same row sample on every run, so that a later run continues.
        params.update(checkpoint=args.checkpoint, random_state=0)
    if operators is not None:
        if "operators" not in QarnRegressor().get_params():
            raise UsageError("--operators: this qarn_sr's QarnRegressor has no operators "
                             "setting; every operator is used")
        params["operators"] = operators
    model = QarnRegressor(**params)
    try:
        model._validate_params()
    except (ValueError, TypeError) as error:
        raise UsageError(str(error).splitlines()[0]) from None
    return model


def _fit(args) -> int:
    operators = _operator_names(args.operators)
    for path, option in ((args.out, "--out"), (args.front, "--front"), (args.plot, "--plot"),
                         (args.checkpoint, "--checkpoint")):
        _check_writable(path, option)
    if args.plot is not None:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise UsageError("--plot needs matplotlib (pip install matplotlib)") from None
    model = _regressor(args, operators)

    frame = read_table(args.data)
    target = select_column(frame, args.target, args.data)
    if args.features is not None:
        features = [select_column(frame, f.strip(), args.data)
                    for f in args.features.split(",") if f.strip()]
        if not features:
            raise UsageError("--features: no column names given")
    else:
        features = [c for c in frame.columns if c != target]
    if target in features:
        raise UsageError(f"--features: the target column '{target}' cannot be a feature")
    if not features:
        raise DataError(f"{args.data}: no feature columns besides '{target}'")
    if len(set(features)) != len(features):
        raise UsageError("--features: a column is named twice")
    import pandas as pd

    X = pd.DataFrame({f: numeric_column(frame, f, args.data) for f in features})
    y = numeric_column(frame, target, args.data)

    interrupted = _run_search(model, X, y, quiet=args.quiet, path=args.data)
    resumed = (getattr(model, "searches_", None) or [{}])[0].get("resumed_at_level")
    if resumed is not None and not args.quiet:
        print(f"{PROG}: continued from level {resumed} of {args.checkpoint}", file=sys.stderr)
    if interrupted and not hasattr(model, "best_"):
        print(f"{PROG}: interrupted before any formula was found; nothing written",
              file=sys.stderr)
        return EXIT_INTERRUPTED

    rows = _front_rows(model, X, y)
    if args.out is not None:
        from qarn_sr_sklearn import save_model

        save_model(model, args.out)
    if args.front is not None:
        _write_atomically(args.front, lambda f: pd.DataFrame(rows).to_csv(f, index=False))
    if args.plot is not None:
        _plot(rows, target, args.plot)
    _print_table(rows, target, features, model, interrupted)
    if interrupted:
        print(f"{PROG}: interrupted; the front above is that of the levels completed",
              file=sys.stderr)
        return EXIT_INTERRUPTED
    return 0


class _SearchWatch:
    """What the command sees of the running search: its monitors (made by
    the estimator through _qarn_sr_core.SearchMonitor, recorded here), and
    whether Ctrl-C asked it to stop."""

    def __init__(self) -> None:
        self.monitors: list = []
        self.interrupted = False

    @contextlib.contextmanager
    def recording(self) -> Iterator[None]:
        # The estimator makes one monitor per search; the command wraps that
        # class so that progress can be read and Ctrl-C can stop the search
        # as if its time had run out, which keeps the front of the completed
        # levels. Only this process's command line does this.
        import _qarn_sr_core

        make = _qarn_sr_core.SearchMonitor

        def recorded():
            monitor = make()
            self.monitors.append(monitor)
            return monitor

        _qarn_sr_core.SearchMonitor = recorded
        previous = signal.getsignal(signal.SIGINT)
        in_main = threading.current_thread() is threading.main_thread()
        if in_main:
            signal.signal(signal.SIGINT, self._on_interrupt)
        try:
            yield
        finally:
            _qarn_sr_core.SearchMonitor = make
            if in_main:
                signal.signal(signal.SIGINT, previous)

    def _on_interrupt(self, signum, frame) -> None:
        if self.interrupted or not self.monitors:
            raise KeyboardInterrupt  # a second Ctrl-C, or no search to stop yet
        self.interrupted = True
        self.monitors[-1].stop()


def _run_search(model, X, y, quiet: bool, path: str) -> bool:
    """Fits `model` with progress on stderr; True when Ctrl-C ended the
    search (the model then holds the front of the levels completed)."""
    watch = _SearchWatch()
    done = threading.Event()
    reporter = None
    if not quiet:
        reporter = threading.Thread(target=_report_progress, args=(watch, done, model.time_limit),
                                    name="qarn-sr-progress", daemon=True)
    with watch.recording():
        if reporter is not None:
            reporter.start()
        try:
            model.fit(X, y)
        except KeyboardInterrupt:
            if not hasattr(model, "best_"):
                raise
            watch.interrupted = True
        except Exception as error:
            if watch.interrupted:
                return True
            text = str(error).strip().splitlines()
            raise DataError(f"{path}: {text[0] if text else type(error).__name__}") from None
        finally:
            done.set()
            if reporter is not None:
                reporter.join()
    return watch.interrupted


def _report_progress(watch: _SearchWatch, done: threading.Event, time_limit) -> None:
    """A progress bar (tqdm) when stderr is a terminal, else one plain line
    per completed level."""
    start = time.monotonic()
    bar = None
    if sys.stderr.isatty():
        try:
            from tqdm import tqdm

            bar = tqdm(total=0, file=sys.stderr, unit="cand", leave=False, dynamic_ncols=True)
        except ImportError:  # pragma: no cover - tqdm is a dependency of the command
            bar = None
    reported = 0
    shown_level = None
    while not done.wait(0.2):
        if not watch.monitors:
            continue
        monitor = watch.monitors[-1]
        elapsed = time.monotonic() - start
        budget = "" if time_limit is None else f" of {time_limit:g}s"
        if bar is not None:
            level, phase = monitor.level, monitor.phase
            if phase == "scoring" and monitor.total > 0:
                if level != shown_level:  # a new level: its own count and rate
                    bar.reset(total=monitor.total)
                    shown_level = level
                bar.n = monitor.scored
                bar.set_description(f"level {level}", refresh=False)
            elif phase == "expanding":
                bar.set_description(f"level {level} (forming)", refresh=False)
            bar.set_postfix_str(f"{elapsed:.1f}s{budget}", refresh=False)
            bar.refresh()
        elif monitor.completed_levels > reported:
            # One line per level, also for levels that ended between two looks.
            for completed in range(reported + 1, monitor.completed_levels + 1):
                print(f"{PROG}: level {completed} done, {elapsed:.1f}s{budget}", file=sys.stderr,
                      flush=True)
            reported = monitor.completed_levels
    if bar is not None:
        bar.close()
    elif watch.monitors:
        print(f"{PROG}: search ended after {time.monotonic() - start:.1f}s, "
              f"{watch.monitors[-1].completed_levels} levels built", file=sys.stderr, flush=True)


def _front_rows(model, X, y) -> list[dict]:
    total = float(np.sum((y - y.mean()) ** 2))
    rows = []
    for index, result in enumerate(model.pareto_front_):
        predicted = np.asarray(result.predict(X.to_numpy()), dtype=np.float64)
        residual = float(np.sum((y - predicted) ** 2))
        r2 = 1.0 - residual / total if total > 0 else (1.0 if residual == 0 else -math.inf)
        rows.append({"chosen": result is model.best_, "complexity": result.complexity,
                     "error": result.error, "r2": r2 if math.isfinite(residual) else math.nan,
                     "formula": model.to_text(index)})
    rows.sort(key=lambda r: r["complexity"])
    return rows


def _print_table(rows: list[dict], target: str, features: list[str], model,
                 interrupted: bool) -> None:
    header = ("", "complexity", "error", "R²", f"formula for {target}")
    lines = [(("*" if r["chosen"] else ""), str(r["complexity"]), f"{r['error']:.6g}",
              f"{r['r2']:.6f}", r["formula"]) for r in rows]
    widths = [max(len(h), *(len(line[i]) for line in lines)) for i, h in enumerate(header[:4])]

    def line(cells) -> str:
        return "  ".join([cells[0].ljust(widths[0])] + [c.rjust(w) for c, w in
                          zip(cells[1:4], widths[1:4])] + [cells[4]]).rstrip()

    print(line(header))
    for cells in lines:
        print(line(cells))
    seconds = getattr(model, "search_time_", 0.0)
    cut = (" (interrupted)" if interrupted else
           " (time limit reached)" if getattr(model, "timed_out_", False) else "")
    print(f"\n* chosen: {model.to_text()}  [{len(features)} feature(s), "
          f"{seconds:.1f}s{cut}]")
    sys.stdout.flush()


def _write_atomically(path: str, write) -> None:
    partial = f"{path}.partial"
    with open(partial, "w", encoding="utf-8", newline="") as out:
        write(out)
    os.replace(partial, path)


def _plot(rows: list[dict], target: str, path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4.5), layout="constrained")
    complexity = [r["complexity"] for r in rows]
    error = [max(r["error"], 1e-16) for r in rows]
    ax.plot(complexity, error, "o-", color="tab:blue", label="Pareto front")
    chosen = [r for r in rows if r["chosen"]]
    if chosen:
        ax.plot([chosen[0]["complexity"]], [max(chosen[0]["error"], 1e-16)], "o", ms=12,
                mfc="none", mec="tab:red", mew=2, label=f"chosen: {chosen[0]['formula'][:60]}")
    ax.set_yscale("log")
    ax.set_xlabel("complexity (tokens)")
    ax.set_ylabel("error (mean squared)")
    ax.set_title(f"Formulas for {target}")
    ax.legend(loc="upper right", fontsize="small")
    fig.savefig(path, dpi=120)
    plt.close(fig)


# -- predict --------------------------------------------------------------------


def _predict(args) -> int:
    from qarn_sr_sklearn import load_model

    check_readable(args.model)
    _check_writable(args.out, "--out")
    try:
        model = load_model(args.model)
    except (ValueError, OSError) as error:
        message = str(error)
        raise DataError(message if message.startswith(args.model) else
                        f"{args.model}: {message}") from None
    frame = read_table(args.data)
    names = getattr(model, "feature_names_in_", None)
    if names is not None:
        columns = [select_column(frame, str(n), args.data) for n in names]
    elif all(f"x{i}" in frame.columns for i in range(model.n_features_in_)):
        columns = [f"x{i}" for i in range(model.n_features_in_)]
    elif len(frame.columns) == model.n_features_in_:
        columns = list(frame.columns)
    else:
        raise DataError(f"{args.data}: the model reads {model.n_features_in_} unnamed features; "
                        f"the file has {len(frame.columns)} columns")
    import pandas as pd

    X = pd.DataFrame({c: numeric_column(frame, c, args.data) for c in columns})
    values = model.best_.predict(np.ascontiguousarray(X.to_numpy()))
    out = pd.DataFrame({"prediction": np.asarray(values, dtype=np.float64)})
    if args.out is None:
        out.to_csv(sys.stdout, index=False)
    else:
        _write_atomically(args.out, lambda f: out.to_csv(f, index=False))
    return 0


# -- constant -------------------------------------------------------------------


@contextlib.contextmanager
def _engine_output_discarded() -> Iterator[None]:
    """The engine writes its progress to file descriptor 1; point it at the
    null device while a search runs."""
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with open(os.devnull, "w") as devnull:
            os.dup2(devnull.fileno(), 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def _constant(args) -> int:
    import qarn_sr

    searcher = qarn_sr.Searcher(max_complexity=args.max_complexity, beam_width=args.beam_width)
    try:
        with _engine_output_discarded():
            result = searcher.recognize_constant(args.value)
    except ValueError as error:
        raise UsageError(str(error)) from None
    except qarn_sr.QarnComplexityError as error:
        raise DataError(str(error)) from None
    print(f"{result.to_python()}")
    print(f"formula: {result.formula}  complexity {result.complexity}  "
          f"error {result.error:.3g}  value {result.eval(0.0)!r}")
    return 0
