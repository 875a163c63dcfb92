"""The driver and scorer classes of _qarn_sr_core, driven by hand as
qarn_sr_dask drives them: a level loop in one process, refusals of foreign
or damaged messages, and qarn_sr's own exception classes."""

import sys

import pytest

import _qarn_sr_core as core
import qarn_sr

XS = [0.5, 1.0, 1.5, 2.0, 2.5]
YS = [x * x + 1.0 for x in XS]


def driver_for(settings, kwargs, method, args):
    bound = core.ClusterDriver.bind_settings(settings, kwargs)
    return core.ClusterDriver(bound, method, args, None)


def run_by_hand(settings, method, args, runs=2, buckets=2):
    """The Dask module's loop without Dask: every task runs here."""
    driver = driver_for(settings, None, method, args)
    scorer = core.ClusterScorer(driver.data, driver.settings)
    scorer.add_level(driver.level_bytes(1))
    layers = [[layer] for layer in driver.first_layers(buckets)]
    while (level := driver.next_level()) is not None:
        formed = [scorer.form(level, b, e, buckets) for b, e in driver.expansion_runs(runs)]
        admissions = [
            core.ClusterScorer.admit(layers[b], [run[1 + b] for run in formed])
            for b in range(buckets)
        ]
        for b, (layer, _, _) in enumerate(admissions):
            layers[b].append(layer)
        flags = [a[1] for a in admissions]
        driver.start_scoring(sum(sum(a[2]) for a in admissions))
        scored = [scorer.score(level, run[0], i, flags) for i, run in enumerate(formed)]
        driver.end_scoring()
        complete, rest, elite, counts = driver.first_round(
            [scorer.summary(level, s) for s in scored]
        )
        if not complete:
            driver.second_round(
                [scorer.rest(level, s, elite[i], counts, rest) for i, s in enumerate(scored)]
            )
        wanted = driver.wanted(len(scored))
        driver.accept([scorer.formulas(level, s, wanted[i]) if wanted[i] else None
                       for i, s in enumerate(scored)])
        scorer.add_level(driver.level_bytes(level))
    return driver.front()


def test_a_hand_driven_loop_gives_the_local_front(capfd):
    settings = (4, 0.1, 8)
    local = qarn_sr.Searcher(*settings).find_candidates([[x] for x in XS], YS)
    local_out = capfd.readouterr().out
    remote = run_by_hand(settings, "find_candidates", ([[x] for x in XS], YS))
    remote_out = capfd.readouterr().out
    assert [(r.formula, r.error.hex()) for r in remote] == \
           [(r.formula, r.error.hex()) for r in local]
    assert remote_out.count("Retaining top") == local_out.count("Retaining top") == 3


def test_foreign_or_damaged_messages_are_refused_with_the_reason():
    driver = driver_for((), None, "find_function", (XS, YS))
    with pytest.raises(ValueError, match="^expected a data set message, got message tag 2$"):
        core.ClusterScorer(driver.settings, driver.settings)
    newer = driver.data[:1] + bytes([driver.data[1] + 1]) + driver.data[2:]
    with pytest.raises(ValueError, match="format version 2; this build reads version 1"):
        core.ClusterScorer(newer, driver.settings)
    scorer = core.ClusterScorer(driver.data, driver.settings)
    with pytest.raises(ValueError, match="^malformed formulas message"):
        scorer.add_level(driver.level_bytes(1)[:-1])
    scorer.add_level(driver.level_bytes(1))
    with pytest.raises(ValueError, match="level 3 cannot be served with levels 1 to 1 loaded"):
        scorer.form(3, 0, 1, 1)
    with pytest.raises(TypeError, match="argument 'formed': must be bytes"):
        scorer.score(2, "text", 0, [])
    assert core.ClusterScorer.score.__text_signature__ == "($self, level, formed, run, flags)"


def test_the_driver_raises_qarn_sr_classes_and_leaks_nothing():
    with pytest.raises(qarn_sr.QarnDimensionError):
        driver_for((), None, "fit", ([[1.0]], [1.0, 2.0]))
    with pytest.raises(qarn_sr.QarnComplexityError):
        driver_for((0,), None, "fit", ([[1.0]], [1.0]))
    with pytest.raises(TypeError, match=r"'width' is an invalid keyword argument for DaskSearcher"):
        core.ClusterDriver.bind_settings((), {"width": 3})
    args = ([[1.0], [2.0]], [1.0, 2.0])
    before = sys.getrefcount(args)
    for _ in range(50):
        with pytest.raises(ValueError):
            driver_for((), {"alpha": float("nan")}, "fit", args)
    assert sys.getrefcount(args) == before
