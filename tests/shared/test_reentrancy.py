"""Code that runs inside a call never takes the interpreter down. With the
collector at threshold 1, any allocation inside a method may run finalizers;
here they reassign or delete fields (valid and garbage values), empty or refill
list fields in place, and call __setstate__, set_repulsion or set_coordinates,
on the object under query or on one of its members. One process per class;
each call's case is written to stderr first, so a crash names it."""

import os

import pytest

CHILD = r'''
import contextvars, copy, faulthandler, gc, inspect, random, sys
import numpy as np
from zelk.field.geometry.point import PointRGJ, MultiPointRGJ
from zelk.field.geometry.linestring import LineStringRGJ, MultiLineStringRGJ
from zelk.field.geometry.polygon import PolygonRGJ, MultiPolygonRGJ
from zelk.field.geometry.collection import GeometryCollectionRGJ

faulthandler.enable()
REP = [[2.0, 0.5], [0.0, 1.0]]
SQUARE = [[0, 0], [4, 0], [4, 4], [0, 4]]
HOLE = [[1, 1], [2, 1], [2, 2], [1, 2]]
TRIANGLE = [[6, 6], [8, 6], [7, 8]]
MEMBERS = [
    {"type": "Polygon", "coordinates": [SQUARE, HOLE], "repulsion": REP},
    {"type": "LineString", "coordinates": [[6, 0], [9, 3]]},
    {"type": "MultiPoint", "coordinates": [[-3, -3], [-1, 5]]},
    {"type": "MultiPolygon", "coordinates": [[TRIANGLE]]},
    {"type": "MultiLineString", "coordinates": [[[0, 9], [1, 9]], [[2, 9], [3, 12]]]},
    {"type": "Point", "coordinates": [5, 5]},
]
# class: positional constructor arguments (coordinates first)
ARGS = {
    PointRGJ: ([1.0, 2.0], REP),
    MultiPointRGJ: ([[0, 0], [10, 0], [3, 4]], REP),
    LineStringRGJ: ([[0, 0], [5, 0], [5, 5]], REP),
    MultiLineStringRGJ: ([[[0, 0], [5, 0]], [[0, 3], [2, 6], [4, 3]]], REP),
    PolygonRGJ: ([SQUARE, HOLE], REP),
    MultiPolygonRGJ: ([[SQUARE, HOLE], [TRIANGLE]], REP),
    GeometryCollectionRGJ: (MEMBERS,),
}
CLS = {c.__name__: c for c in ARGS}[CLASS_NAME]
rng = random.Random(CLASS_NAME)


def make(cls):
    return cls(*ARGS[cls])


def fields(cls):
    return [n for n in dir(cls) if not n.startswith("__")
            and type(inspect.getattr_static(cls, n)).__name__ == "getset_descriptor"]


def state(g):
    r = g.__reduce__()
    return r[2] if len(r) > 2 else r[1][2]


def members(g):
    try:
        return list(getattr(g, "rgjs", None) or getattr(g, "polygons", None) or [])
    except Exception:
        return []


def refresh(t):
    # Every field replaced by an equal copy, so the old values are freed.
    for f in fields(type(t)):
        setattr(t, f, copy.deepcopy(getattr(t, f)))


def act(g):
    t = g if rng.random() < 0.6 else rng.choice([g] + members(g))
    f = rng.choice(fields(type(t)))
    kind = rng.randrange(14)
    if kind < 7:
        refresh(t)
    elif kind == 7:
        setattr(t, f, rng.choice(COMMON))
    elif kind == 8:
        delattr(t, f)
    elif kind == 9:
        # a list being walked loses its items or gains garbage under the walk
        for value in (getattr(t, n) for n in fields(type(t))):
            if isinstance(value, list):
                rng.choice([value.clear, lambda: value.append(rng.choice(COMMON)),
                            lambda: value.__setitem__(slice(None), copy.deepcopy(value[::-1]))])()
    elif kind == 10:
        t.__setstate__(state(make(type(t))))
    elif kind == 11:
        t.__setstate__(tuple(rng.choice(COMMON) for _ in range(16)))
    elif kind == 12:
        t.set_repulsion(np.eye(2) * 3.0)
    else:
        t.set_coordinates(ARGS[type(t)][0])


armed = {"skip": 0, "budget": 0, "target": None}


class Churn:
    """Garbage in a cycle: only the collector frees it, at some allocation."""

    def __init__(self):
        self.me = self

    def __del__(self):
        if armed["budget"] <= 0:
            return
        if armed["skip"] > 0:
            armed["skip"] -= 1
        else:
            armed["budget"] -= 1
            # In a copied context: the interpreter's context variables (np.errstate
            # uses one) break when a finalizer sets one while the code it
            # interrupted is in the middle of setting it.
            attempt(contextvars.copy_context().run, act, armed["target"])
        Churn()  # fires at the next allocation after this one


def calls(g):
    x = np.array([[0.5, 0.5], [3.0, -1.0], [7.0, 7.0], [20.0, 1.0], [-2.0, 4.0]])
    yield "__init__", lambda: g.__init__(*ARGS[type(g)])
    yield "__setstate__", lambda: g.__setstate__(state(make(type(g))))
    yield "__reduce__", g.__reduce__
    for name in dir(type(g)):
        method = getattr(g, name)
        if name.startswith("__") or not callable(method):
            continue
        if "x" in inspect.signature(method).parameters:
            yield name, lambda m=method: m(x.copy())
            yield name + " flag off", lambda m=method: m(x.copy(), False)
        elif name == "set_coordinates":
            yield name, lambda m=method: m(ARGS[type(g)][0])
        elif name == "set_repulsion":
            yield name, lambda m=method: m(np.eye(2) * 2.0)
        else:
            yield name, method


gc.set_threshold(1, 1, 1)
names = [name for name, _ in calls(make(CLS))]
for name in names:
    for r in range(ROUNDS):
        g = make(CLS)
        call = dict(calls(g))[name]
        armed.update(skip=rng.choice([0, 0, 1, 2, 3, 5, 8]), budget=rng.randrange(2, 30), target=g)
        print(f"case {CLS.__name__}.{name} round {r} skip {armed['skip']}", file=sys.stderr, flush=True)
        Churn()
        attempt(call)
        armed["budget"] = 0
import garbage
print("calls", garbage.calls)
'''

CLASSES = ["PointRGJ", "MultiPointRGJ", "LineStringRGJ", "MultiLineStringRGJ", "PolygonRGJ",
           "MultiPolygonRGJ", "GeometryCollectionRGJ"]
ROUNDS = 8


@pytest.mark.parametrize("cls", CLASSES)
def test_finalizers_inside_calls_never_crash(run_python, cls):
    tests = os.path.dirname(os.path.dirname(__file__))
    prelude = (f"import sys\nsys.path.insert(0, {tests!r})\nfrom garbage import *\nquiet()\n"
               f"ROUNDS = {ROUNDS}\nCLASS_NAME = {cls!r}\n")
    # Objects from the C allocator rather than the interpreter's pools, so that
    # a sanitizer sees a freed one being read, not only a crash.
    asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "allocator_may_return_null=1"]))
    result = run_python(prelude + CHILD, env={"PYTHONMALLOC": "malloc", "ASAN_OPTIONS": asan})
    cases = [line for line in result.stderr.splitlines() if line.startswith("case ")]
    assert result.returncode == 0, (cases[-1:], result.returncode, result.stderr[-3000:])
    calls = int(result.stdout.split()[-1])
    assert calls >= ROUNDS * 10, calls  # every method of the class, ROUNDS times



DROPPED = {
    # a multi polygon builds its members with the module's own PolygonRGJ
    "class names": """
import zelk.field.geometry.polygon as m
def answer():
    g = m.MultiPolygonRGJ([[[[0, 0], [4, 0], [4, 4], [0, 4]]], [[[6, 6], [8, 6], [7, 8]]]])
    return g.repulsion_vector(X).tolist(), g.toRGeoJSON()["geometry"]["coordinates"][1][0].tolist()
expected = answer()
del m.PolygonRGJ, m.__pyx_unpickle_PolygonRGJ
""",
    # a module is created once per process: imported again, it is the same one
    "module": """
import sys, zelk.field.geometry, zelk.field.geometry.point as m
answer = lambda: sys.modules["zelk.field.geometry.point"].PointRGJ([1.0, 2.0]).repulsion_vector(X).tolist()
expected = answer()
del sys.modules["zelk.field.geometry.point"], zelk.field.geometry.point, m
""",
}


@pytest.mark.parametrize("dropped", sorted(DROPPED))
def test_what_calls_read_outlives_the_names_that_held_it(run_python, dropped):
    code = "import gc\nimport numpy as np\nX = np.array([[0.5, 3.0], [9.0, 9.0], [7.0, 6.5]])\n"
    code += DROPPED[dropped] + "gc.collect()\nimport zelk.field.geometry.point\nprint(answer() == expected)\n"
    result = run_python(code, env={"PYTHONMALLOC": "malloc"})
    assert result.returncode == 0 and result.stdout.split() == ["True"], result.stderr[-2000:]
