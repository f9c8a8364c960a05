"""The type stubs ship next to the extension modules and match them name for name."""

import ast
import importlib
import inspect
import tomllib
from importlib import metadata
from pathlib import Path

import pytest

import zelk.field

MODULES = [
    "zelk.field.kernels",
    "zelk.field.geometry.base",
    "zelk.field.geometry.point",
    "zelk.field.geometry.linestring",
    "zelk.field.geometry.polygon",
    "zelk.field.geometry.collection",
]
# Runtime-only names the stubs need not declare: the bound modules and the
# pickle reconstructors; of the dunder names only these two are declared.
UNDECLARED = {"np", "kernels"}
DECLARED_DUNDERS = {"__init__", "__test__"}


def stub_of(name):
    module = importlib.import_module(name)
    path = Path(module.__file__).with_name(name.rsplit(".", 1)[1] + ".pyi")
    return module, ast.parse(path.read_text())


def declared(body):
    names = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.setdefault(node.name, []).append(node)
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = [node]
    return names


def runtime_names(namespace):
    return {
        n
        for n in namespace
        if n not in UNDECLARED
        and not n.startswith("__pyx_")
        and (n in DECLARED_DUNDERS or not (n.startswith("__") and n.endswith("__")))
    }


def parameters(fn):
    args = fn.args
    names = [a.arg for a in [*args.posonlyargs, *args.args, *args.kwonlyargs]]
    return [n for n in names if n != "self"] + ([f"**{args.kwarg.arg}"] if args.kwarg else [])


@pytest.mark.parametrize("name", MODULES)
def test_stub_declares_every_runtime_name(name):
    module, tree = stub_of(name)
    top = declared(tree.body)
    assert runtime_names(vars(module)) == set(top)
    for cls_name, (node,) in ((k, v) for k, v in top.items() if isinstance(v[0], ast.ClassDef)):
        cls = getattr(module, cls_name)
        members = declared(node.body)
        # An inherited member put back on the class (as monkeypatch undoes) is not its own.
        own = {n for n, v in vars(cls).items() if not any(vars(b).get(n) is v for b in cls.__mro__[1:])}
        assert runtime_names(own) <= set(members), cls_name
        assert all(hasattr(cls, m) for m in members), cls_name


@pytest.mark.parametrize("name", MODULES)
def test_stub_signatures_and_docs(name):
    module, tree = stub_of(name)
    assert ast.get_docstring(tree).startswith(module.__doc__)
    for node in ast.walk(tree):
        if isinstance(node, ast.ClassDef):
            assert ast.get_docstring(node), node.name
            cls = getattr(module, node.name)
            for member, defs in declared(node.body).items():
                if isinstance(defs[0], ast.FunctionDef):
                    runtime = cls if member == "__init__" else getattr(cls, member)
                    check_function(defs, runtime, f"{node.name}.{member}")
    for member, defs in declared(tree.body).items():
        if isinstance(defs[0], ast.FunctionDef):
            check_function(defs, getattr(module, member), member)


def check_function(defs, runtime, where):
    documented = [d for d in defs if ast.get_docstring(d)]
    assert len(documented) == 1, where
    doc, params = ast.get_docstring(documented[0]), parameters(documented[-1])
    wanted = [p for p in inspect.signature(runtime).parameters if p != "self"]
    assert [p.lstrip("*") for p in params] == wanted, where
    # Every parameter has its own entry in the docstring.
    missing = [p for p in params if f"\n{p}\n" not in f"\n{doc}\n"]
    assert not missing, (where, missing)


def test_version_matches_project():
    project = tomllib.loads((Path(__file__).parents[2] / "pyproject.toml").read_text())["project"]
    assert zelk.field.__version__ == project["version"]
    try:
        installed = metadata.version(project["name"])
    except metadata.PackageNotFoundError:
        return
    assert installed == zelk.field.__version__


def test_package_is_marked_typed():
    assert (Path(zelk.field.__file__).parents[1] / "py.typed").is_file()
