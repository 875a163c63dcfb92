"""The console output: "[QARN-SR]" lines and the "[QARN]" progress line,
written by C stdio to file descriptor 1 (so capfd sees it)."""

import math
import re

import pytest

import qarn_sr
from conftest import XS, tiny

FIRST = re.compile(r"\[QARN-SR\] Started search space exploration\. "
                   r"Level 1 seeded with (\d+) primary nodes\.\n")
LEVEL = re.compile(r"\[QARN-SR\]   -> Level (\d+) processed in \d+(\.\d+)?(s|ms|µs|ns)\. "
                   r"Retaining top (\d+) candidates\.\n")
PROGRESS = re.compile(r"\r  \[QARN\] L(\d+) Progress: \[([█░]{10})\] (\d+)% \((\d+)/(\d+)\) \| "
                      r"\d+\.\ds \(Est: -?\d+\.\ds\)   ")


def parse(out):
    """First-line count and [(progress updates, level match)]; any other text fails."""
    first = FIRST.match(out)
    assert first, out[:200]
    pos, levels = first.end(), []
    while pos < len(out):
        updates = []
        while m := PROGRESS.match(out, pos):
            updates.append(m)
            pos = m.end()
        if updates:
            assert out[pos] == "\n"
            pos += 1
        line = LEVEL.match(out, pos)
        assert line, repr(out[pos:pos + 200])
        pos = line.end()
        levels.append((updates, line))
    return int(first.group(1)), levels


def test_lines_and_progress(capfd):
    tiny(max_complexity=3).find_candidates([[x, -x, 1.0] for x in XS], [x**3 - x for x in XS])
    seeded, levels = parse(capfd.readouterr().out)
    assert seeded == 4
    assert [line.group(1) for _, line in levels] == ["2", "3"]
    for updates, line in levels:
        totals = {int(u.group(5)) for u in updates}
        assert len(totals) == 1
        total = totals.pop()
        percentages = [int(u.group(3)) for u in updates]
        # Forward only, and the last redraw reads 100 % with the level's total.
        assert percentages == sorted(set(percentages)) and percentages[-1] == 100
        assert int(updates[-1].group(4)) == total
        for u in updates:
            pct = int(u.group(3))
            assert u.group(1) == line.group(1) and pct == int(u.group(4)) * 100 // total
            assert u.group(2) == "█" * (pct // 10) + "░" * (10 - pct // 10)
        assert int(line.group(4)) <= 50


def test_early_stop_and_silent_searches(capfd):
    tiny(max_complexity=5).find_function(XS, [x * x for x in XS])
    assert [line.group(1) for _, line in parse(capfd.readouterr().out)[1]] == ["2"]
    tiny(max_complexity=1).find_function(XS, [x * x for x in XS])
    assert FIRST.fullmatch(capfd.readouterr().out)
    tiny().find_function(XS, XS)  # exact at level 1
    with pytest.raises(qarn_sr.QarnDimensionError):
        tiny().find_function(XS, [1.0])
    assert capfd.readouterr().out == ""


def test_nan_targets_keep_nothing_at_any_level(capfd):
    with pytest.raises(qarn_sr.QarnComplexityError):
        tiny(max_complexity=3).find_function(XS, [math.nan] * len(XS))
    levels = parse(capfd.readouterr().out)[1]
    assert [(line.group(1), line.group(4)) for _, line in levels] == [("2", "0"), ("3", "0")]
