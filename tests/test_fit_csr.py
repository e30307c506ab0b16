"""fit_csr: contiguity of the input arrays, what reaches the engine, engine
errors, and the result array."""

import numpy as np
import pytest
from conftest import FIT_CSR, big_allocations_fail, check_error

import _rust_core

CONTIGUITY_MESSAGE = "{} must be contiguous: The given array is not contiguous or is misaligned."


def strided(values, dtype):
    """Every second element of a longer array: the same values, not contiguous."""
    base = np.zeros(2 * len(values), dtype=dtype)
    base[::2] = values
    return base[::2]


def misaligned(values, dtype):
    """The same values at an address that is not a multiple of 8."""
    raw = np.zeros(len(values) * 8 + 1, dtype=np.uint8)
    out = np.frombuffer(raw.data, dtype=dtype, count=len(values), offset=1)
    out[...] = values
    assert not out.flags.aligned and out.flags.c_contiguous
    return out


@pytest.mark.parametrize("make", [strided, misaligned])
@pytest.mark.parametrize("param", ["row_ptrs", "col_indices", "values"])
def test_contiguity_is_required(param, make):
    kw = FIT_CSR.valid_kwargs()
    kw[param] = make(kw[param], kw[param].dtype)
    with pytest.raises(ValueError) as excinfo:
        FIT_CSR.func(**kw)
    check_error(excinfo, CONTIGUITY_MESSAGE.format(param))


def test_contiguity_checked_in_parameter_order():
    kw = FIT_CSR.valid_kwargs()
    kw["values"] = strided(kw["values"], np.float64)
    kw["col_indices"] = strided(kw["col_indices"], np.int64)
    with pytest.raises(ValueError) as excinfo:
        FIT_CSR.func(**kw)
    check_error(excinfo, CONTIGUITY_MESSAGE.format("col_indices"))


def test_layouts_that_pass():
    kw = FIT_CSR.valid_kwargs(seed=2)
    expected = FIT_CSR.func(**kw)

    class Sub(np.ndarray):
        pass

    variants = [
        dict(row_ptrs=np.asfortranarray(kw["row_ptrs"])),
        dict(values=kw["values"].view(Sub)),
        dict(col_indices=kw["col_indices"].astype(np.longlong)),
        dict(values=np.array(kw["values"])[::-1][::-1]),
    ]
    for change in variants:
        assert np.array_equal(FIT_CSR.func(**{**kw, **change}), expected)


def test_empty_arrays_pass_whatever_their_strides():
    empty_i = np.zeros(4, dtype=np.int64)[::2][:0]
    empty_f = np.zeros(3, dtype=np.float64)[::-1][:0]
    out = FIT_CSR.func(np.zeros(3, dtype=np.int64), empty_i, empty_f, 2, 5, [1.0, 1.0], seed=1)
    assert out.shape == (2, 5)


def test_inputs_are_left_unchanged():
    kw = FIT_CSR.valid_kwargs()
    before = {k: v.copy() for k, v in kw.items() if isinstance(v, np.ndarray)}
    FIT_CSR.func(**kw)
    for name, array in before.items():
        assert np.array_equal(kw[name], array)
        assert kw[name].flags.writeable


def _csr(row_ptrs, col_indices, values, num_nodes, **kw):
    return FIT_CSR.func(
        np.array(row_ptrs, dtype=np.int64),
        np.array(col_indices, dtype=np.int64),
        np.array(values, dtype=np.float64),
        num_nodes,
        kw.pop("dim", 4),
        kw.pop("weights", [1.0, 1.0]),
        **kw,
    )


ENGINE_ERRORS = [
    (([1, 2], [0, 0], [1.0, 1.0], 1), "Shape mismatch: row_ptrs[0] must be 0, got 1"),
    (([], [], [], 0), "Shape mismatch: row_ptrs length 0 must be num_nodes + 1 (1)"),
    (
        ([0, 1], [0], [1.0, 2.0], 1),
        "Shape mismatch: col_indices and values must have the same length",
    ),
    (
        ([0, 3, 2], [0, 1], [1.0, 1.0], 2),
        "Shape mismatch: row_ptrs must be monotonically non-decreasing, found 3 followed by 2",
    ),
    (
        ([0, 1, 2], [0, 7], [1.0, 1.0], 2),
        "Shape mismatch: col_indices[1] = 7 is out of bounds for graph with 2 nodes",
    ),
    # A negative index arrives as its two's-complement value.
    (
        ([0, 1, 1, 1], [-1], [1.0], 3),
        "Shape mismatch: col_indices[0] = 18446744073709551615 is out of bounds for graph with 3 nodes",
    ),
    # num_nodes=True is the integer 1.
    (
        ([0, 1], [1], [1.0], True),
        "Shape mismatch: col_indices[0] = 1 is out of bounds for graph with 1 nodes",
    ),
]


@pytest.mark.parametrize("args, message", ENGINE_ERRORS, ids=[m for _, m in ENGINE_ERRORS])
def test_engine_errors(args, message):
    with pytest.raises(ValueError) as excinfo:
        _csr(*args)
    check_error(excinfo, message)  # no note: not an argument conversion


def test_capacity_overflow_reported_by_engine():
    with pytest.raises(ValueError) as excinfo:
        _csr([0, 0, 0], [], [], 2, dim=2**63)
    check_error(excinfo, "Shape mismatch: Capacity overflow")


@pytest.mark.skipif(not big_allocations_fail(), reason="the kernel would grant 8 TiB")
def test_engine_out_of_memory_text():
    with pytest.raises(ValueError) as excinfo:
        _csr([0, 0, 0], [], [], 2, dim=2**40)
    check_error(
        excinfo,
        "Out Of Memory (OOM): The system could not allocate enough memory.\n"
        "- Requested Memory: 8388608.00 MB\n"
        "Try reducing the number of nodes or the embedding dimension.\n"
        "\n"
        "Raw Error:\n"
        "TryReserveError { kind: AllocError { layout: Layout { size: 8796093022208, "
        "align: 4 (1 << 2) }, non_exhaustive: () } }",
    )


@pytest.mark.parametrize("num_nodes, dim", [(3, 0), (0, 7), (0, 0), (4, 1), (1, 300)])
def test_result_array(num_nodes, dim):
    out = _csr([0] * (num_nodes + 1), [], [], num_nodes, dim=dim, seed=0)
    assert out.dtype == np.float32
    assert out.shape == (num_nodes, dim)
    assert out.strides == (4 * dim, 4)
    assert out.flags.c_contiguous and out.flags.writeable and out.flags.aligned
    assert not out.flags.owndata
    assert type(out.base).__name__ == "PySliceContainer"
    out[...] = 1.5  # writeable, and owned by nobody else
    assert np.all(out == 1.5)


def test_each_result_owns_its_buffer():
    a = _csr([0, 0], [], [], 1, dim=8, seed=0)
    b = _csr([0, 0], [], [], 1, dim=8, seed=0)
    assert a.base is not b.base
    assert not np.shares_memory(a, b)
    a[...] = 0
    assert np.any(b != 0)


def test_views_keep_the_buffer_alive():
    out = _csr([0, 1, 2], [1, 0], [1.0, 1.0], 2, dim=16, seed=4)
    expected = out.copy()
    container = out.base
    view = out[1:, ::2]
    del out
    owner = view
    while isinstance(owner, np.ndarray):
        owner = owner.base
    assert owner is container
    assert np.array_equal(view, expected[1:, ::2])
    # The container cannot be made from Python.
    with pytest.raises(TypeError):
        type(container)()


def test_csr_example_values():
    # Two nodes pointing at each other, undirected, weights [0, 1]: each row of
    # H_1 is the symmetrised neighbour's row of H_0 times 2 / 1.
    h0 = _csr([0, 1, 2], [1, 0], [1.0, 1.0], 2, dim=6, weights=[1.0], seed=9)
    h1 = _csr([0, 1, 2], [1, 0], [1.0, 1.0], 2, dim=6, weights=[0.0, 1.0], seed=9)
    assert np.array_equal(h1, 2 * h0[::-1])


def test_module_level_call_matches_builtin():
    assert _rust_core.fit_csr is FIT_CSR.func
