"""Growing the front while the search builds its next level.

Growing finds most formulas of the discovery benchmark within seconds from a
front that holds their start. Waiting for the whole search would make the
answer come later the longer the time limit: the search goes on to deeper
levels, each four to seven times longer than the one before (gravity in SI
units, grown from the front of level 8, came at 37 s with 150 s and at 154 s
with 600 s that way). So, once a completed level took MIN_LEVEL_SECONDS or
more, the estimator grows the front of the completed levels for up to FACTOR
times that level's time, while the search builds the next level on the same
cores; an exact fit ends the search there. The search itself is unchanged:
it only gets less of the processors during a turn.
"""

from __future__ import annotations

from typing import Callable

from qarn_sr_sklearn._forecast import predecessor

# Levels quicker than this are left to the search: the next one is short too.
MIN_LEVEL_SECONDS = 2.0
# A turn lasts at most this multiple of the time of the level it follows.
# The turn shares the cores with the next level, which takes four to seven
# times as long as the one before: the level ends later by about half the
# turn, a fraction of its time, while the turn grows for about as long as
# that level took.
FACTOR = 2.0


class GrowthTurns:
    """Decides, at each redraw, whether a growing turn is due, and takes it.

    ``grow(best, front, end)`` grows the formulas ``best`` (a search
    monitor's ``best_so_far``) with those of ``front`` (the last turn's)
    until ``end`` (a ``time.monotonic()`` value) and returns the front it
    reached, the formulas it started from included; turns end by
    ``deadline`` and last ``longest`` seconds at most. ``front`` is the
    front of the last turn (empty before the first)."""

    def __init__(self, grow: Callable[[list, list, float], list], deadline: float,
                 longest: float) -> None:
        self._grow = grow
        self.deadline = deadline
        self.longest = longest
        self.front: list = []
        self._after = 0  # the level the last turn followed

    def due(self, progress, now: float) -> float | None:
        """The end of the turn due now, or None. A turn is due once after
        each completed level that took MIN_LEVEL_SECONDS or more, while the
        search builds the level after it."""
        before = predecessor(progress)
        if before is None or progress.phase not in ("expanding", "scoring"):
            return None
        level, _, seconds, _ = before
        if level <= self._after or seconds < MIN_LEVEL_SECONDS:
            return None
        self._after = level
        end = min(now + FACTOR * seconds, now + self.longest, self.deadline)
        return end if end > now else None

    def take(self, progress, end: float) -> list:
        """Grows the monitor's best formulas and the last turn's front until
        ``end``; returns the front reached."""
        self.front = self._grow(progress.best_so_far, self.front, end)
        return self.front
