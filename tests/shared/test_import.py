"""Import behaviour of the point module and laziness of the package; the
process-wide cases run in a fresh interpreter."""

import builtins
import importlib.util
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import zelk.field.geometry.point as P


def check(result):
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_namespace():
    names = {k for k in vars(P) if not (k.startswith("__") and k.endswith("__"))}
    assert names == {"PointRGJ", "MultiPointRGJ", "np", "__pyx_unpickle_PointRGJ", "__pyx_unpickle_MultiPointRGJ"}
    assert P.np is np
    assert P.__test__ == {} and type(P.__test__) is dict
    assert vars(P)["__builtins__"] is builtins
    assert P.__doc__ == "PointRGJ / MultiPointRGJ."
    assert P.__name__ == "zelk.field.geometry.point" and P.__package__ == "zelk.field.geometry"
    assert P.__file__ == P.__spec__.origin and P.__loader__ is P.__spec__.loader
    assert not hasattr(P, "__path__")
    assert (P.PointRGJ.RGJType, P.MultiPointRGJ.RGJType) == ("Point", "MultiPoint")


def test_import_again_removal_and_reload(run_python):
    out = run_python(
        """
        import importlib, pickle, sys
        import zelk.field.geometry.point as m1
        P, M = m1.PointRGJ, m1.MultiPointRGJ
        data = pickle.dumps(M([[0, 0], [10, 0]]))
        import zelk.field.geometry.point as m2
        assert m2 is m1
        del sys.modules["zelk.field.geometry.point"]
        m3 = importlib.import_module("zelk.field.geometry.point")
        assert m3 is m1 and sys.modules["zelk.field.geometry.point"] is m1
        assert m3.PointRGJ is P and m3.MultiPointRGJ is M
        m4 = importlib.reload(m1)
        assert m4 is m1 and m4.PointRGJ is P and m4.MultiPointRGJ is M
        del sys.modules["zelk.field.geometry.point"]
        from zelk.field.geometry.point import MultiPointRGJ
        assert MultiPointRGJ is M
        g = pickle.loads(data)
        assert type(g) is M
        print(g.repulsion_vector([[1, 1]]).tolist(), m1.__test__, sorted(vars(m1)) == sorted(vars(m4)))
        """
    )
    assert check(out).split() == ["[[-1.0,", "-1.0]]", "{}", "True"]


def test_loaded_under_another_name_enters_its_own_name(run_python):
    out = run_python(
        """
        import importlib.machinery, importlib.util, sys
        import zelk.field.geometry
        origin = importlib.util.find_spec("zelk.field.geometry.point").origin
        sys.modules.pop("zelk.field.geometry.point", None)
        loader = importlib.machinery.ExtensionFileLoader("other.point", origin)
        spec = importlib.util.spec_from_file_location("other.point", origin, loader=loader)
        m = importlib.util.module_from_spec(spec)
        name = m.__name__
        before = sys.getrefcount(name)
        spec.loader.exec_module(m)
        print(sys.modules.get("zelk.field.geometry.point") is m, sys.getrefcount(name) - before)
        """
    )
    assert check(out).split() == ["True", "0"]


@pytest.mark.parametrize("written_in_python", ["own", "subclass"])
def test_base_types_written_in_python_are_refused(run_python, written_in_python):
    # Classes made by a class statement free their instances through the
    # interpreter's generic dealloc, which would hand the work back to ours.
    out = run_python(
        f"""
        import importlib, sys, types
        import zelk.field.geometry.base as real
        fake = types.ModuleType("zelk.field.geometry.base")
        if {written_in_python!r} == "own":
            class RGJGeometry:
                __slots__ = ("coordinates", "repulsion", "inv_repulsion", "eye_repulsion",
                             "grad_matrix", "properties", "bbox")
            class MultiRGJGeometry(RGJGeometry):
                __slots__ = ()
        else:
            class RGJGeometry(real.RGJGeometry):
                __slots__ = ()
            class MultiRGJGeometry(real.MultiRGJGeometry):
                __slots__ = ()
        assert RGJGeometry.__basicsize__ == real.RGJGeometry.__basicsize__
        fake.RGJGeometry, fake.MultiRGJGeometry = RGJGeometry, MultiRGJGeometry
        sys.modules["zelk.field.geometry.base"] = fake
        for m in ("point", "linestring", "polygon", "collection"):
            try:
                importlib.import_module("zelk.field.geometry." + m)
            except TypeError as e:
                print(e)
        """
    )
    lines = check(out).splitlines()
    assert len(lines) == 4
    assert all(line.endswith("RGJGeometry is not a type implemented in C") for line in lines)


def test_quick_example(run_python):
    out = run_python(
        "from zelk.field.geometry.point import MultiPointRGJ; "
        "print(MultiPointRGJ([[0, 0], [10, 0]]).repulsion_vector([[1, 1]]))"
    )
    assert check(out) == "[[-1. -1.]]\n"


BLOCK_KERNELS = """
import sys

class NoKernels:
    def find_spec(self, fullname, path=None, target=None):
        if fullname == "zelk.field.kernels":
            raise ModuleNotFoundError(f"No module named {fullname!r}", name=fullname)
        return None

sys.meta_path.insert(0, NoKernels())
try:
    import zelk.field.kernels
except ModuleNotFoundError:
    pass
else:
    raise SystemExit("kernels could still be imported")
"""


def test_point_module_imports_without_kernels(run_python):
    out = run_python(
        BLOCK_KERNELS
        + """
import zelk.field.geometry.point as m
from zelk.field.geometry import MultiPointRGJ, PointRGJ
assert MultiPointRGJ is m.MultiPointRGJ and PointRGJ is m.PointRGJ
assert "zelk.field.kernels" not in sys.modules and not hasattr(m, "kernels")
print(MultiPointRGJ([[0, 0], [10, 0]]).repulsion_vector([[5, 0]]).tolist())
"""
    )
    assert check(out) == "[[-5.0, 0.0]]\n"


def test_package_is_lazy(run_python):
    out = run_python(
        """
        import sys
        import zelk.field.geometry as g
        loaded = lambda: sorted(k for k in sys.modules if k.startswith("zelk.field."))
        assert loaded() == ["zelk.field.geometry"], loaded()
        from zelk.field.geometry import PointRGJ
        import zelk.field.geometry.point as p
        assert PointRGJ is p.PointRGJ and g.MultiPointRGJ is p.MultiPointRGJ
        print(loaded())
        try:
            g.NoSuchGeometry
        except AttributeError:
            print("_RGJ_TYPES" in dir(g), "PointRGJ" in dir(g))
        """
    )
    assert check(out).splitlines() == ["['zelk.field.geometry', 'zelk.field.geometry.base', 'zelk.field.geometry.point']", "True True"]


def test_type_table(run_python):
    out = run_python(
        """
        import zelk.field.geometry as g
        import zelk.field.geometry.point as p
        try:
            table = g._RGJ_TYPES
        except ImportError:  # a geometry module that is not built (yet)
            print("incomplete")
        else:
            assert g._RGJ_TYPES is table and table["Point"] is p.PointRGJ and table["MultiPoint"] is p.MultiPointRGJ
            assert all(cls.RGJType == name and getattr(g, cls.__name__) is cls for name, cls in table.items())
            print(sorted(table))
        """
    )
    names = ["GeometryCollection", "LineString", "MultiLineString", "MultiPoint", "MultiPolygon", "Point", "Polygon"]
    built = all(importlib.util.find_spec(f"zelk.field.geometry.{m}") for m in ("point", "linestring", "polygon", "collection"))
    assert check(out) == (f"{names}\n" if built else "incomplete\n")


# A runtime one minor version past the running one (the build's own version).
_RUNNING = f"{sys.version_info.major}.{sys.version_info.minor}"
_FAKE = f"{sys.version_info.major}.{sys.version_info.minor + 1}"
FAKE_VERSION = f'const char *Py_GetVersion(void) {{ return "{_FAKE}.0 (fake)"; }}\n'


@pytest.fixture
def fake_version(tmp_path):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler")
    src = tmp_path / "fake_version.c"
    src.write_text(FAKE_VERSION)
    lib = tmp_path / "libfakeversion.so"
    if subprocess.run([cc, "-shared", "-fPIC", "-o", str(lib), str(src)], capture_output=True).returncode:
        pytest.skip("cannot build a shared library")
    # after any preload already in place (a sanitizer runtime must stay first)
    return {"LD_PRELOAD": ":".join(filter(None, [os.environ.get("LD_PRELOAD"), str(lib)]))}


WARNING = f"compile time Python version {_RUNNING} of module 'zelk.field.geometry.point' does not match runtime version {_FAKE}"


def test_version_mismatch_warns_once(run_python, fake_version):
    out = run_python(
        """
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import zelk.field.geometry.point as m
        mine = [w for w in caught if "zelk.field.geometry.point" in str(w.message)]
        assert all(w.category is RuntimeWarning for w in mine)
        for w in mine:
            print(w.message)
        print(m.PointRGJ([1, 1]).repulsion_vector([3, 4]).tolist())
        """,
        env=fake_version,
    )
    assert check(out).splitlines() == [WARNING, "[[2.0, 3.0]]"]


def test_warning_as_error_fails_the_import_and_a_retry_starts_afresh(run_python, fake_version):
    out = run_python(
        """
        import sys, traceback, warnings
        import zelk.field.geometry.base  # its own warning is not the subject here
        warnings.simplefilter("error", RuntimeWarning)
        try:
            import zelk.field.geometry.point
        except RuntimeWarning as e:
            print(e)
            tb = [(f.name, f.filename) for f in traceback.extract_tb(e.__traceback__)]
            print(("init zelk.field.geometry.point", "zelk/field/geometry/point") in tb)
        else:
            raise SystemExit("the import went on")
        assert "zelk.field.geometry.point" not in sys.modules
        warnings.simplefilter("ignore", RuntimeWarning)
        import zelk.field.geometry.point as m
        print(m.MultiPointRGJ([[0, 0], [10, 0]]).repulsion_vector([[9, 0]]).tolist(), m.__test__)
        """,
        env=fake_version,
    )
    assert check(out).splitlines() == [WARNING, "True", "[[1.0, 0.0]] {}"]


def test_missing_builtin_fails_the_import_until_it_is_back(run_python):
    out = run_python(
        """
        import builtins, sys, traceback
        saved = builtins.any
        del builtins.any
        try:
            import zelk.field.geometry.point
        except NameError as e:
            print(e)
            tb = [(f.name, f.filename) for f in traceback.extract_tb(e.__traceback__)]
            print(("init zelk.field.geometry.point", "zelk/field/geometry/point") in tb)
        else:
            raise SystemExit("imported without any")
        assert "zelk.field.geometry.point" not in sys.modules
        builtins.any = saved
        import zelk.field.geometry.point as m
        print(m.PointRGJ([0, 0]).repulsion_vector([1, 2]).tolist())
        """
    )
    assert check(out).splitlines() == ["name 'any' is not defined", "True", "[[1.0, 2.0]]"]


def test_no_warning_at_the_right_version(run_python):
    out = run_python("import zelk.field.geometry.point", args=("-W", "error::RuntimeWarning"))
    check(out)


# Runs `code` in a new subinterpreter of the given kind: "shared" takes the
# main interpreter's GIL (on 3.11 every subinterpreter does), "own" has one of
# its own (3.12 on). Prints "skip" when the interpreter offers no such kind.
SUBINTERPRETER = """
import sys
try:
    import _interpreters as interpreters  # 3.13
except ImportError:
    try:
        import _xxsubinterpreters as interpreters  # 3.11, 3.12
    except ImportError:
        interpreters = None

def run_in_subinterpreter(kind, code):
    if interpreters is None or (kind == "own" and sys.version_info < (3, 12)):
        print("skip")
        return
    if sys.version_info >= (3, 13):
        sub = interpreters.create("legacy" if kind == "shared" else "isolated")
    elif sys.version_info >= (3, 12):
        sub = interpreters.create(isolated=kind == "own")
    else:
        sub = interpreters.create()
    failure = interpreters.run_string(sub, code)  # 3.13 returns the failure, 3.12 raises it
    interpreters.destroy(sub)
    if failure is not None:
        raise SystemExit(f"failed in the subinterpreter: {failure}")
"""


def test_subinterpreter_is_refused(run_python):
    out = run_python(
        SUBINTERPRETER
        + """
import zelk.field.geometry.point
run_in_subinterpreter("shared", (
    "try:\\n"
    "    import zelk.field.geometry.point\\n"
    "except ImportError as e:\\n"
    "    assert str(e) == 'Interpreter change detected - this module can only be loaded "
    "into one interpreter per process.', str(e)\\n"
    "else:\\n"
    "    raise AssertionError('imported')\\n"
))
import zelk.field.geometry.point as m
print(m.PointRGJ([0, 0]).repulsion_vector([1, 1]).tolist())
"""
    )
    assert check(out) in ("skip\n[[1.0, 1.0]]\n", "[[1.0, 1.0]]\n")


# Extension modules of the standard library that declare no support for a GIL
# of their own: the first one present gives the interpreter's refusal wording.
REFUSED_ELSEWHERE = ("_testsinglephase", "xxlimited_35", "readline", "_curses", "_tkinter")

OWN_GIL_IMPORT = """
import importlib.util

def refusal(name):
    try:
        __import__(name)
    except ImportError as e:
        return str(e)
    return None

reference = other = None
for other in NAMES:
    if importlib.util.find_spec(other) is not None:
        reference = refusal(other)
        if reference is not None:
            break
got = refusal("zelk.field.geometry.point")
assert got is not None, "imported"
if reference is not None:
    assert got == reference.replace(other, "zelk.field.geometry.point"), (got, reference)
print("refused", flush=True)
"""


def test_subinterpreter_with_its_own_gil_is_refused_by_the_interpreter(run_python):
    # From 3.12 the interpreter itself refuses, before the module runs, to load
    # a module that declares no per-interpreter GIL support into such a one.
    code = OWN_GIL_IMPORT.replace("NAMES", repr(REFUSED_ELSEWHERE))
    out = run_python(SUBINTERPRETER + f"run_in_subinterpreter('own', {code!r})\n")
    assert check(out) in ("skip\n", "refused\n")
