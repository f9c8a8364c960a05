"""Garbage in any argument, field or state, and Python code that replaces
fields in the middle of a call, raise Python exceptions or return; they never
take the interpreter down. Each batch runs in its own process."""

import pytest

PRELUDE = r"""
import copy, gc, itertools, pickle, random, types
import numpy as np
import zelk.field.geometry.polygon as M
from helpers import Flag
from zelk.field import kernels


SQ = [[0, 0], [4, 0], [4, 4], [0, 4]]
HOLE = [[1, 1], [2, 1], [2, 2]]
GARBAGE = COMMON + [
    np.nan, [1, [2, 3]], np.zeros((3, 2, 2)), np.zeros((4, 2, 3)), np.broadcast_to(np.ones(2), (5, 2)),
    [np.ones((4, 2)), "x"], [SQ, HOLE], np.zeros((3, 2, 2), np.float32), np.zeros((2, 2), dtype=object),
    np.arange(6.0).reshape(3, 2) * 2**1000,
]
rng = random.Random(99)
X = np.array([[0.5, 0.5], [9.0, -1.0], [1.5, 1.2]])


def instances():
    return [
        M.PolygonRGJ([SQ, HOLE], [[2, 0.5], [0, 1]]),
        M.PolygonRGJ([[1, 1]]),
        M.MultiPolygonRGJ([[SQ, HOLE], [[5, 5], [6, 5], [6, 6]], []]),
        M.PolygonRGJ.__new__(M.PolygonRGJ),
        M.MultiPolygonRGJ.__new__(M.MultiPolygonRGJ),
    ]


def exercise(g, v=None):
    a = X if v is None else v
    for f, args in ((g.repulsion_vector, (a,)), (g.repulsion_vector, (a, False)), (g.repulsion_vector, (X[:1], True)),
                    (g.repulsion_vector, (np.repeat(X, 40, axis=0),)), (g.in_bbox, (a,)), (g.get_center_point, ()),
                    (g.squared_dist, (a,)), (g.eval, (X,)), (g.toRGeoJSON, ()), (g.__reduce__, ()), (copy.copy, (g,)),
                    (copy.deepcopy, (g,)), (lambda: pickle.loads(pickle.dumps(g)), ())):
        attempt(f, *args)
    if isinstance(g, M.PolygonRGJ):
        attempt(g._build_segment_cache)
        attempt(g.repulsion_vector, X)
"""

BATCHES = {
    "arguments": r"""
for v in GARBAGE:
    for g in instances():
        exercise(g, v)
        attempt(g.repulsion_vector, X, v)
        attempt(g.__setstate__, v)
        attempt(g.__init__, v)
        attempt(g.__init__, [SQ], v)
        attempt(g.__init__, [SQ], None, v, v)
        attempt(g.__init__, [[SQ]], None, None, v)
        attempt(g.__init__, v, v, v, v)
        exercise(g)
        attempt(g.set_coordinates, v)
        exercise(g)
        attempt(g.set_repulsion, v)
        exercise(g)
    attempt(M.PolygonRGJ, [SQ, v])
    attempt(M.MultiPolygonRGJ, [v])
    attempt(M.MultiPolygonRGJ, [[SQ]], optional_dim=v)
""",
    "fields": r"""
FIELDS = ["coordinates", "repulsion", "inv_repulsion", "eye_repulsion", "grad_matrix", "properties", "bbox", "rings",
          "polygons", "points_in_line_pair", "_p1", "_v", "_v_dot_v", "metric"]
for field in FIELDS:
    for v in GARBAGE + [[v] for v in GARBAGE[:20]] + [[M.PolygonRGJ([[1, 1]]), v] for v in GARBAGE[::3]]:
        for g in instances():
            try:
                setattr(g, field, v)
            except (TypeError, AttributeError):
                continue
            for s in (0, 1, 7, 10**6, -5):
                g._S = s
                exercise(g)
            exercise(g, v)
            delattr(g, field)
            exercise(g)
""",
    "setstate": r"""
for _ in range(800):
    state = tuple(rng.choice(GARBAGE + [[np.zeros((3, 2))], 0, 5, -3]) for _ in range(rng.choice([0, 4, 13, 14, 14, 15])))
    for g in instances():
        attempt(g.__setstate__, state)
        exercise(g)
    for cls, name in ((M.PolygonRGJ, "__pyx_unpickle_PolygonRGJ"), (M.MultiPolygonRGJ, "__pyx_unpickle_MultiPolygonRGJ")):
        for checksum in (0x5381B98, 0xE734440):
            try:
                g = getattr(M, name)(cls, checksum, state)
            except Exception:
                continue
            exercise(g)
for a, b, c in itertools.product(GARBAGE[::3], GARBAGE[::4], GARBAGE[::5]):
    attempt(M.__pyx_unpickle_PolygonRGJ, a, b, c)
    attempt(M.__pyx_unpickle_MultiPolygonRGJ, a, b, c)
""",
    # Python code run in the middle of a call replaces what is being read.
    "callbacks": r"""
BIG = 100000


def churn(g):
    for name in ("rings", "_p1", "_v", "_v_dot_v", "metric", "bbox", "points_in_line_pair", "polygons"):
        try:
            setattr(g, name, rng.choice([None, [], [np.zeros((1, 2))], np.zeros((1, 2)), "x"]))
        except (TypeError, AttributeError):
            pass
    g._S = rng.choice([0, 3, 10**6])
    gc.collect()
    junk = [np.full((BIG, 2), 7.0) for _ in range(3)]


class Churning(M.PolygonRGJ):
    def _build_segment_cache(self):
        M.PolygonRGJ._build_segment_cache(self)
        churn(self)
        if rng.random() < 0.5:
            self.rings = [np.zeros((4, 2))[::2], np.zeros((2, 2))]
        elif self.rings:
            self.rings[0].shape = (-1, 1)

    def get_dist_matrix(self, **kwargs):
        churn(self)
        return np.eye(2)


class ChurningMulti(M.MultiPolygonRGJ):
    def get_dist_matrix(self, **kwargs):
        churn(self)
        return np.eye(2)


def odd_kernels(g):
    answers = [None, np.ones(3, bool), np.zeros(2), [1, 0, 1], np.zeros((3, 2)), np.ones((1, 2)), "x", np.ones((3, 3))]

    def pir(*args):
        churn(g)
        a = rng.choice(answers)
        return kernels.point_in_rings(*args) if a is None else a

    def srv(*args):
        churn(g)
        a = rng.choice(answers)
        return kernels.segment_repulsion_vectors(*args) if a is None else a

    return types.SimpleNamespace(point_in_rings=pir, segment_repulsion_vectors=srv)


real = M.kernels
for _ in range(40):
    pair = (Churning.__new__(Churning), ChurningMulti.__new__(ChurningMulti))
    attempt(pair[0].__init__, [SQ, HOLE])
    attempt(pair[1].__init__, [[SQ], [HOLE]])
    for g in pair:
        for x in (X, np.repeat(X, 50, axis=0)):
            attempt(g.repulsion_vector, x)
            attempt(g.repulsion_vector, x, Flag(None, lambda: churn(g) or rng.getrandbits(1)))
            attempt(g.set_coordinates, [SQ, HOLE])
            M.kernels = odd_kernels(g)
            attempt(g.repulsion_vector, x)
            M.kernels = real
            exercise(g)
    M.kernels = rng.choice([None, types.SimpleNamespace(), 5])
    for g in instances():
        exercise(g)
    M.kernels = real
""",
}


@pytest.mark.parametrize("batch", list(BATCHES))
def test_garbage_never_crashes(run_garbage, batch):
    run_garbage(PRELUDE + BATCHES[batch], least=200)
