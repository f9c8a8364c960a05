"""Garbage in any argument or field raises a Python exception or returns; it
never takes the interpreter down. Each batch runs in its own process."""

import pytest

PRELUDE = r'''
import copy, gc, itertools, pickle, random, sys
import numpy as np
import zelk.field.geometry.point as P
from helpers import Flag
from zelk.field.geometry.base import MultiRGJGeometry, RGJGeometry


GARBAGE = COMMON + [
    b"bytes", 1, -(10**400), float("inf"), 2.5, np.nan, np.zeros((1, 1)), np.array([1 + 2j, 3]),
    np.array([[True, False]]), np.full((2, 2), np.nan), np.ones((2, 3)).T,
    np.arange(6, dtype=np.int64).reshape(3, 2) * (2**62), [1, [2, 3]], np.ones((1, 2)),
    np.empty((3, 2), dtype=np.float64)[:, ::-1], np.array([[1.0, 2.0]]).astype(np.float16),
]
rng = random.Random(1234)
X = np.array([[0.5, 0.5], [3.0, -1.0]])


def instances():
    return [
        P.PointRGJ([1, 2], [[2, 0.5], [0, 1]]),
        P.MultiPointRGJ([[0, 0], [10, 0], [3, 4]], [[2, 0.5], [0, 1]]),
        P.PointRGJ.__new__(P.PointRGJ),
        P.MultiPointRGJ.__new__(P.MultiPointRGJ),
    ]


def exercise(g, v=None):
    """Every public operation, with valid arguments (and `v` where given)."""
    a = X if v is None else v
    attempt(g.repulsion_vector, a)
    attempt(g.repulsion_vector, a, False)
    attempt(g.repulsion_vector, X, True)
    attempt(g.in_bbox, a)
    attempt(g.get_dist_matrix)
    attempt(g.get_dist_matrix, False)
    attempt(g.get_dist_matrix, True, False)
    attempt(g.get_center_point)
    attempt(g.squared_dist, a)
    attempt(g.squared_dist, X, False)
    attempt(g.eval, a)
    attempt(g.toRGeoJSON)
    attempt(g.__reduce__)
    attempt(copy.copy, g)
    attempt(copy.deepcopy, g)
    attempt(lambda: pickle.loads(pickle.dumps(g)))
'''

BATCHES = {
    "arguments": r'''
# 512 TiB as a copy (beyond any address space, so no allocation can succeed), nothing as a view
HUGE = np.broadcast_to(np.array([1.0, 2.0]), (2**45, 2))
for v in GARBAGE + [HUGE]:
    for g in instances():
        exercise(g, v)
        attempt(g.repulsion_vector, X, v)
        attempt(g.repulsion_vector, v, v, v=v)
        attempt(g.get_dist_matrix, v, v)
        attempt(g.squared_dist, X, v, v)
        attempt(g.eval, X, v, v)
        attempt(g.__setstate__, v)
        attempt(g.__init__, v)
        attempt(g.__init__, X, v)
        attempt(g.__init__, X, None, v, v)
        attempt(g.__init__, v, v, v, v, v)
        exercise(g)
        attempt(g.set_coordinates, v)
        exercise(g)
        attempt(g.set_repulsion, v)
        exercise(g)
    attempt(P.MultiPointRGJ, v)
    attempt(P.MultiPointRGJ, X, v)
    attempt(P.MultiPointRGJ, X, optional_dim=v)
    attempt(P.PointRGJ, [0, 0], None, None, v)
g = P.MultiPointRGJ([[0, 0]])
g.coordinates = HUGE
for x in (HUGE, HUGE[: 2**20], HUGE[:1]):
    attempt(g.repulsion_vector, x, False)
attempt(g.repulsion_vector, HUGE, True)
''',
    "fields": r'''
FIELDS = ["coordinates", "repulsion", "inv_repulsion", "eye_repulsion", "grad_matrix", "properties", "bbox"]
for field in FIELDS:
    for v in GARBAGE:
        for g in instances():
            setattr(g, field, v)
            exercise(g)
            exercise(g, v)
            delattr(g, field)
            exercise(g)
''',
    "setstate": r'''
for _ in range(1500):
    state = tuple(rng.choice(GARBAGE) for _ in range(rng.choice([0, 3, 7, 7, 7, 8, 9])))
    for g in instances():
        attempt(g.__setstate__, state)
        exercise(g)
    for name in ("__pyx_unpickle_PointRGJ", "__pyx_unpickle_MultiPointRGJ"):
        f = getattr(P, name)
        for checksum in (0x7B2586F, 0x92479D0, 0x53BF6E4):
            try:
                g = f(rng.choice([P.PointRGJ, P.MultiPointRGJ]), checksum, state)
            except Exception:
                continue
            exercise(g)
''',
    "reconstructor": r'''
for a, b, c in itertools.product(GARBAGE[::3], GARBAGE[::4], GARBAGE[::5]):
    attempt(P.__pyx_unpickle_PointRGJ, a, b, c)
    attempt(P.__pyx_unpickle_MultiPointRGJ, a, b, c)
for v in GARBAGE:
    attempt(P.__pyx_unpickle_PointRGJ, P.PointRGJ, v, None)
    attempt(P.__pyx_unpickle_MultiPointRGJ, P.MultiPointRGJ, 0x7B2586F, v)
''',
    # Python code run in the middle of a call replaces the field being read.
    "callbacks": r'''
BIG = 200000


class Swap(P.MultiPointRGJ):
    def get_dist_matrix(self, **kwargs):
        self.coordinates = rng.choice([None, np.zeros((1, 2)), "x"])
        self.bbox = None
        gc.collect()
        junk = [np.full((BIG, 2), 7.0) for _ in range(3)]
        return np.eye(2)


def spoil(g):
    """The flag's truth, told after dropping the points and the box."""
    g.coordinates = None
    g.bbox = None
    gc.collect()
    junk = [np.full((BIG, 2), 7.0) for _ in range(3)]
    return rng.getrandbits(1)


class Replacing:
    def __init__(self, g):
        self.g = g

    def tolist(self):
        self.g.coordinates = None
        gc.collect()
        return [1.0, 2.0]

    def __len__(self):
        self.g.bbox = None
        return 3

    def min(self, axis):
        self.g.bbox = None
        return np.zeros(2)

    def max(self, axis):
        return np.ones(2)


for _ in range(20):
    g = Swap(np.random.default_rng(0).normal(size=(BIG, 2)))
    g.bbox = None
    attempt(g.repulsion_vector, np.zeros((3, 2)))
    h = P.MultiPointRGJ(np.ones((BIG, 2)))
    h.bbox = None
    attempt(h.repulsion_vector, np.zeros((2, 2)), Flag(None, lambda: spoil(h)))
    r = P.MultiPointRGJ([[0, 0]])
    r.coordinates = [Replacing(r), Replacing(r)]
    attempt(r.toRGeoJSON)
    r.bbox = Replacing(r)
    attempt(r.in_bbox, [0.5, 0.5])
''',
}


@pytest.mark.parametrize("batch", list(BATCHES))
def test_garbage_never_crashes(run_garbage, batch):
    run_garbage(PRELUDE + BATCHES[batch], least=50)


@pytest.mark.parametrize(
    "module, cls",
    [("base", "RGJGeometry"), ("point", "PointRGJ"), ("linestring", "MultiLineStringRGJ"),
     ("polygon", "PolygonRGJ"), ("collection", "GeometryCollectionRGJ")],
)
def test_freeing_a_long_chain_of_geometries(run_python, module, cls):
    # Each geometry holds the previous one in its properties: freeing the head
    # must not recurse once per link.
    result = run_python(f"""
        from zelk.field.geometry.{module} import {cls} as C
        head = None
        for _ in range(400000):
            g = C.__new__(C)
            g.properties = head
            head = g
        g = None
        head = None
        print("freed")
    """)
    assert result.returncode == 0 and result.stdout.strip() == "freed", result.stderr[-2000:]
