"""Every input form of velmar.embed against _rust_core.fit_csr, bit for bit,
and the node IDs each form gives back."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

import _rust_core
import velmar
from velmar import _convert

DIM = 8
SEED = 7
WEIGHTS = [0.0, 1.0, 1.0]

# (source, target, weight) in stored order: a duplicate edge three times, a
# self-loop, a zero weight, a negative weight; node 5 has no edges.
EDGES = [
    (0, 1, 1.0),
    (1, 2, 2.0),
    (2, 0, 0.5),
    (0, 1, 3.0),
    (3, 3, 1.5),
    (2, 3, 0.0),
    (4, 0, -1.0),
    (0, 1, 0.25),
    (1, 0, 1.0),
    (3, 4, 4.0),
]
N = 6


def canonical(edges, n):
    """CSR arrays with sorted rows, duplicates summed in stored order."""
    acc: dict = {}
    for i, j, w in edges:
        acc[(i, j)] = acc[(i, j)] + w if (i, j) in acc else w
    keys = sorted(acc)
    row_ptrs = np.zeros(n + 1, dtype=np.int64)
    for i, _ in keys:
        row_ptrs[i + 1] += 1
    row_ptrs = np.cumsum(row_ptrs)
    cols = np.array([j for _, j in keys], dtype=np.int64)
    vals = np.array([acc[k] for k in keys], dtype=np.float64)
    return row_ptrs, cols, vals


def reference(edges, n, *, undirected=True, seed=SEED, dim=DIM, weights=WEIGHTS):
    rp, ci, v = canonical(edges, n)
    return _rust_core.fit_csr(rp, ci, v, n, dim, weights, seed=seed, undirected=undirected)


def assert_bits(a, b):
    assert a.dtype == np.float32 and a.shape == b.shape
    assert np.array_equal(a.view(np.uint32), b.view(np.uint32))


def run(graph, **kw):
    kw.setdefault("seed", SEED)
    return velmar.embed(graph, DIM, WEIGHTS, **kw, method="projection")


@pytest.fixture(params=["whole", "in pieces"])
def pieces(request, monkeypatch):
    """Long columns are converted in pieces (so that Ctrl-C can stop the
    conversion); with tiny pieces, every input here is long, and must give
    what the whole columns give."""
    if request.param == "in pieces":
        monkeypatch.setattr(_convert, "_SORT_PIECE", 2)
        monkeypatch.setattr(_convert, "_PIECE", 3)


def dense_of(edges, n):
    a = np.zeros((n, n))
    for i, j, w in edges:
        a[i, j] += w
    return a


# --- SciPy -----------------------------------------------------------------


def scipy_sparse():
    return pytest.importorskip("scipy.sparse")


def coo_of(edges, n, index_dtype=np.int64, cls="coo_array"):
    s = scipy_sparse()
    rows = np.array([e[0] for e in edges], dtype=index_dtype)
    cols = np.array([e[1] for e in edges], dtype=index_dtype)
    vals = np.array([e[2] for e in edges])
    return getattr(s, cls)((vals, (rows, cols)), shape=(n, n))


@pytest.mark.parametrize("undirected", [True, False])
@pytest.mark.parametrize("cls", ["coo_array", "coo_matrix"])
@pytest.mark.parametrize("index_dtype", [np.int32, np.int64])
def test_coo_keeps_explicit_zeros_and_sums_duplicates_in_stored_order(undirected, cls, index_dtype):
    graph = coo_of(EDGES, N, index_dtype, cls)
    assert_bits(run(graph, undirected=undirected), reference(EDGES, N, undirected=undirected))


def test_duplicate_sum_order_is_the_stored_order():
    # (1e16 + 1) - 1e16 is 0 in float64 but 1e16 - 1e16 + 1 is 1: the order shows.
    edges = [(0, 1, 1e16), (0, 1, 1.0), (0, 1, -1e16), (1, 2, 1.0), (0, 2, 2.0)]
    expected = reference(edges, 3, undirected=False)
    assert_bits(run(coo_of(edges, 3), undirected=False), expected)
    assert_bits(run(tuple(zip(*edges)), undirected=False), expected)
    # The engine, given the same rows unsorted, merges them the same way.
    rp = np.array([0, 4, 5, 5], dtype=np.int64)
    ci = np.array([1, 1, 2, 1, 2], dtype=np.int64)
    v = np.array([1e16, 1.0, 2.0, -1e16, 1.0])
    raw = _rust_core.fit_csr(rp, ci, v, 3, DIM, WEIGHTS, seed=SEED, undirected=False)
    edges_in_row_order = [(0, 1, 1e16), (0, 1, 1.0), (0, 2, 2.0), (0, 1, -1e16), (1, 2, 1.0)]
    assert_bits(raw, reference(edges_in_row_order, 3, undirected=False))


@pytest.mark.parametrize(
    "fmt", ["csr_array", "csr_matrix", "csc_array", "csc_matrix", "lil_array", "dok_array"]
)
@pytest.mark.parametrize("undirected", [True, False])
def test_sparse_formats(fmt, undirected, pieces):
    graph = coo_of(EDGES, N).tocsr()  # duplicates summed, explicit zero kept
    converted = getattr(scipy_sparse(), fmt)(graph)
    assert_bits(run(converted, undirected=undirected), reference(EDGES, N, undirected=undirected))


@pytest.mark.parametrize("fmt", ["bsr_array", "dia_array"])
def test_padded_formats_keep_only_nonzero_entries(fmt):
    nonzero = [e for e in EDGES if e[2] != 0.0]
    graph = getattr(scipy_sparse(), fmt)(dense_of(EDGES, N))
    assert_bits(run(graph, undirected=False), reference(nonzero, N, undirected=False))


def test_csr_with_unsorted_rows_and_duplicates():
    s = scipy_sparse()
    rp, ci, v = np.array([0, 3, 4, 4]), np.array([2, 0, 2, 1]), np.array([1.0, 2.0, 3.0, 4.0])
    graph = s.csr_array((v, ci, rp), shape=(3, 3))
    edges = [(0, 2, 1.0), (0, 0, 2.0), (0, 2, 3.0), (1, 1, 4.0)]
    assert_bits(run(graph, undirected=False), reference(edges, 3, undirected=False))


def test_canonical_csr_is_handed_over_without_copies():
    from velmar import _convert

    scipy_sparse()
    graph = coo_of(EDGES, N).tocsr()
    graph.indptr = graph.indptr.astype(np.int64)
    graph.indices = graph.indices.astype(np.int64)
    converted = _convert.from_scipy(graph)
    assert np.shares_memory(converted.rows, graph.indptr)
    assert np.shares_memory(converted.cols, graph.indices)
    assert np.shares_memory(converted.values, graph.data)


@pytest.mark.parametrize("shape", [(2, 3), (4,)])
def test_non_square_sparse_is_rejected(shape):
    s = scipy_sparse()
    with pytest.raises(ValueError, match="square"):
        velmar.embed(s.coo_array(np.ones(shape)), method="projection")


# Checked before any SciPy routine reads them (an index pointer beyond the
# indices made SciPy's conversions read out of bounds and crash).
@pytest.mark.parametrize(
    "fmt, field, at, value, message",
    [
        ("coo", "row", 0, N, None),
        ("coo", "col", 3, -1, None),
        ("csr", "indices", 0, N + 1, None),  # row 0 holds one entry: handed to the engine as is
        ("csr", "indices", 1, N, None),  # row 1 holds two: unsorted now, so velmar sorts it
        ("csc", "indptr", 2, 10**9, "indptr must start at 0 and never decrease"),
        ("csc", "indptr", -1, 10**9, "indptr ends at 1000000000, beyond its 8 indices"),
        ("csc", "indices", 2, N, None),
        ("bsr", "indptr", 2, 10**9, "indptr must start at 0"),
        ("lil", "rows", 1, [N], "row 1 has column indices out of range"),
    ],
)
def test_corrupt_sparse_matrix_is_rejected(fmt, field, at, value, message):
    graph = coo_of(EDGES, N).asformat(fmt)
    getattr(graph, field)[at] = value
    with pytest.raises(ValueError, match=message or f"{value} is out of (range|bounds)"):
        velmar.embed(graph, method="projection")


def test_skew_symmetric_graph_warns_when_symmetrization_empties_it():
    skew = np.array([[0.0, 1.0, -2.0], [-1.0, 0.0, 0.0], [2.0, 0.0, 0.0]])
    with pytest.warns(RuntimeWarning, match="cancels in A"):
        assert not run(skew)[:, :].any()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        run(skew, undirected=False)
        run(skew + np.eye(3))  # the diagonal doubles: something is left


# --- dense -------------------------------------------------------------------


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int32, bool])
def test_dense(dtype, pieces):
    edges = [(0, 1, 1.0), (1, 2, 1.0), (2, 2, 1.0), (3, 0, 1.0)]
    matrix = dense_of(edges, 4).astype(dtype)
    assert_bits(run(matrix), reference(edges, 4))
    assert_bits(run(np.asfortranarray(matrix)), reference(edges, 4))


def test_dense_nan_is_an_edge_and_negative_zero_is_not():
    matrix = np.array([[0.0, -0.0, np.nan], [1.0, 0.0, 0.0], [0.0, 2.0, 0.0]])
    edges = [(0, 2, np.nan), (1, 0, 1.0), (2, 1, 2.0)]
    assert_bits(run(matrix, undirected=False), reference(edges, 3, undirected=False))


@pytest.mark.parametrize(
    "matrix, error",
    [
        (np.zeros((2, 3)), ValueError),
        (np.zeros((2, 2), dtype=complex), TypeError),
        (np.array([["a", "b"], ["c", "d"]]), TypeError),
    ],
)
def test_dense_rejects(matrix, error):
    with pytest.raises(error):
        velmar.embed(matrix, method="projection")


# --- networkx ----------------------------------------------------------------


def nx_module():
    return pytest.importorskip("networkx")


def test_undirected_networkx_graph_is_its_symmetric_adjacency():
    nx = nx_module()
    g = nx.Graph()
    g.add_nodes_from(["z", "a", "m", "q"])  # insertion order, not sorted
    g.add_weighted_edges_from([("z", "a", 2.0), ("a", "m", 0.5), ("m", "m", 3.0)])
    order = {"z": 0, "a": 1, "m": 2, "q": 3}
    edges = []
    for u, v, w in g.edges(data="weight"):
        edges.append((order[u], order[v], w))
        if u != v:
            edges.append((order[v], order[u], w))
    expected = reference(edges, 4, undirected=False)
    for undirected in (True, False):
        emb, nodes = velmar.embed(
            g,
            DIM,
            WEIGHTS,
            seed=SEED,
            undirected=undirected,
            return_nodes=True,
            method="projection",
        )
        assert_bits(emb, expected)
        assert list(nodes) == ["z", "a", "m", "q"]
    scipy_sparse()  # the same graph through SciPy's sparse matrix
    adjacency = nx.to_scipy_sparse_array(g, nodelist=list(g))
    assert_bits(run(adjacency, undirected=False), expected)


@pytest.mark.parametrize("undirected", [True, False])
def test_directed_multigraph_sums_parallel_edges_and_selects_the_attribute(undirected):
    nx = nx_module()
    g = nx.MultiDiGraph()
    g.add_nodes_from(range(N))
    for i, j, w in EDGES:
        g.add_edge(i, j, cost=w, weight=99.0)
    assert_bits(
        run(g, weight="cost", undirected=undirected), reference(EDGES, N, undirected=undirected)
    )
    unweighted = [(i, j, 1.0) for i, j, _ in EDGES]
    assert_bits(
        run(g, weight=None, undirected=undirected), reference(unweighted, N, undirected=undirected)
    )


def test_networkx_tuple_nodes_come_back_unchanged():
    nx = nx_module()
    g = nx.grid_2d_graph(2, 3)
    _, nodes = velmar.embed(g, 4, seed=1, return_nodes=True, method="projection")
    assert nodes.dtype == object and list(nodes) == list(g.nodes)


def test_networkx_non_numeric_weight():
    nx = nx_module()
    g = nx.Graph()
    g.add_edge(0, 1, weight="heavy")
    with pytest.raises(ValueError, match="non-numeric 'weight'"):
        velmar.embed(g, method="projection")


# --- edge lists and DataFrames ---------------------------------------------------


@pytest.mark.parametrize("undirected", [True, False])
def test_edge_columns_rows_and_dataframes_agree(undirected):
    src, dst, w = (list(c) for c in zip(*EDGES))
    expected = reference(EDGES, N - 1, undirected=undirected)  # node 5 has no edge
    assert_bits(run((src, dst, w), undirected=undirected), expected)
    assert_bits(run((np.array(src), np.array(dst), np.array(w)), undirected=undirected), expected)
    assert_bits(run(list(EDGES), undirected=undirected), expected)
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"source": src, "target": dst, "weight": w})
    assert_bits(run(frame, undirected=undirected), expected)
    renamed = frame.rename(columns={"source": "a", "target": "b", "weight": "c"})
    assert_bits(run(renamed, source="a", target="b", weight="c", undirected=undirected), expected)


def test_unweighted_edges_have_weight_one():
    edges = [(0, 1), (1, 2), (2, 0), (0, 1)]
    expected = reference([(i, j, 1.0) for i, j in edges], 3)
    assert_bits(run(edges), expected)
    assert_bits(run(tuple(zip(*edges))), expected)
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(edges, columns=["source", "target"])
    assert_bits(run(frame), expected)
    frame["weight"] = 5.0
    assert_bits(run(frame, weight=None), expected)


@pytest.mark.parametrize(
    "sources, targets, nodes",
    [
        ([10, 30, 20], [30, 20, 10], [10, 20, 30]),  # sorted integers
        (["b", "c", "a"], ["c", "a", "b"], ["a", "b", "c"]),  # sorted strings
        ([2, 0, 1], [0, 1, 2], [0, 1, 2]),  # 0..n-1 keep their numbers
        (["x", 2, "x"], [2, 1.5, "y"], ["x", 2, 1.5, "y"]),  # no order: first appearance
        # Narrow integers whose differences overflow their type (numbered through
        # a table of their range when in pieces).
        (
            np.arange(-100, 101, dtype=np.int8),
            np.roll(np.arange(-100, 101, dtype=np.int8), 1),
            list(range(-100, 101)),
        ),
        (
            np.array([2**64 - 1, 3], np.uint64),
            np.array([3, 2**64 - 2], np.uint64),
            [3, 2**64 - 2, 2**64 - 1],
        ),
    ],
)
def test_row_order_of_node_ids(sources, targets, nodes, pieces):
    emb, got = velmar.embed(
        (sources, targets), DIM, seed=SEED, return_nodes=True, method="projection"
    )
    assert list(got) == nodes
    row = {node: k for k, node in enumerate(nodes)}
    edges = [(row[s], row[t], 1.0) for s, t in zip(sources, targets)]
    assert_bits(emb, reference(edges, len(nodes)))


def test_explicit_nodes_set_the_order_and_add_isolated_nodes():
    sources, targets = ["a", "b"], ["b", "c"]
    nodes = ["c", "lonely", "b", "a"]
    emb, got = velmar.embed(
        (sources, targets),
        DIM,
        seed=SEED,
        nodes=nodes,
        return_nodes=True,
        normalize="l2",
        method="projection",
    )
    assert list(got) == nodes
    assert not emb[1].any()  # isolated: zero, not NaN
    raw = reference([(3, 2, 1.0), (2, 0, 1.0)], 4)
    np.testing.assert_allclose(np.linalg.norm(emb[[0, 2, 3]], axis=1), 1.0, rtol=1e-6)
    np.testing.assert_allclose(
        emb[3], raw[3] / np.linalg.norm(raw[3].astype(np.float64)), rtol=1e-6
    )


@pytest.mark.parametrize(
    "graph, kwargs, error, message",
    [
        ((["a"], ["b"]), {"nodes": ["a"]}, ValueError, "'b', which is not in nodes"),
        ((["a"], ["b"]), {"nodes": ["a", "b", "a"]}, ValueError, "more than once"),
        (([1], [2]), {"nodes": [1, 2, 1]}, ValueError, "more than once"),
        (([1, 2], [2]), {}, ValueError, "1 targets"),
        (([1.0, np.nan], [2.0, 1.0]), {}, ValueError, "NaN"),
        (([None], [1]), {}, ValueError, "None"),
        (([1], [2], ["x"]), {}, ValueError, "not a number"),
        (([1], [2], [1.0, 2.0]), {}, ValueError, "one number per edge"),
        ((1, 2, 3, 4), {}, ValueError, "edge columns"),
        ([(1, 2, 3, 4)], {}, ValueError, "a list is read as edges"),
        ([(1, 2), (1, 2, 3.0)], {}, ValueError, "edge 1 has 3 items"),
        ("a b", {}, TypeError, "cannot embed a str"),
        (np.eye(2), {"nodes": [0, 1]}, TypeError, "nodes="),
        ((["a"], ["b"]), {"source": "s"}, TypeError, "source="),
    ],
)
def test_bad_edge_input(graph, kwargs, error, message):
    with pytest.raises(error, match=message):
        velmar.embed(graph, 4, **kwargs, method="projection")


def test_dataframe_errors():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"source": [1, None], "target": [2, 3]})
    with pytest.raises(ValueError, match="'source' has 1 missing"):
        velmar.embed(frame, method="projection")
    with pytest.raises(ValueError, match="no target column 'dst'"):
        velmar.embed(frame, target="dst", method="projection")
    with pytest.raises(ValueError, match="no weight column 'w'"):
        velmar.embed(frame.fillna(0), weight="w", method="projection")
    twice = pd.DataFrame([[0, 1, 2]], columns=["source", "source", "target"])
    with pytest.raises(ValueError, match="2 columns named 'source'"):
        velmar.embed(twice, method="projection")


def test_empty_edge_list_gives_no_rows():
    emb, nodes = velmar.embed(([], []), 4, return_nodes=True, method="projection")
    assert emb.shape == (0, 4) and nodes.shape == (0,)


# --- node IDs of every kind through every path ------------------------------------

BIG = 2**63
# Each kind: edges (u, v, w) over IDs that NumPy or a sort would mangle, and
# the dtype kind of the returned IDs.
ID_KINDS = {
    "ints": ([(5, 2, 1.0), (2, 9, 2.0), (9, 5, 0.5), (7, 2, 1.5), (2, 5, 1.0)], "i"),
    "floats": ([(0.5, -1.5, 1.0), (2.25, 0.5, 2.0), (-1.5, 8.0, 0.5), (0.5, 8.0, 1.0)], "f"),
    "strings": ([("b", "a", 1.0), ("c", "b", 2.0), ("a", "d", 0.5), ("d", "b", 1.0)], "U"),
    "ints beyond int64": (
        [(2**62 + 1, BIG + 10, 1.0), (2**62 + 3, BIG + 11, 2.0), (BIG + 10, 7, 0.5)],
        "u",
    ),
    "negative and huge ints": ([(-1, 2**64 + 5, 1.0), (2**64 + 5, 3, 2.0)], "O"),
    "mixed tuples and strings": (
        [("root", ("user", 5), 1.0), (("a", 1, 2), "root", 2.0), ("b", ("a",), 3.0)],
        "O",
    ),
    "frozensets": (
        [
            (frozenset({1}), frozenset({2}), 1.0),
            (frozenset({2}), frozenset({1, 2}), 2.0),
            (frozenset({1, 2}), frozenset({1}), 0.5),
        ],
        "O",
    ),
}
PATHS = ["rows", "columns", "object arrays", "nodes=", "DataFrame", "networkx"]


def through(path, edges):
    """(graph, kwargs) that present ``edges`` on one input path."""
    src, dst, w = (list(c) for c in zip(*edges))
    if path == "rows":
        return list(edges), {}
    if path == "columns":
        return (src, dst, w), {}
    if path == "object arrays":
        cols = [np.empty(len(edges), dtype=object) for _ in range(2)]
        cols[0][:], cols[1][:] = src, dst
        return (cols[0], cols[1], np.array(w)), {}
    if path == "nodes=":
        return (src, dst, w), {"nodes": list(dict.fromkeys(dst + src))[::-1]}
    if path == "DataFrame":
        pd = pytest.importorskip("pandas")
        frame = pd.DataFrame({"source": pd.Series(src, dtype=object), "target": dst, "weight": w})
        return frame, {}
    g = nx_module().DiGraph()
    g.add_weighted_edges_from(edges)
    return g, {}


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("kind", sorted(ID_KINDS))
def test_every_id_comes_back_once_with_its_own_row(kind, path, pieces):
    edges, dtype_kind = ID_KINDS[kind]
    graph, kwargs = through(path, edges)
    emb, nodes = run(graph, undirected=False, return_nodes=True, **kwargs)
    ids = nodes.tolist()
    given = list(dict.fromkeys(x for e in edges for x in e[:2]))  # first appearance
    assert nodes.dtype.kind == dtype_kind
    assert len(ids) == len(given) and all(type(x) is type(given[given.index(x)]) for x in ids)
    if "nodes" in kwargs:
        assert ids == kwargs["nodes"]
    elif path == "networkx":
        assert ids == list(graph.nodes)
    elif dtype_kind != "O" or kind == "negative and huge ints":
        assert ids == sorted(given)
    else:  # no total order: first appearance, each source before its target
        assert ids == given
    row = {x: k for k, x in enumerate(ids)}
    mapped = [(row[u], row[v], w) for u, v, w in edges]
    assert_bits(emb, reference(mapped, len(ids), undirected=False))


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("missing", ["None", "NaN", "pandas NA", "pandas NaT", "NumPy NaT"])
def test_missing_values_are_not_node_ids(missing, path):
    if missing.startswith("pandas"):
        value = getattr(pytest.importorskip("pandas"), missing.split()[1])
    else:
        value = {"None": None, "NaN": float("nan"), "NumPy NaT": np.datetime64("NaT")}[missing]
    if path == "networkx" and value is None:
        pytest.skip("networkx itself refuses None as a node")
    graph, kwargs = through(path, [("a", "b", 1.0), (value, "a", 2.0)])
    with pytest.raises(ValueError, match="missing value"):
        run(graph, **kwargs)


@pytest.mark.parametrize("path", PATHS)
def test_nan_weights_are_kept_on_every_path(path):
    edges = [(0, 1, float("nan")), (1, 2, 1.0), (2, 3, -2.0), (3, 2, 0.5)]
    graph, kwargs = through(path, edges)
    emb, nodes = run(graph, undirected=False, return_nodes=True, **kwargs)
    assert np.isnan(emb[list(nodes).index(0)]).all() and not np.isnan(emb).all()
    row = {x: k for k, x in enumerate(nodes.tolist())}
    assert_bits(emb, reference([(row[u], row[v], w) for u, v, w in edges], 4, undirected=False))
