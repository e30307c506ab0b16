"""The module surface: initialisation, attributes, exported symbols, the
internal-fault exception, and source rules of the binding."""

import gc
import importlib.machinery
import importlib.util
import inspect
import pathlib
import re
import shutil
import subprocess
import weakref

import numpy as np
import pytest
from conftest import ENTRIES, PYPY, run_python

import _rust_core

BINDING_DIR = pathlib.Path(__file__).resolve().parent.parent / "binding"

SIGNATURES = {
    "fit_dense": "(adj_matrix, dim, weights, seed=None, undirected=True)",
    "fit_csr": "(row_ptrs, col_indices, values, num_nodes, dim, weights, seed=None, undirected=True)",
    "fit_adj_list": "(adj_list, dim, iter_weights, seed=None, undirected=True)",
}


def test_module_attributes():
    assert _rust_core.__all__ == ["fit_dense", "fit_csr", "fit_adj_list"]
    assert _rust_core.__doc__ == ""
    public = {name for name in vars(_rust_core) if not name.startswith("__")}
    assert public == {"fit_dense", "fit_csr", "fit_adj_list"}


@pytest.mark.parametrize("entry", ENTRIES, ids=lambda e: e.name)
def test_function_objects(entry):
    f = entry.func
    assert type(f).__name__ == "builtin_function_or_method"
    assert f.__name__ == entry.name
    assert f.__module__ == "_rust_core"
    assert f.__text_signature__ == SIGNATURES[entry.name]
    assert f.__doc__ is None  # the docstring holds only the signature
    # METH_STATIC: the function does not expose the module as its self
    # (PyPy's built-in functions have no __self__ at all).
    assert getattr(f, "__self__", None) is None
    sig = inspect.signature(f)
    assert tuple(sig.parameters) == entry.params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    defaults = {n: p.default for n, p in sig.parameters.items() if p.default is not p.empty}
    assert defaults == {"seed": None, "undirected": True}


def test_exec_uses_the_name_the_module_is_loaded_under():
    # Multi-phase init: the same shared object loaded as another module
    # gets fresh function objects whose __module__ is that module's name.
    path = _rust_core.__file__
    loader = importlib.machinery.ExtensionFileLoader("other_pkg._rust_core", path)
    spec = importlib.util.spec_from_file_location("other_pkg._rust_core", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    assert module is not _rust_core
    assert module.__all__ == ["fit_dense", "fit_csr", "fit_adj_list"]
    assert module.fit_csr is not _rust_core.fit_csr
    assert {f.__module__ for f in (module.fit_dense, module.fit_csr, module.fit_adj_list)} == {
        "other_pkg._rust_core"
    }
    out = module.fit_adj_list([[(1, 1.0)], [(0, 1.0)]], 3, [1.0], seed=5)
    assert np.array_equal(out, _rust_core.fit_adj_list([[(1, 1.0)], [(0, 1.0)]], 3, [1.0], seed=5))


def load_again(name="_rust_core"):
    """A second module object of the extension, made from its spec."""
    path = _rust_core.__file__
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    spec = importlib.util.spec_from_file_location(name, path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.skipif(PYPY, reason="PyPy keeps an extension module alive past its last reference")
def test_module_instances_keep_their_own_objects():
    # CPython calls the static entry points without their module; they find
    # the newest live instance of the interpreter. Instances come and go:
    # the first one must keep working once the others have died, with its
    # own result owner type.
    adj = [[(1, 1.0)], [(0, 1.0)]]
    owner_types = []
    for _ in range(3):
        other = load_again()
        owner_types.append(type(other.fit_adj_list(adj, 3, [1.0], seed=5).base))
        gone = weakref.ref(other)
        del other
        gc.collect()
        assert gone() is None
    out = _rust_core.fit_adj_list(adj, 3, [1.0], seed=5)
    assert type(out.base).__qualname__ == "PySliceContainer"
    assert all(t is not type(out.base) for t in owner_types)
    assert len(set(owner_types)) == 3


FAULT_IN_INTERPRETER = """
import sys, types
fake = types.ModuleType("numpy"); fake.__version__ = "2.0.0"; fake.__path__ = []
core = types.ModuleType("numpy._core"); core.__path__ = []
sys.modules.update({"numpy": fake, "numpy._core": core,
                    "numpy._core.multiarray": types.ModuleType("numpy._core.multiarray")})
import _rust_core
try:
    _rust_core.fit_adj_list([], 2, [1.0])
except BaseException as e:
    panic = type(e)
"""


def test_each_interpreter_has_its_own_fault_exception():
    # NumPy loads in one interpreter per process only, so the internal fault
    # of a missing NumPy API serves in both: each interpreter's module makes
    # its own PanicException.
    report = "import os; os.write(FD, repr((id(panic), panic.__qualname__, panic.__base__.__name__)).encode())"
    proc = run_python(
        f"""
        import os
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("skip: no _xxsubinterpreters")
            raise SystemExit(0)
        exec({FAULT_IN_INTERPRETER!r})
        try:
            sub = interpreters.create(isolated=False)
        except TypeError:
            sub = interpreters.create()
        r, w = os.pipe()
        interpreters.run_string(sub, {FAULT_IN_INTERPRETER!r} + {report!r}.replace("FD", str(w)))
        os.close(w)
        there, name, base = eval(os.read(r, 200))
        print(there != id(panic), name, base, panic.__qualname__)
        """
    )
    if proc.stdout.startswith("skip"):
        pytest.skip(proc.stdout.strip())
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["True", "PanicException", "BaseException", "PanicException"]


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not installed")
def test_only_init_function_is_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", _rust_core.__file__],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit__rust_core"]


def test_result_shape_beyond_numpy_is_a_value_error():
    # No rows and a dim whose row stride in bytes exceeds NumPy's index range:
    # the engine accepts it, NumPy cannot represent it.
    with pytest.raises(ValueError, match="^Shape mismatch: Capacity overflow$"):
        _rust_core.fit_csr(
            np.array([0], dtype=np.int64),
            np.array([], dtype=np.int64),
            np.array([], dtype=np.float64),
            0,
            2**61,
            [1.0],
        )


def test_missing_numpy_api_is_an_internal_fault():
    # A stand-in numpy whose multiarray module has no API capsule; the module
    # only looks for it when a call first needs NumPy.
    proc = run_python(
        """
        import sys, types
        fake = types.ModuleType("numpy"); fake.__version__ = "2.0.0"; fake.__path__ = []
        core = types.ModuleType("numpy._core"); core.__path__ = []
        sys.modules.update({"numpy": fake, "numpy._core": core,
                            "numpy._core.multiarray": types.ModuleType("numpy._core.multiarray")})
        import _rust_core
        try:
            _rust_core.fit_adj_list([], 2, [1.0])
        except BaseException as e:
            print(type(e).__name__, type(e).__bases__[0].__name__)
            print(e)
            print(isinstance(e, Exception), bool(type(e).__doc__))
            # The class is created once per process.
            try:
                _rust_core.fit_adj_list([], 2, [1.0])
            except BaseException as again:
                print(type(again) is type(e))
        """
    )
    lines = proc.stdout.splitlines()
    assert lines[0] == "PanicException BaseException"
    assert lines[2:] == ["False True", "True"]
    assert lines[1].startswith("Failed to access NumPy array API capsule")
    assert "Failed to access NumPy array API capsule" in proc.stderr


# A variable holding a Python object (PyObject*, PyTypeObject*, PyRef, plain or
# atomic) at namespace scope, which starts in column 0 here, or static or
# thread_local anywhere: it would be shared by module instances and
# interpreters, and outlive them.
_OBJECT_VARIABLE = r"(?:std::atomic<\s*)?(?:PyObject\s*\*|PyTypeObject\s*\*|PyRef\s)\s*>?\s*(?:const\s+)?\w+\s*[=;\[{]"
GLOBAL_OBJECT = (
    rf"^(?:(?:extern|inline|const|constinit)\s+)*{_OBJECT_VARIABLE}"
    rf"|\b(?:static|thread_local)\s+(?:(?:inline|const|constinit)\s+)*{_OBJECT_VARIABLE}"
)

LINT_RULES = [
    (r"Py_BEGIN_ALLOW_THREADS|Py_END_ALLOW_THREADS", "release the GIL with without_gil"),
    (r"PyModule_AddObject\(", "PyModule_AddObject steals only on success"),
    (r"PyArg_Parse", "arguments go through parse_args"),
    (r"\bPy_(X)?DECREF\b|\bPy_CLEAR\b|\bPy_SETREF\b", "references are dropped by PyRef"),
    (r"\bPYPY_VERSION\b", "interpreter differences are handled in compat.h"),
    (GLOBAL_OBJECT, "Python objects live in module state"),
]
# The one file where a rule's construct belongs.
LINT_HOME = {
    "references are dropped by PyRef": "py_ref.h",
    "interpreter differences are handled in compat.h": "compat.h",
}


@pytest.mark.parametrize("pattern, why", LINT_RULES, ids=[w for _, w in LINT_RULES])
def test_binding_source_rules(pattern, why):
    offenders = []
    for path in sorted(BINDING_DIR.glob("*.[ch]*")):
        if LINT_HOME.get(why) == path.name:
            continue
        for number, line in enumerate(path.read_text().splitlines(), 1):
            code = line.split("//")[0]
            if re.search(pattern, code):
                offenders.append(f"{path.name}:{number}: {line.strip()}")
    assert not offenders, why


@pytest.mark.parametrize(
    "line, flagged",
    [
        ("PyObject* name_qualname = nullptr;", True),
        ("PyTypeObject* slice_container_type = nullptr;", True),
        ("static PyObject* cache;", True),
        ("  static PyTypeObject* type = nullptr;", True),
        ("std::atomic<PyObject*> latest{nullptr};", True),
        ("PyRef kept;", True),
        ("  thread_local PyObject* last = nullptr;", True),
        ("PyObject* wrap_result(GlueState& glue, DenseMatrix matrix);", False),
        ("PyRef entry_module(PyObject* self);", False),
        ("  static PyRef steal(PyObject* o) noexcept {", False),
        ("  PyObject* type = panic_exception(st);", False),
        ("  PyObject* panic_exception;", False),
    ],
)
def test_global_object_rule(line, flagged):
    assert bool(re.search(GLOBAL_OBJECT, line)) is flagged
