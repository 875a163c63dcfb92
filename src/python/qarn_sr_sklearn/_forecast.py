"""Whether the level a search is building can still finish by its deadline.

A search cut by its time limit returns the levels it completed: the time it
spent on the level in progress is lost. Levels grow several times over from
one to the next (four to seven times from 1 s on, in the discovery
benchmark), so the last level a budget starts often has no chance to finish
(at 60 s on two variables, level 9 needs 100 s or more). A level that would
take longer than the last one did, or whose scoring rate says it cannot
finish, is hopeless; the estimator then stops the search at once and gives
the time to growing the front.
"""

from __future__ import annotations

# The rate is trusted once the level has been scored for this long.
MIN_SECONDS = 1.0
# Candidates late in a level score faster than the early ones (up to about
# twice as fast in the levels measured), so a level is given up only when it
# would miss the deadline even at this multiple of its measured rate.
SPEEDUP = 2.0


def predecessor(progress) -> tuple | None:
    """The ``level_log`` record (level, candidates, seconds, best error) of
    the level just before the one being built, or None where the progress
    has no such record (a cluster's progress keeps no log)."""
    log = getattr(progress, "level_log", None)
    if not log or log[-1][0] != progress.level - 1:
        return None
    return log[-1]


class LevelForecast:
    """Reads a search's progress counters (``phase``, ``level``, ``scored``,
    ``total`` and, where the search has one, ``level_log``) at each redraw;
    ``hopeless`` is true once the level being built would end after
    ``deadline`` (a ``time.monotonic()`` value)."""

    def __init__(self, deadline: float) -> None:
        self.deadline = deadline
        self._level: int | None = None
        self._opened = 0.0  # when the level was first seen
        self._scoring: tuple[float, int] | None = None  # (time, scored) when first seen scoring

    def hopeless(self, progress, now: float) -> bool:
        if progress.level != self._level:
            self._level, self._opened, self._scoring = progress.level, now, None
        if progress.phase not in ("expanding", "scoring"):
            return False
        return (self._late_even_at_predecessors_time(progress)
                or self._late_even_at_twice_its_rate(progress, now))

    def remeasure(self) -> None:
        """Measures the level's scoring rate afresh from the next reading
        (after something else shared the processors with it)."""
        self._scoring = None

    def _late_even_at_predecessors_time(self, progress) -> bool:
        """True when the level would end after the deadline even if it took
        no longer than the level before it."""
        before = predecessor(progress)
        return before is not None and self._opened + before[2] > self.deadline

    def _late_even_at_twice_its_rate(self, progress, now: float) -> bool:
        """True when the level, scored for MIN_SECONDS or more, would end
        after the deadline even at SPEEDUP times the rate measured since
        its scoring was first seen."""
        if progress.phase != "scoring" or progress.total <= 0:
            return False
        if self._scoring is None:
            self._scoring = (now, progress.scored)
            return False
        since, scored = self._scoring
        measured = now - since
        done = progress.scored - scored
        if measured < MIN_SECONDS or done <= 0:
            return False
        left = (progress.total - progress.scored) * measured / (done * SPEEDUP)
        return now + left > self.deadline
