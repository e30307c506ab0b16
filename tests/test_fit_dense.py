"""fit_dense: any memory layout of the matrix reads as adj_matrix[i, j];
shape errors and the out-of-memory path of the input copy."""

import numpy as np
import pytest
from conftest import big_allocations_fail, check_error, random_dense, under_address_sanitizer

import _rust_core

fit_dense = _rust_core.fit_dense


def record_field_view(matrix, pad_bytes):
    """`matrix` stored as a field of packed records: byte strides of
    8 + pad_bytes, elements at unaligned addresses when pad_bytes is odd."""
    n, m = matrix.shape
    dtype = np.dtype([("pad", "u1", (pad_bytes,)), ("x", "<f8")], align=False)
    records = np.zeros((n, m), dtype=dtype)
    records["x"] = matrix
    view = records["x"]
    assert view.strides == (m * (8 + pad_bytes), 8 + pad_bytes)
    return view


def byte_offset_view(matrix, row_stride, col_stride):
    """`matrix` laid out in a byte buffer with arbitrary (positive) byte strides."""
    n, m = matrix.shape
    size = (n - 1) * row_stride + (m - 1) * col_stride + 8 + 3
    raw = np.zeros(size, dtype=np.uint8)
    view = np.ndarray(
        (n, m), dtype=np.float64, buffer=raw, offset=3, strides=(row_stride, col_stride)
    )
    view[...] = matrix
    return view


def layouts(matrix):
    n = matrix.shape[0]
    big = np.zeros((2 * n + 1, 2 * n + 1))
    big[1::2, 1::2] = matrix
    flipped = np.ascontiguousarray(matrix[::-1, ::-1])
    return {
        "c-order": np.ascontiguousarray(matrix),
        "fortran-order": np.asfortranarray(matrix),
        "transposed": np.ascontiguousarray(matrix.T).T,
        "stepped": big[1::2, 1::2],
        "reversed-rows": np.ascontiguousarray(matrix[::-1])[::-1],
        "reversed-both": flipped[::-1, ::-1],
        "record-field-12": record_field_view(matrix, 4),
        "record-field-9": record_field_view(matrix, 1),
        "odd-byte-strides": byte_offset_view(matrix, 8 * n + 13, 9),
        "readonly": np.frombuffer(np.ascontiguousarray(matrix).tobytes()).reshape(matrix.shape),
    }


@pytest.mark.parametrize("undirected", [True, False])
@pytest.mark.parametrize(
    "layout",
    list(layouts(np.eye(2))),
)
def test_every_layout_reads_the_same_matrix(layout, undirected):
    matrix = random_dense(9, 0.4, seed=1)
    expected = fit_dense(
        np.ascontiguousarray(matrix), 8, [0.5, 1.0, 0.25], seed=5, undirected=undirected
    )
    view = layouts(matrix)[layout]
    assert np.array_equal(view, matrix)
    before = view.copy()
    got = fit_dense(view, 8, [0.5, 1.0, 0.25], seed=5, undirected=undirected)
    assert np.array_equal(got.view(np.uint32), expected.view(np.uint32))
    assert np.array_equal(view, before)


@pytest.mark.parametrize(
    "make",
    [
        lambda: np.broadcast_to(np.array([[0.0, 1.5, 0.0, 2.0]]), (4, 4)),  # row stride 0
        lambda: np.broadcast_to(np.array([[0.0], [1.5], [0.0], [2.0]]), (4, 4)),  # column stride 0
        lambda: np.broadcast_to(np.float64(0.75), (4, 4)),  # both 0
    ],
    ids=["zero-row-stride", "zero-col-stride", "scalar"],
)
def test_zero_strides(make):
    view = make()
    expected = fit_dense(np.array(view), 4, [0.0, 1.0], seed=3)
    assert np.array_equal(fit_dense(view, 4, [0.0, 1.0], seed=3), expected)


def test_single_row_with_odd_row_stride():
    # For a 1 x n array the row stride is irrelevant and NumPy flags it
    # contiguous whatever it is.
    raw = np.zeros(64, dtype=np.uint8)
    view = np.ndarray((1, 1), dtype=np.float64, buffer=raw, offset=0, strides=(13, 8))
    assert view.flags.c_contiguous and view.flags.f_contiguous
    view[0, 0] = 2.0
    assert np.array_equal(
        fit_dense(view, 3, [0.0, 1.0], seed=3), fit_dense(np.array([[2.0]]), 3, [0.0, 1.0], seed=3)
    )


@pytest.mark.parametrize("shape", [(2, 3), (0, 3), (3, 0), (1, 2)])
def test_non_square(shape):
    with pytest.raises(ValueError) as excinfo:
        fit_dense(np.zeros(shape), 4, [1.0])
    check_error(excinfo, "Shape mismatch: Adjacency matrix must be square")


@pytest.mark.parametrize("dim", [0, 5])
def test_empty_matrix(dim):
    out = fit_dense(np.zeros((0, 0)), dim, [1.0])
    assert out.shape == (0, dim) and out.dtype == np.float32


def test_zeros_and_nan_entries():
    # Elements equal to 0.0 (either sign) are no edge; NaN is one.
    base = np.array([[0.0, 1.0], [1.0, 0.0]])
    neg_zero = base.copy()
    neg_zero[0, 0] = -0.0
    assert np.array_equal(
        fit_dense(neg_zero, 4, [0.0, 1.0], seed=1), fit_dense(base, 4, [0.0, 1.0], seed=1)
    )
    with_nan = base.copy()
    with_nan[0, 0] = np.nan
    out = fit_dense(with_nan, 4, [0.0, 1.0], seed=1, undirected=False)
    assert not np.array_equal(
        out, fit_dense(base, 4, [0.0, 1.0], seed=1, undirected=False), equal_nan=True
    )


@pytest.mark.skipif(not big_allocations_fail(), reason="the kernel would grant 8 TiB")
@pytest.mark.skipif(under_address_sanitizer(), reason="AddressSanitizer aborts on a failed new")
def test_copy_that_cannot_be_allocated_is_an_out_of_memory_value_error():
    # A broadcast view describing 2**40 elements stored in one.
    huge = np.broadcast_to(np.float64(1.0), (2**20, 2**20))
    with pytest.raises(ValueError) as excinfo:
        fit_dense(huge, 4, [1.0])
    check_error(
        excinfo,
        "Out Of Memory (OOM): The system could not allocate enough memory.\n"
        "- Requested Memory: 8388608.00 MB\n"
        "Try reducing the number of nodes or the embedding dimension.\n\n"
        "Raw Error:\n"
        "TryReserveError { kind: AllocError { layout: Layout { size: 8796093022208, "
        "align: 8 (1 << 3) }, non_exhaustive: () } }",
    )
    # The process goes on normally.
    assert fit_dense(np.eye(2), 2, [1.0]).shape == (2, 2)
