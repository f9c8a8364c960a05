"""Garbage in any argument, field or state of the line-string classes raises a
Python exception or returns; it never takes the interpreter down. Each batch
runs in its own process, so a crash shows as a failing return code."""

import pytest

PRELUDE = r'''
import copy, gc, itertools, os, pickle, random, types
import numpy as np
import zelk.field.geometry.linestring as L
from helpers import Flag
from zelk.field import kernels


big = np.broadcast_to(np.ones(2), (2**40, 2))  # a zero-stride view that claims 2**40 rows
GARBAGE = COMMON + [
    1, 3, 2.5, np.zeros((1, 1)), np.full((3, 2), np.nan), np.ones((2, 3)).T, np.ones((4,)).view(Sub),
    np.frombuffer(b"\0" * 49, dtype=np.uint8)[1:].view(np.float64),  # unaligned (6,)
    [[0, 0]], [None], [np.zeros((0, 2))], [np.ones((3, 2)), np.ones((2, 3))], np.ones((1, 2)), np.ones(7),
    np.ones(1), np.ones(3), np.empty((3, 2))[:, ::-1], np.array([[1.0, 2.0]]).astype(np.float16),
    np.array([[1.0, 2.0]]).view(np.int64),
]
# Views that claim more rows than memory holds: only where nothing reduces over
# them (NumPy itself would walk all 2**40 rows of a box).
BIGS = [big, big[:, :1], np.broadcast_to(np.ones(1), (2**40,)), [big], [np.ones((3, 2)), big]]
rng = random.Random(1234)
X = np.array([[0.5, 0.5], [3.0, -1.0]])


def instances():
    return [
        L.LineStringRGJ([[0, 0], [2, 0], [2, 2], [2, 2]], [[2, 0.5], [0, 1]]),
        L.LineStringRGJ([[1, 1]]),
        L.LineStringRGJ(np.zeros((0, 2))),
        L.MultiLineStringRGJ([[[0, 0], [1, 0]], [[5, 5]], [[3, 3], [4, 4], [4, 5]]], [[2, 0.5], [0, 1]]),
        L.LineStringRGJ.__new__(L.LineStringRGJ),
        L.MultiLineStringRGJ.__new__(L.MultiLineStringRGJ),
    ]


def exercise(g, v=None):
    """Every public operation, with valid arguments (and `v` where given)."""
    a = X if v is None else v
    attempt(g.repulsion_vector, a)
    attempt(g.repulsion_vector, a, False)
    attempt(g.repulsion_vector, X, True)
    attempt(g.repulsion_vector, X, False)
    attempt(g._build_segments)
    attempt(g.repulsion_vector, X)
    attempt(g.repulsion_vector, X, False)
    attempt(g.get_center_point)
    attempt(g.in_bbox, a)
    attempt(g.squared_dist, a)
    attempt(g.eval, X)
    attempt(g.toRGeoJSON)
    attempt(copy.copy, g)
    attempt(copy.deepcopy, g)
    attempt(lambda: pickle.loads(pickle.dumps(g)))
'''

BATCHES = {
    "arguments": r'''
for v in BIGS:
    for g in instances():
        attempt(g.repulsion_vector, v)
        attempt(g.repulsion_vector, v, False)
        attempt(g.in_bbox, v)
        attempt(g.set_coordinates, [v] if isinstance(g, L.MultiLineStringRGJ) else v)
        exercise(g)
for v in GARBAGE:
    for g in instances():
        exercise(g, v)
        attempt(g.repulsion_vector, X, v)
        attempt(g.repulsion_vector, v, v, v=v)
        attempt(g.__setstate__, v)
        attempt(g.__init__, v)
        attempt(g.__init__, X, v)
        attempt(g.__init__, [X], v, v, v)
        attempt(g.__init__, [X], None, None, v)
        exercise(g)
        attempt(g.set_coordinates, v)
        exercise(g)
        attempt(g.set_coordinates, [X, v])
        exercise(g)
    attempt(L.LineStringRGJ, v)
    attempt(L.LineStringRGJ, X, v)
    attempt(L.MultiLineStringRGJ, v)
    attempt(L.MultiLineStringRGJ, [X, v])
    attempt(L.MultiLineStringRGJ, [X], v, v, v, v=v)
''',
    "fields": r'''
FIELDS = ["coordinates", "repulsion", "inv_repulsion", "eye_repulsion", "grad_matrix", "properties", "bbox",
          "points_in_line_pair", "_p1", "_v", "_v_dot_v"]
for field in FIELDS:
    for v in GARBAGE:
        for g in instances():
            setattr(g, field, v)
            for n in (-1, 0, 1, 2, 5, 2**62):
                g.lines_n = n
                attempt(g.repulsion_vector, X)
                attempt(g.repulsion_vector, X, False)
            exercise(g)
            exercise(g, v)
            delattr(g, field)
            exercise(g)
for v in GARBAGE:
    for g in instances():
        attempt(setattr, g, "lines_n", v)
        attempt(delattr, g, "lines_n")
        exercise(g)
''',
    "cache": r'''
# Cache fields that disagree with each other and with lines_n.
SHAPES = [np.ones((0, 2)), np.ones((1, 2)), np.ones((3, 2)), np.ones((9, 2)), np.ones(3), np.ones(1), np.ones(9),
          np.ones((3, 1)), np.ones((3, 2)).T, np.ones((3, 2))[::-1], np.ones((3, 2), dtype=np.float32), np.ones((2, 2))]
# Under AddressSanitizer the kernel's refused scratch allocation for 2**40
# segments aborts instead of raising MemoryError.
if "asan" not in os.environ.get("LD_PRELOAD", ""):
    SHAPES += [big, np.broadcast_to(np.ones(1), (2**40,))]
for _ in range(3000):
    g = rng.choice(instances())
    g._p1, g._v, g._v_dot_v = (rng.choice(SHAPES) for _ in range(3))
    g.lines_n = rng.choice([-1, 0, 1, 3, 9, 2**40])
    g.inv_repulsion = rng.choice([np.eye(2), np.ones((2, 2))[:, ::-1], np.eye(3), np.eye(2, dtype=">f8"), None])
    q = rng.choice([X, X.T, np.ones((0, 2)), np.asfortranarray(X), big, X[0]])
    attempt(g.repulsion_vector, q)
    attempt(g.repulsion_vector, q, False)
''',
    "states": r'''
for _ in range(1500):
    state = tuple(rng.choice(GARBAGE) for _ in range(rng.choice([0, 5, 12, 12, 12, 13, 14])))
    for g in instances():
        attempt(g.__setstate__, state)
        exercise(g)
    for cls in (L.LineStringRGJ, L.MultiLineStringRGJ):
        f = getattr(L, "__pyx_unpickle_" + cls.__name__)
        try:
            g = f(cls, rng.choice([0x6C1788E, 0xEA76C65, 0x175D8FD]), state)
        except Exception:
            continue
        exercise(g)
for a, b, c in itertools.product(GARBAGE[::3], GARBAGE[::4], GARBAGE[::5]):
    attempt(L.__pyx_unpickle_LineStringRGJ, a, b, c)
    attempt(L.__pyx_unpickle_MultiLineStringRGJ, a, b, c)
''',
    # Python code run in the middle of a call replaces what is being read.
    "callbacks": r'''
BIG = 200000
QUERY = np.random.default_rng(0).normal(size=(BIG, 2))


def churn():
    gc.collect()
    return [np.full((BIG, 2), 7.0) for _ in range(3)]


class Swap(L.LineStringRGJ):
    def get_dist_matrix(self, **kwargs):
        self._p1 = rng.choice([None, np.zeros((1, 2)), "x", np.zeros((0, 2))])
        self._v = self._v_dot_v = None
        self.coordinates = None
        QUERY.resize((rng.choice([0, 1, 3]), 2), refcheck=False)  # the batch being read shrinks
        junk = churn()
        return np.eye(2)


def spoil(g):
    """The flag's truth, told after dropping the cache and shrinking the batch being read."""
    g._p1 = g._v = g._v_dot_v = None
    QUERY.resize((rng.choice([0, 1, 3]), 2), refcheck=False)
    junk = churn()
    return rng.getrandbits(1)


class Shrinking:
    """A line string whose length changes when NumPy or the loops look at it."""

    def __init__(self, g):
        self.g = g

    def __len__(self):
        self.g.coordinates = [np.zeros((1, 2))]
        return 3

    def __getitem__(self, key):
        if isinstance(key, int) and not -3 <= key < 3:
            raise IndexError(key)
        self.g.coordinates = None
        junk = churn()
        return np.zeros((2, 2))

    def min(self, axis):
        self.g.coordinates = None
        return np.zeros(2)

    def max(self, axis):
        return np.ones(2)

    def reshape(self, shape):
        self.g.coordinates = [np.zeros((1, 2))]
        junk = churn()
        return np.ones((2, 2))


def reentrant_kernel(g):
    def kernel(points, p1, v, vdv, metric):
        g._p1 = g._v = g._v_dot_v = None
        junk = churn()
        return kernels.segment_repulsion_vectors(points, p1, v, vdv, metric)
    return types.SimpleNamespace(segment_repulsion_vectors=kernel)


for _ in range(15):
    QUERY = np.random.default_rng(0).normal(size=(BIG, 2))
    g = Swap(np.random.default_rng(1).normal(size=(50, 2)))
    attempt(g.repulsion_vector, QUERY)
    QUERY = np.random.default_rng(0).normal(size=(BIG, 2))
    h = L.LineStringRGJ(np.ones((20, 2)))
    attempt(h.repulsion_vector, QUERY, Flag(None, lambda: spoil(h)))
    m = L.MultiLineStringRGJ([[[0, 0], [1, 1]]])
    m.coordinates = [np.ones((4, 2)), Shrinking(m), np.ones((3, 2))]
    attempt(m._build_segments)
    m.coordinates = [np.ones((4, 2)), Shrinking(m)]
    attempt(m.get_center_point)
    m.coordinates = [Shrinking(m), np.ones((4, 2))]
    attempt(m.set_coordinates, m.coordinates)
    k = L.LineStringRGJ(np.ones((30, 2)))
    saved = L.kernels
    L.kernels = reentrant_kernel(k)
    try:
        attempt(k.repulsion_vector, np.ones((1000, 2)))
    finally:
        L.kernels = saved
''',
}


@pytest.mark.parametrize("batch", list(BATCHES))
def test_garbage_never_crashes(run_garbage, batch):
    run_garbage(PRELUDE + BATCHES[batch], least=50)
