"""fit_adj_list: the nested conversion of the adjacency lists and its
messages, and the engine's bounds check."""

import collections

import numpy as np
import pytest
from conftest import NEGATIVE_TO_UNSIGNED, TOO_BIG_FOR_U64, check_error

import _rust_core

fit_adj_list = _rust_core.fit_adj_list
NOTE = "while processing 'adj_list'"

Pair = collections.namedtuple("Pair", "target weight")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def run(adj, **kw):
    return fit_adj_list(
        adj, kw.pop("dim", 4), kw.pop("weights", [0.5, 1.0]), seed=kw.pop("seed", 8), **kw
    )


EQUIVALENT_FORMS = {
    "tuples": ((((1, 1.0),), ((0, 2.0),))),
    "namedtuple-pairs": [[Pair(1, 1.0)], [Pair(0, 2.0)]],
    "int-weight": [[(1, 1)], [(0, 2)]],
    "bool-target": [[(True, 1.0)], [(False, 2.0)]],
    "index-target": [[(Index(1), 1.0)], [(Index(0), 2.0)]],
    "numpy-scalars": [[(np.int64(1), np.float32(1.0))], [(np.uint8(0), np.float64(2.0))]],
    "ranges-of-pairs": [collections.UserList([(1, 1.0)]), ((0, 2.0),)],
    "split-duplicates": [[(1, 0.25), (1, 0.75)], [(0, 2.0)]],
}


@pytest.mark.parametrize("form", EQUIVALENT_FORMS)
def test_equivalent_forms(form):
    expected = run([[(1, 1.0)], [(0, 2.0)]])
    assert expected.shape == (2, 4)
    assert np.array_equal(run(EQUIVALENT_FORMS[form]).view(np.uint32), expected.view(np.uint32))


@pytest.mark.parametrize("dim", [0, 3])
def test_empty_graph(dim):
    assert run([], dim=dim).shape == (0, dim)
    assert run([[], []], dim=dim).shape == (2, dim)


class ClearsOuter:
    """An __index__ that empties the list being converted."""

    def __init__(self, victim):
        self.victim = victim

    def __index__(self):
        self.victim.clear()
        return 0


def test_list_mutated_during_conversion():
    adj = [[(0, 1.0)], [], [(1, 1.0)]]
    adj[0].append((ClearsOuter(adj), 1.0))
    out = run(adj)
    # The outer iteration stops early: only the first list was read.
    assert out.shape == (1, 4)
    adj_inner = [(0, 1.0)]
    adj_inner.append((ClearsOuter(adj_inner), 3.0))
    adj_inner.append((0, 5.0))
    # The inner list was emptied while its second pair was read.
    assert np.array_equal(run([adj_inner]), run([[(0, 1.0), (0, 3.0)]]))


FAILURES = [
    ("abc", TypeError, "Can't extract `str` to `Vec`"),
    (["ab"], TypeError, "Can't extract `str` to `Vec`"),
    ([None], TypeError, "'None' is not an instance of 'Sequence'"),
    (None, TypeError, "'None' is not an instance of 'Sequence'"),
    ({0: [(1, 1.0)]}, TypeError, "'dict' object is not an instance of 'Sequence'"),
    ([[(1, 1.0)], 5], TypeError, "'int' object is not an instance of 'Sequence'"),
    ([{(0, 1.0)}], TypeError, "'set' object is not an instance of 'Sequence'"),
    ([[[1, 0.5]]], TypeError, "'list' object is not an instance of 'tuple'"),
    ([[None]], TypeError, "'None' is not an instance of 'tuple'"),
    ([[np.array([1, 0.5])]], TypeError, "'ndarray' object is not an instance of 'tuple'"),
    ([[(1, 0.5, 2.0)]], ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ([[()]], ValueError, "expected tuple of length 2, but got tuple of length 0"),
    ([[(-1, 1.0)]], OverflowError, NEGATIVE_TO_UNSIGNED),
    ([[(2**64, 1.0)]], OverflowError, TOO_BIG_FOR_U64),
    ([[(1.0, 1.0)]], TypeError, "'float' object cannot be interpreted as an integer"),
    ([[(0, "x")]], TypeError, "must be real number, not str"),
    ([[(0, None)]], TypeError, "must be real number, not NoneType"),
]


@pytest.mark.parametrize("adj, exc, message", FAILURES, ids=[repr(f[0])[:30] for f in FAILURES])
def test_conversion_failures(adj, exc, message):
    with pytest.raises(exc) as excinfo:
        run(adj)
    check_error(excinfo, message, NOTE)


def test_iteration_failures_are_the_error():
    class Broken(list):
        def __iter__(self):
            yield (0, 1.0)
            raise LookupError("inner iteration failed")

    with pytest.raises(LookupError) as excinfo:
        run([[(0, 1.0)], Broken()])
    check_error(excinfo, "inner iteration failed", NOTE)


def test_failing_len_is_ignored():
    class NoLen(list):
        def __len__(self):
            raise RuntimeError("no length")

    assert np.array_equal(
        run(NoLen([NoLen([(1, 1.0)]), [(0, 2.0)]])), run([[(1, 1.0)], [(0, 2.0)]])
    )


@pytest.mark.parametrize(
    "adj, message",
    [
        (
            [[(3, 1.0)], [], []],
            "Shape mismatch: Target node ID 3 is out of bounds for graph with 3 nodes",
        ),
        (
            [[(0, 1.0)], [(2, 1.0)]],
            "Shape mismatch: Target node ID 2 is out of bounds for graph with 2 nodes",
        ),
        (
            [[(0, 1.0)], [], [(2**64 - 1, 1.0)]],
            "Shape mismatch: Target node ID 18446744073709551615 is out of bounds for graph with 3 nodes",
        ),
    ],
)
def test_engine_bounds_error(adj, message):
    with pytest.raises(ValueError) as excinfo:
        run(adj)
    check_error(excinfo, message)
