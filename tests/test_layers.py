"""The package's modules form layers: each imports only from layers below it,
at the top of the module, so that no import circle can come back (a
function-level import would only hide one). docs/architecture.md draws the
same picture."""

from __future__ import annotations

import ast
import pathlib

import pytest

PACKAGE = pathlib.Path(__file__).resolve().parent.parent / "python" / "velmar"

# Lowest first. A module may import the modules of any layer below its own.
LAYERS = [
    ["_engine", "_checks", "_memory", "_order", "_karate", "_version"],
    ["_watch", "_features"],
    ["_graph", "_run"],
    ["_plan"],
    ["_convert", "_runner", "_store"],
    ["_io", "_results"],
    ["_stream", "_api"],
    ["_prepared", "_estimator", "_demo"],
    ["_cli"],
    ["__init__", "__main__"],
]
LAYER = {name: level for level, names in enumerate(LAYERS) for name in names}


def package_imports(tree: ast.Module) -> list[tuple[str, int, bool]]:
    """(module, line, at top level) of every import of a package module."""
    top = {id(node) for node in tree.body}
    found = []
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and node.level == 1:
            names = [node.module] if node.module else [a.name for a in node.names]
            found += [(name, node.lineno, id(node) in top) for name in names]
        elif isinstance(node, ast.ImportFrom) and (node.module or "").startswith("velmar"):
            found.append((node.module or "", node.lineno, id(node) in top))
    return found


MODULES = sorted(p.stem for p in PACKAGE.glob("*.py"))


def test_every_module_has_a_layer():
    assert sorted(set(MODULES) - set(LAYER)) == []
    assert sorted(set(LAYER) - set(MODULES) - {"_engine"}) == []


@pytest.mark.parametrize("module", MODULES)
def test_imports_point_down_and_sit_at_the_top(module):
    tree = ast.parse((PACKAGE / f"{module}.py").read_text(encoding="utf-8"))
    for name, line, at_top in package_imports(tree):
        where = f"{module}.py:{line} imports {name}"
        assert at_top, f"{where} inside a function"
        assert name in LAYER, f"{where}, which has no layer"
        assert LAYER[name] < LAYER[module], f"{where} from layer {LAYER[name]} >= {LAYER[module]}"
