"""Quickstart: embed a small friendship graph and look at the result.

Run with:  python examples/quickstart.py
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

import velmar


def most_similar(vectors: npt.NDArray[np.float32], row: int) -> int:
    """The row whose vector has the largest cosine similarity with ``row``."""
    unit = vectors / np.maximum(np.linalg.norm(vectors, axis=1, keepdims=True), 1e-12)
    similarity = unit @ unit[row]
    similarity[row] = -np.inf
    return int(np.argmax(similarity))


def main() -> None:
    # Two triangles joined by one edge; node IDs can be any hashable values.
    sources = ["ann", "bob", "cat", "dan", "eve", "fay", "cat"]
    targets = ["bob", "cat", "ann", "eve", "fay", "dan", "dan"]

    # One call: rows follow the sorted node IDs, which return_nodes gives back.
    vectors, nodes = velmar.embed((sources, targets), dim=32, seed=42, return_nodes=True)
    print(f"{vectors.shape[0]} nodes x {vectors.shape[1]} dimensions, dtype {vectors.dtype}")
    for row, node in enumerate(nodes.tolist()):
        print(f"  {node}: closest to {nodes[most_similar(vectors, row)]}")

    # The same edges as a dense adjacency matrix give the same bits.
    index = {node: row for row, node in enumerate(nodes.tolist())}
    adjacency = np.zeros((len(nodes), len(nodes)))
    for s, t in zip(sources, targets):
        adjacency[index[s], index[t]] += 1.0
    assert np.array_equal(velmar.embed(adjacency, dim=32, seed=42), vectors)

    # The scikit-learn style estimator, with unit-length rows.
    model = velmar.VelmarEmbedding(dim=32, random_state=42, normalize="l2")
    unit = model.fit_transform((sources, targets))
    print("row lengths:", np.round(np.linalg.norm(unit, axis=1), 3).tolist())

    # Check the memory a large run would take before starting it.
    size = velmar.estimate_memory(num_nodes=10_000_000, num_edges=100_000_000, dim=128)
    print(f"10M nodes, 100M edges, dim 128: about {size / 2**30:.1f} GiB")


if __name__ == "__main__":
    main()
