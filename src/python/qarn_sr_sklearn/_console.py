"""The search's console: silencing file descriptor 1, and a live progress line
in Jupyter fed from the engine's counters."""

from __future__ import annotations

import contextlib
import os
import sys
import threading
from collections.abc import Iterator

# File descriptor 1 belongs to the whole process. Fits running at the same
# time in several threads share one redirection: the first one in sends fd 1
# to the null device, the last one out restores it.
_quiet_lock = threading.Lock()
_quiet_depth = 0
_saved_fd1: int | None = None
_fd1_was_closed = False


def _flush_python_stdout() -> None:
    for stream in (sys.stdout, sys.__stdout__):
        try:
            if stream is not None:
                stream.flush()
        except (OSError, ValueError):
            pass


def _fd1_open() -> bool:
    try:
        os.fstat(1)
    except OSError:
        return False
    return True


def _write_saved(text: str) -> None:
    """Writes to the descriptor 1 that quiet_stdout saved (the real standard
    output); nothing when there is none. Errors (a closed pipe) are ignored:
    the fit goes on whether or not anyone reads its progress."""
    with _quiet_lock:
        fd = _saved_fd1
        if fd is None:
            return
        data = text.encode("utf-8", "replace")
        try:
            while data:
                data = data[os.write(fd, data):]
        except OSError:
            pass


@contextlib.contextmanager
def quiet_stdout() -> Iterator[None]:
    """Sends everything written to file descriptor 1 to the null device while
    the block runs, and restores the descriptor when it ends, also when it
    raises. The engine writes its console lines there, bypassing sys.stdout.
    A closed descriptor 1 is pointed at the null device too (so that no file
    opened meanwhile takes its number and receives the engine's lines) and
    closed again at the end."""
    global _quiet_depth, _saved_fd1, _fd1_was_closed
    with _quiet_lock:
        if _quiet_depth == 0:
            _flush_python_stdout()
            was_closed = not _fd1_open()
            saved = None if was_closed else os.dup(1)
            try:
                devnull = os.open(os.devnull, os.O_WRONLY)
                if devnull != 1:
                    try:
                        os.dup2(devnull, 1)
                    finally:
                        os.close(devnull)
            except BaseException:
                if saved is not None:
                    os.close(saved)
                raise
            _saved_fd1 = saved
            _fd1_was_closed = was_closed
        _quiet_depth += 1
    try:
        yield
    finally:
        with _quiet_lock:
            _quiet_depth -= 1
            if _quiet_depth == 0:
                _flush_python_stdout()
                if _saved_fd1 is not None:
                    os.dup2(_saved_fd1, 1)
                    os.close(_saved_fd1)
                    _saved_fd1 = None
                elif _fd1_was_closed:
                    os.close(1)


def in_notebook() -> bool:
    """True inside a Jupyter kernel (an IPython shell with a kernel). IPython
    is only looked at when it is already imported."""
    ipython = sys.modules.get("IPython")
    if ipython is None:
        return False
    try:
        shell = ipython.get_ipython()
    except Exception:  # pragma: no cover - a broken IPython is not ours to fix
        return False
    return shell is not None and getattr(shell, "kernel", None) is not None


def progress_text(monitor, stage: str, elapsed: float, time_limit: float | None) -> str:
    """One line describing a running search, from its monitor's counters."""
    phase = monitor.phase
    level = monitor.level
    if phase == "scoring" and monitor.total > 0:
        done, total = monitor.scored, monitor.total
        where = f"level {level}: {done:,}/{total:,} candidates scored ({100 * done // total}%)"
    elif phase == "expanding":
        where = f"level {level}: forming candidates"
    elif phase == "finished":
        where = "refitting the front"
    else:
        where = "seeding level 1"
    budget = "" if time_limit is None else f" of {time_limit:.0f}s"
    return f"QarnRegressor {stage}{where} | levels done: {monitor.completed_levels} | {elapsed:.1f}s{budget}"


class NotebookProgress:
    """A progress line in the output of the running notebook cell, redrawn in
    place (an IPython display with an id)."""

    def __init__(self) -> None:
        from IPython.display import display

        self._handle = display({"text/plain": "QarnRegressor: starting"}, raw=True, display_id=True)

    def show(self, text: str) -> None:
        if self._handle is not None:
            self._handle.update({"text/plain": text}, raw=True)


def level_line(stage: str, record) -> str:
    """The line of one completed level, for progress written to a file or a
    pipe: level, candidates scored, seconds, best error so far."""
    level, candidates, seconds, best = record
    return (f"QarnRegressor {stage}level {level} done: {candidates:,} candidates, "
            f"{seconds:.2f}s, best error so far {best:.6g}\n")


def grow_line(fitted: int, seconds: float, best: float) -> str:
    """The line that reports growing the front (see QarnRegressor's grow)."""
    return (f"QarnRegressor grew the front: {fitted:,} formulas fitted, {seconds:.2f}s, "
            f"best error so far {best:.6g}")


class SearchConsole:
    """Where a fit's progress goes. verbose=False: nowhere (file descriptor 1
    silenced). In a notebook: the engine's lines to file descriptor 1 and a
    live line in the cell. On a terminal: the engine's own lines, its
    progress bar redrawn in place. To a file or a pipe: the engine is
    silenced and one line per completed level is written instead."""

    def __init__(self, verbose: bool) -> None:
        self._verbose = verbose
        self._stack = contextlib.ExitStack()
        self._mode = "silent"
        self._display: NotebookProgress | None = None
        self._printed: dict[str, int] = {}

    def __enter__(self) -> SearchConsole:
        if not self._verbose:
            self._mode = "silent"
        elif in_notebook():
            self._mode = "notebook"
            self._display = NotebookProgress()
        elif not _fd1_open():
            self._mode = "silent"
        elif os.isatty(1):
            self._mode = "terminal"
        else:
            self._mode = "log"
        if self._mode in ("silent", "log"):
            self._stack.enter_context(quiet_stdout())
        return self

    def __exit__(self, *exc) -> None:
        self._stack.close()

    def note(self, text: str) -> None:
        """A line of its own (a schedule's next search)."""
        if self._mode == "log":
            _write_saved(text + "\n")
        elif self._mode in ("terminal", "notebook"):
            print(text, flush=True)

    def show(self, monitor, stage: str, elapsed: float, time_limit: float | None) -> None:
        """Brings the progress up to date with the monitor of the running search."""
        if self._mode == "notebook" and self._display is not None:
            self._display.show(progress_text(monitor, stage, elapsed, time_limit))
        elif self._mode == "log":
            records = monitor.level_log
            done = self._printed.get(stage, 0)
            if len(records) > done:
                _write_saved("".join(level_line(stage, r) for r in records[done:]))
                self._printed[stage] = len(records)
