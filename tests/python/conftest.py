"""Shared data and results. Searches are tiny (low max_complexity, narrow
beam) to keep the suite fast; shared results are computed once."""

import signal

import pytest

import qarn_sr

# Several tests send Ctrl-C (SIGINT) to this process or to the ones it
# starts. A shell starts a background job with SIGINT ignored, and Python
# then raises no KeyboardInterrupt for it (nor do its children, which inherit
# the disposition): give SIGINT Python's own handler back, so that those tests
# run the same from a background job.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

XS = [0.5, 1.0, 1.5, 2.0, 2.5, 3.0]


def tiny(max_complexity=4, beam_width=50, **kwargs):
    return qarn_sr.Searcher(max_complexity=max_complexity, beam_width=beam_width, **kwargs)


@pytest.fixture(scope="session")
def square():
    """Square(v_{0}), found for y = x**2."""
    return tiny().find_function(XS, [x * x for x in XS])


@pytest.fixture(scope="session")
def var0():
    """v_{0}: evaluating it reads input 0 back, which shows what a conversion made."""
    return tiny(max_complexity=2).find_function(XS, XS)


@pytest.fixture(scope="session")
def var1():
    """v_{1}: reads input 1 back."""
    return tiny(max_complexity=2).find_multivariate([[x, 10 * x] for x in XS], [10 * x for x in XS])


@pytest.fixture(scope="session")
def plus():
    """Plus(v_{0}, v_{1}), found for y = x0 + x1."""
    rows = [[x, 3.0 - 0.7 * x * x] for x in XS]
    return tiny(max_complexity=3).find_multivariate(rows, [a + b for a, b in rows])
