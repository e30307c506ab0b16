"""The call frame shared by the three entry points: argument parsing with the
interpreter's messages, and the conversions with their "while processing"
note. Tables run against fit_dense, fit_csr and fit_adj_list."""

import collections

import numpy as np
import pytest
from conftest import (
    ENTRIES,
    FIT_ADJ_LIST,
    FIT_CSR,
    FIT_DENSE,
    NEGATIVE_TO_UNSIGNED,
    TOO_BIG_FOR_U64,
    check_error,
)

# ---------------------------------------------------------------- parsing

MISSING = {
    # (entry, number of leading positional arguments) -> message
    ("fit_csr", 5): "fit_csr() missing 1 required positional argument: 'weights'",
    ("fit_csr", 4): "fit_csr() missing 2 required positional arguments: 'dim' and 'weights'",
    (
        "fit_csr",
        3,
    ): "fit_csr() missing 3 required positional arguments: 'num_nodes', 'dim', and 'weights'",
    ("fit_csr", 0): "fit_csr() missing 6 required positional arguments: 'row_ptrs', "
    "'col_indices', 'values', 'num_nodes', 'dim', and 'weights'",
    ("fit_dense", 2): "fit_dense() missing 1 required positional argument: 'weights'",
    (
        "fit_dense",
        0,
    ): "fit_dense() missing 3 required positional arguments: 'adj_matrix', 'dim', and 'weights'",
    (
        "fit_adj_list",
        1,
    ): "fit_adj_list() missing 2 required positional arguments: 'dim' and 'iter_weights'",
    ("fit_adj_list", 0): "fit_adj_list() missing 3 required positional arguments: "
    "'adj_list', 'dim', and 'iter_weights'",
}


@pytest.mark.parametrize("key", MISSING, ids=lambda k: f"{k[0]}-{k[1]}")
def test_missing_positional(key):
    entry = {e.name: e for e in ENTRIES}[key[0]]
    with pytest.raises(TypeError) as excinfo:
        entry.func(*entry.valid_args()[: key[1]])
    check_error(excinfo, MISSING[key])


def test_missing_names_follow_parameter_order_not_call_order():
    kw = FIT_CSR.valid_kwargs()
    with pytest.raises(TypeError) as excinfo:
        FIT_CSR.func(weights=kw["weights"], col_indices=kw["col_indices"], values=kw["values"])
    check_error(
        excinfo,
        "fit_csr() missing 3 required positional arguments: 'row_ptrs', 'num_nodes', and 'dim'",
    )


def test_too_many_positional(entry):
    args = entry.valid_args() + [None]
    p = len(entry.params)
    with pytest.raises(TypeError) as excinfo:
        entry.func(*args)
    check_error(
        excinfo,
        f"{entry.name}() takes from {entry.required} to {p} positional arguments but {p + 1} were given",
    )
    # Counted before keywords are looked at.
    with pytest.raises(TypeError, match="positional arguments but"):
        entry.func(*args, bogus=1)


@pytest.mark.parametrize("bad_name", ["seeds", "Seed", "weight", "\udc80", "undirected\x00"])
def test_unexpected_keyword(entry, bad_name):
    kw = entry.valid_kwargs()
    # Reported before any argument is converted, whatever else is wrong.
    kw[entry.graph_param] = "not a graph"
    kw[bad_name] = 1
    with pytest.raises(TypeError) as excinfo:
        entry.func(**kw)
    check_error(excinfo, f"{entry.name}() got an unexpected keyword argument '{bad_name}'")


def test_adj_list_has_no_weights_keyword():
    kw = FIT_ADJ_LIST.valid_kwargs()
    kw["weights"] = kw.pop("iter_weights")
    with pytest.raises(TypeError) as excinfo:
        FIT_ADJ_LIST.func(**kw)
    check_error(excinfo, "fit_adj_list() got an unexpected keyword argument 'weights'")


@pytest.mark.parametrize("param_index", [0, 1, 2])
def test_multiple_values(entry, param_index):
    args = entry.valid_args()[: entry.required]
    name = entry.params[param_index]
    with pytest.raises(TypeError) as excinfo:
        entry.func(*args, **{name: args[param_index]})
    check_error(excinfo, f"{entry.name}() got multiple values for argument '{name}'")


def test_keyword_errors_are_reported_in_call_order():
    args = FIT_CSR.valid_args()[:6]
    with pytest.raises(TypeError) as excinfo:
        FIT_CSR.func(*args, nope=1, dim=3)
    check_error(excinfo, "fit_csr() got an unexpected keyword argument 'nope'")
    with pytest.raises(TypeError) as excinfo:
        FIT_CSR.func(*args, dim=3, nope=1)
    check_error(excinfo, "fit_csr() got multiple values for argument 'dim'")


def test_every_way_of_passing_arguments_agrees(entry):
    kw = entry.valid_kwargs(seed=7)
    expected = entry.func(**kw)
    all_args = entry.valid_args(seed=7)
    calls = [
        lambda: entry.func(*all_args),
        lambda: entry.func(*all_args[: entry.required], seed=7),
        lambda: entry.func(**dict(reversed(list(kw.items())))),
        lambda: entry.func(*all_args[:2], **{p: a for p, a in zip(entry.params[2:], all_args[2:])}),
    ]
    for call in calls:
        assert np.array_equal(call().view(np.uint32), expected.view(np.uint32))


# ------------------------------------------------------------- conversion


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __index__(self):
        raise ZeroDivisionError("index failed")


class RaisingFloat:
    def __float__(self):
        raise ArithmeticError("float failed")


class RaisingIter(list):
    def __iter__(self):
        raise KeyError("iter failed")


class FailingIterator(list):
    """A sequence whose iteration fails after the first item."""

    def __iter__(self):
        yield 1.0
        raise LookupError("iteration failed")


class BrokenLen(list):
    def __len__(self):
        raise RuntimeError("len failed")


class HugeLen(list):
    def __len__(self):
        return 2**62


class NoteRefused(Exception):
    def add_note(self, note):
        raise RuntimeError("no notes")


class RefusingFloat:
    def __float__(self):
        raise NoteRefused("kept without note")


FakeNumpyBool = type("bool_", (), {"__module__": "numpy"})
FakeNumpyBoolReturningInt = type("bool", (), {"__module__": "numpy", "__bool__": lambda self: 1})

# (parameter, value, exception, message); the note names the parameter.
COMMON_FAILURES = [
    ("dim", -1, OverflowError, NEGATIVE_TO_UNSIGNED),
    ("dim", 2**64, OverflowError, TOO_BIG_FOR_U64),
    ("dim", 2.0, TypeError, "'float' object cannot be interpreted as an integer"),
    ("dim", "3", TypeError, "'str' object cannot be interpreted as an integer"),
    ("dim", None, TypeError, "'NoneType' object cannot be interpreted as an integer"),
    ("dim", RaisingIndex(), ZeroDivisionError, "index failed"),
    ("dim", Index(-2), OverflowError, NEGATIVE_TO_UNSIGNED),
    ("weights", "abc", TypeError, "Can't extract `str` to `Vec`"),
    ("weights", 5, TypeError, "'int' object is not an instance of 'Sequence'"),
    ("weights", {1.0}, TypeError, "'set' object is not an instance of 'Sequence'"),
    ("weights", {1.0: 2.0}, TypeError, "'dict' object is not an instance of 'Sequence'"),
    (
        "weights",
        (x for x in [1.0]),
        TypeError,
        "'generator' object is not an instance of 'Sequence'",
    ),
    ("weights", None, TypeError, "'None' is not an instance of 'Sequence'"),
    ("weights", [1.0, "x"], TypeError, "must be real number, not str"),
    ("weights", [1.0, None], TypeError, "must be real number, not NoneType"),
    ("weights", [RaisingFloat()], ArithmeticError, "float failed"),
    ("weights", RaisingIter([1.0]), KeyError, "'iter failed'"),
    ("weights", FailingIterator([1.0, 2.0]), LookupError, "iteration failed"),
    ("seed", -1, OverflowError, NEGATIVE_TO_UNSIGNED),
    ("seed", 2**64, OverflowError, TOO_BIG_FOR_U64),
    ("seed", 1.5, TypeError, "'float' object cannot be interpreted as an integer"),
    ("undirected", 1, TypeError, "'int' object is not an instance of 'bool'"),
    ("undirected", None, TypeError, "'None' is not an instance of 'bool'"),
    ("undirected", "yes", TypeError, "'str' object is not an instance of 'bool'"),
    ("undirected", np.array([True]), TypeError, "'ndarray' object is not an instance of 'bool'"),
    ("undirected", Index(1), TypeError, "'Index' object is not an instance of 'bool'"),
    (
        "undirected",
        FakeNumpyBool(),
        TypeError,
        "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion",
    ),
    (
        "undirected",
        FakeNumpyBoolReturningInt(),
        TypeError,
        "'int' object is not an instance of 'bool'",
    ),
]


@pytest.mark.parametrize(
    "param, value, exc, message",
    COMMON_FAILURES,
    ids=[f"{c[0]}-{i}" for i, c in enumerate(COMMON_FAILURES)],
)
def test_conversion_failures(entry, param, value, exc, message):
    if param == "weights":
        param = entry.weights_param
    with pytest.raises(exc) as excinfo:
        entry.func(**entry.valid_kwargs(**{param: value}))
    check_error(excinfo, message, f"while processing '{param}'")


GRAPH_FAILURES = [
    (FIT_CSR, "row_ptrs", [0, 1, 3, 3], TypeError, "'list' object is not an instance of 'ndarray'"),
    (FIT_CSR, "row_ptrs", None, TypeError, "'None' is not an instance of 'ndarray'"),
    (
        FIT_CSR,
        "row_ptrs",
        np.array([0, 1, 3, 3], dtype=np.int32),
        TypeError,
        "'ndarray' object is not an instance of 'ndarray'",
    ),
    (
        FIT_CSR,
        "row_ptrs",
        np.array([0, 1, 3, 3], dtype=np.uint64),
        TypeError,
        "'ndarray' object is not an instance of 'ndarray'",
    ),
    (
        FIT_CSR,
        "row_ptrs",
        np.array([0, 1, 3, 3], dtype=">i8"),
        TypeError,
        "'ndarray' object is not an instance of 'ndarray'",
    ),
    (
        FIT_CSR,
        "row_ptrs",
        np.zeros((2, 2), dtype=np.int64),
        TypeError,
        "'ndarray' object is not an instance of 'ndarray'",
    ),
    (FIT_CSR, "row_ptrs", np.int64(0), TypeError, "'int64' object is not an instance of 'ndarray'"),
    (
        FIT_CSR,
        "col_indices",
        np.array([1.0, 0.0, 2.0]),
        TypeError,
        "'ndarray' object is not an instance of 'ndarray'",
    ),
    (
        FIT_CSR,
        "values",
        np.array([1, 2, 0.5], dtype=np.float32),
        TypeError,
        "'ndarray' object is not an instance of 'ndarray'",
    ),
    (
        FIT_CSR,
        "values",
        (1.0, 2.0, 0.5),
        TypeError,
        "'tuple' object is not an instance of 'ndarray'",
    ),
    (FIT_CSR, "num_nodes", -3, OverflowError, NEGATIVE_TO_UNSIGNED),
    (
        FIT_DENSE,
        "adj_matrix",
        np.zeros((3, 3), dtype=np.float32),
        TypeError,
        "'ndarray' object is not an instance of 'ndarray'",
    ),
    (
        FIT_DENSE,
        "adj_matrix",
        [[0.0, 1.0], [1.0, 0.0]],
        TypeError,
        "'list' object is not an instance of 'ndarray'",
    ),
    (
        FIT_DENSE,
        "adj_matrix",
        np.zeros(3),
        TypeError,
        "'ndarray' object is not an instance of 'ndarray'",
    ),
    (
        FIT_DENSE,
        "adj_matrix",
        np.zeros((3, 3, 1)),
        TypeError,
        "'ndarray' object is not an instance of 'ndarray'",
    ),
    (FIT_DENSE, "adj_matrix", None, TypeError, "'None' is not an instance of 'ndarray'"),
]


@pytest.mark.parametrize(
    "entry, param, value, exc, message",
    GRAPH_FAILURES,
    ids=[f"{c[0].name}-{c[1]}-{i}" for i, c in enumerate(GRAPH_FAILURES)],
)
def test_array_conversion_failures(entry, param, value, exc, message):
    with pytest.raises(exc) as excinfo:
        entry.func(**entry.valid_kwargs(**{param: value}))
    check_error(excinfo, message, f"while processing '{param}'")


def test_conversion_stops_at_first_failure(entry):
    kw = entry.valid_kwargs(dim=-1, undirected=1)
    kw[entry.weights_param] = "abc"
    with pytest.raises(OverflowError) as excinfo:
        entry.func(**kw)
    check_error(excinfo, NEGATIVE_TO_UNSIGNED, "while processing 'dim'")


def test_csr_conversion_stops_at_row_ptrs():
    kw = FIT_CSR.valid_kwargs(row_ptrs=[0, 1], weights="abc")
    with pytest.raises(TypeError) as excinfo:
        FIT_CSR.func(**kw)
    check_error(
        excinfo, "'list' object is not an instance of 'ndarray'", "while processing 'row_ptrs'"
    )


def test_failing_add_note_leaves_exception_unchanged(entry):
    kw = entry.valid_kwargs()
    kw[entry.weights_param] = [RefusingFloat()]
    with pytest.raises(NoteRefused) as excinfo:
        entry.func(**kw)
    check_error(excinfo, "kept without note")


class SubclassOfInt(int):
    def __index__(self):  # never consulted for an int subclass
        raise AssertionError


WEIGHT_SEQUENCES = [
    [1.0, 0.5],
    (1, 0.5),
    np.array([1.0, 0.5]),
    np.array([1, 0], dtype=np.int32) + np.array([0.0, 0.5]),
    collections.UserList([1.0, 0.5]),
    BrokenLen([1.0, 0.5]),
    HugeLen([1.0, 0.5]),
    [np.float32(1.0), Index(0) and 0.5],
]


@pytest.mark.parametrize("weights", WEIGHT_SEQUENCES, ids=lambda w: type(w).__name__)
def test_accepted_weight_sequences(entry, weights):
    expected = entry.func(**entry.valid_kwargs(seed=3, weights=[1.0, 0.5]))
    kw = entry.valid_kwargs(seed=3)
    kw[entry.weights_param] = weights
    assert np.array_equal(entry.func(**kw).view(np.uint32), expected.view(np.uint32))


def test_range_weights(entry):
    kw = entry.valid_kwargs(seed=3)
    kw[entry.weights_param] = range(3)
    expected = entry.func(**entry.valid_kwargs(seed=3, weights=[0.0, 1.0, 2.0]))
    assert np.array_equal(entry.func(**kw), expected)


@pytest.mark.parametrize(
    "value, expected",
    [(True, 1), (SubclassOfInt(2), 2), (Index(3), 3), (np.uint8(2), 2), (np.int64(3), 3)],
    ids=["bool", "int-subclass", "__index__", "np.uint8", "np.int64"],
)
def test_integer_conversion(entry, value, expected):
    assert entry.func(**entry.valid_kwargs(dim=value)).shape == (3, expected)


@pytest.mark.parametrize("seed", [0, 2**64 - 1, Index(5), True])
def test_seed_values_are_present_seeds(entry, seed):
    first = entry.func(**entry.valid_kwargs(seed=seed, dim=32))
    second = entry.func(**entry.valid_kwargs(seed=seed, dim=32))
    assert np.array_equal(first.view(np.uint32), second.view(np.uint32))


def test_seed_none_is_absent(entry):
    # Unseeded runs draw a fresh base seed each time.
    kw = entry.valid_kwargs(dim=64, weights=[1.0])
    draws = [entry.func(**kw, seed=None).tobytes() for _ in range(2)] + [
        entry.func(**kw).tobytes() for _ in range(2)
    ]
    assert len(set(draws)) == 4
    # Seed 0 is a seed like any other.
    assert entry.func(**kw, seed=0).tobytes() == entry.func(**kw, seed=0).tobytes()


@pytest.mark.parametrize("flag", [np.True_, np.False_, np.bool_(1)])
def test_numpy_bool_is_accepted(entry, flag):
    kw = entry.valid_kwargs(seed=11)
    assert np.array_equal(
        entry.func(**kw, undirected=flag), entry.func(**kw, undirected=bool(flag))
    )


def test_undirected_changes_the_result(entry):
    kw = entry.valid_kwargs(seed=11, weights=[0.0, 1.0])
    assert not np.array_equal(entry.func(**kw), entry.func(**kw, undirected=False))
    assert np.array_equal(entry.func(**kw), entry.func(**kw, undirected=True))


def test_weights_mutated_during_conversion(entry):
    # Converting an item empties the list being read: the iteration sees the
    # change, nothing is read from freed memory.
    weights = []

    class Clearing:
        def __float__(self):
            weights.clear()
            return 2.0

    weights.extend([1.0, Clearing(), 3.0, 4.0])
    kw = entry.valid_kwargs(seed=1)
    kw[entry.weights_param] = weights
    got = entry.func(**kw)
    assert np.array_equal(got, entry.func(**entry.valid_kwargs(seed=1, weights=[1.0, 2.0])))
