"""Shared data and search results for the Python tests.

Searches are kept tiny (low max_complexity, narrow beam) so the suite stays
fast. Results that several tests read are computed once per session.
"""

import pytest

import qarn_sr

XS = [0.5, 1.0, 1.5, 2.0, 2.5, 3.0]


def tiny(max_complexity=4, beam_width=50, **kwargs):
    return qarn_sr.Searcher(max_complexity=max_complexity, beam_width=beam_width, **kwargs)


@pytest.fixture(scope="session")
def square():
    """Result for y = x**2: Square(v_{0})."""
    return tiny().find_function(XS, [x * x for x in XS])


@pytest.fixture(scope="session")
def first_input():
    """Result whose value is input 0 of the point: v_{0}."""
    return tiny(max_complexity=2).find_function(XS, XS)


@pytest.fixture(scope="session")
def second_input():
    """Result whose value is input 1 of the point: v_{1}. Reading converted
    rows back through it shows what a conversion produced."""
    rows = [[x, 10.0 * x] for x in XS]
    return tiny(max_complexity=2).find_multivariate(rows, [r[1] for r in rows])


@pytest.fixture(scope="session")
def sum_of_inputs():
    """Result for y = x0 + x1: Plus(v_{0}, v_{1})."""
    rows = [[x, 3.0 - 0.7 * x * x] for x in XS]
    return tiny(max_complexity=3).find_multivariate(rows, [a + b for a, b in rows])
