"""Large batches on rings that a horizontal line crosses many times: the
crossing tree must give, bit for bit, the even-odd rule over every edge."""

import ctypes

import numpy as np
import pytest

from helpers import rings_oracle
from kernel_oracles import star_ring
from test_kernels import core, pointer, view_args  # noqa: F401
from zelk.field import kernels


def spiky(rng, n, kind):
    if kind == "star":
        return star_ring(rng, n, r_low=0.2)
    if kind == "self_crossing":
        # Vertices in random order: edges cross each other everywhere.
        ring = rng.uniform(-1.0, 1.0, (n, 2))
    else:
        # Spikes on a small lattice: shared, repeated and collinear vertices,
        # horizontal and vertical edges.
        ang = 2 * np.pi * np.arange(n) / n
        r = rng.integers(2, 9, n)
        ring = np.round(np.c_[np.cos(ang), np.sin(ang)] * r[:, None] * 4) / 4
    return np.ascontiguousarray(np.vstack([ring, ring[:1]]))


def queries(rng, ring, m):
    lo, hi = ring.min(0), ring.max(0)
    pts = rng.uniform(lo - 0.1, hi + 0.1, (m, 2))
    k = m // 4
    i = rng.integers(0, len(ring) - 1, k)
    t = rng.choice([0.0, 0.5, rng.random()], (k, 1))
    pts[:k] = ring[i] + t * (ring[i + 1] - ring[i])  # vertices, midpoints, on edges
    pts[k : 2 * k] = np.round(pts[k : 2 * k] * 4) / 4  # the lattice's own heights
    pts[2 * k, 1] = np.nan
    pts[2 * k + 1] = (np.inf, 0.0)
    pts[2 * k + 2] = (-np.inf, 0.0)
    return pts


@pytest.mark.parametrize("kind", ["star", "self_crossing", "lattice"])
@pytest.mark.parametrize("with_hole", [False, True])
def test_many_crossings_match_every_edge(rng, kind, with_hole):
    ring = spiky(rng, 4000, kind)
    holes = [spiky(rng, 1500, kind) * 0.5] if with_hole else []
    pts = queries(rng, ring, 12000)
    got = kernels.point_in_rings(pts, ring, holes)
    expected = np.concatenate(
        [rings_oracle(pts[s : s + 400], ring, holes) for s in range(0, len(pts), 400)]
    )
    np.testing.assert_array_equal(got.astype(bool), expected)


@pytest.mark.parametrize("kind", ["star", "self_crossing", "lattice"])
@pytest.mark.parametrize("with_hole", [False, True])
def test_kept_index_answers_a_row_range_and_notices_changes(core, rng, kind, with_hole):
    ring = spiky(rng, 3000, kind)
    hole = spiky(rng, 800, kind) * 0.5 if with_hole else np.zeros((0, 2))
    pts = queries(rng, ring, 3000)
    inside = np.full(len(pts), 7, dtype=np.uint8)
    changed = ring.copy()
    changed[rng.integers(0, len(ring)), 1] += 2.0**-40
    for outer2, same_expected in ((ring.copy(), 1), (changed, 0)):
        same = ctypes.c_int(-1)
        assert core.harness_ring_index(
            *view_args(pts), pointer(ring), ctypes.c_long(len(ring)), pointer(hole),
            ctypes.c_long(len(hole)), ctypes.c_long(100), ctypes.c_long(2900),
            ctypes.c_void_p(inside.ctypes.data), pointer(outer2), ctypes.byref(same)) == 0
        assert same.value == same_expected
    expected = rings_oracle(pts[100:2900], ring, [hole] if with_hole else [])
    np.testing.assert_array_equal(inside[100:2900].astype(bool), expected)
    assert (inside[:100] == 7).all() and (inside[2900:] == 7).all()
