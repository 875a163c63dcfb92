"""The search's console output: "[QARN-SR]" event lines and the "[QARN]"
progress line, written by C stdio to file descriptor 1."""

import math
import re

import pytest

import qarn_sr
from conftest import XS, tiny

FIRST_LINE = re.compile(
    r"\[QARN-SR\] Started search space exploration\. Level 1 seeded with (\d+) primary nodes\.\n")
LEVEL_LINE = re.compile(
    r"\[QARN-SR\]   -> Level (\d+) processed in (\d+(?:\.\d+)?(?:s|ms|µs|ns))\. "
    r"Retaining top (\d+) candidates\.\n")
PROGRESS = re.compile(
    r"\r  \[QARN\] L(\d+) Progress: \[([█░]{10})\] (\d+)% \((\d+)/(\d+)\) \| "
    r"(\d+\.\d)s \(Est: (-?\d+\.\d)s\)   ")


def parse(out):
    """Splits the output into the first line and one (progress, level line)
    pair per level; fails on any text that fits none of the formats."""
    first = FIRST_LINE.match(out)
    assert first, out[:200]
    pos = first.end()
    levels = []
    while pos < len(out):
        updates = []
        while (m := PROGRESS.match(out, pos)):
            updates.append(m)
            pos = m.end()
        if updates:
            assert out[pos] == "\n", "progress line not ended"
            pos += 1
        line = LEVEL_LINE.match(out, pos)
        assert line, repr(out[pos:pos + 200])
        pos = line.end()
        levels.append((updates, line))
    return int(first.group(1)), levels


def test_early_stop_after_level_two(capfd):
    result = tiny(max_complexity=5).find_function(XS, [x * x for x in XS])
    seeded, levels = parse(capfd.readouterr().out)
    assert result.formula == "Square(v_{0})"
    assert seeded == 2
    assert [int(line.group(1)) for _, line in levels] == [2]


def test_progress_line_format(capfd):
    tiny(max_complexity=3).find_candidates([[x] for x in XS], [x**3 - x for x in XS])
    _, levels = parse(capfd.readouterr().out)
    assert [int(line.group(1)) for _, line in levels] == [2, 3]
    for updates, line in levels:
        assert updates, "a level with candidates shows progress"
        level = line.group(1)
        percentages = [int(u.group(3)) for u in updates]
        assert len(set(percentages)) == len(percentages)
        assert 100 in percentages
        totals = {int(u.group(5)) for u in updates}
        assert len(totals) == 1
        total = totals.pop()
        for u in updates:
            assert u.group(1) == level
            pct, done = int(u.group(3)), int(u.group(4))
            assert 1 <= pct <= 100 and pct == done * 100 // total
            assert u.group(2) == "█" * (pct // 10) + "░" * (10 - pct // 10)
        assert int(line.group(3)) <= min(total, 50)


def test_seed_count_follows_the_variables(capfd):
    rows = [[x, x + 1.0, 2.0 * x] for x in XS]
    tiny(max_complexity=2).find_multivariate(rows, [math.cos(x) for x in XS])
    seeded, _ = parse(capfd.readouterr().out)
    assert seeded == 4


def test_rows_without_variables_seed_only_the_parameter(capfd):
    tiny(max_complexity=2).find_multivariate([[]] * len(XS), XS)
    seeded, _ = parse(capfd.readouterr().out)
    assert seeded == 1


def test_nan_targets_keep_nothing(capfd):
    with pytest.raises(qarn_sr.QarnComplexityError):
        tiny(max_complexity=3).find_function(XS, [math.nan] * len(XS))
    _, levels = parse(capfd.readouterr().out)
    assert [(line.group(1), line.group(3)) for _, line in levels] == [("2", "0"), ("3", "0")]


@pytest.mark.parametrize(
    "call",
    [
        lambda: tiny().find_function(XS, XS),  # exact at level 1: stops before printing
        lambda: pytest.raises(qarn_sr.QarnDimensionError, tiny().find_function, XS, [1.0]),
        lambda: pytest.raises(qarn_sr.QarnDimensionError, tiny().find_multivariate, [], []),
    ],
    ids=["exact-seed", "unequal", "empty"],
)
def test_silent_searches(capfd, call):
    call()
    assert capfd.readouterr().out == ""


def test_single_level_prints_only_the_seed_line(capfd):
    tiny(max_complexity=1).find_function(XS, [x * x for x in XS])
    assert FIRST_LINE.fullmatch(capfd.readouterr().out)
