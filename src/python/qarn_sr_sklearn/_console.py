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


def _flush_python_stdout() -> None:
    for stream in (sys.stdout, sys.__stdout__):
        try:
            if stream is not None:
                stream.flush()
        except (OSError, ValueError):
            pass


@contextlib.contextmanager
def quiet_stdout() -> Iterator[None]:
    """Sends everything written to file descriptor 1 to the null device while
    the block runs, and restores the descriptor when it ends, also when it
    raises. The engine writes its console lines there, bypassing sys.stdout."""
    global _quiet_depth, _saved_fd1
    with _quiet_lock:
        if _quiet_depth == 0:
            _flush_python_stdout()
            saved = os.dup(1)
            try:
                devnull = os.open(os.devnull, os.O_WRONLY)
                try:
                    os.dup2(devnull, 1)
                finally:
                    os.close(devnull)
            except BaseException:
                os.close(saved)
                raise
            _saved_fd1 = saved
        _quiet_depth += 1
    try:
        yield
    finally:
        with _quiet_lock:
            _quiet_depth -= 1
            if _quiet_depth == 0 and _saved_fd1 is not None:
                _flush_python_stdout()
                os.dup2(_saved_fd1, 1)
                os.close(_saved_fd1)
                _saved_fd1 = None


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
