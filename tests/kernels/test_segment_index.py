"""Batches large enough for the segment index: its answer must be the one of
testing every segment, bit for bit, whatever the scene, metric or values."""

import ctypes

import numpy as np
import pytest

from helpers import metric_form, segment_candidates
from kernel_oracles import star_ring
from test_kernels import METRICS, core, pointer, run_segments, segments_of, view_args  # noqa: F401

INDEX_METRICS = dict(
    METRICS,
    singular=np.array([[1.0, 1.0], [1.0, 1.0]]),
    nearly_singular=np.array([[1.0, 1.0], [1.0, 1.0 + 2.0**-30]]),
    nan=np.array([[np.nan, 0.0], [0.0, 1.0]]),
    infinite=np.array([[np.inf, 0.0], [0.0, 1.0]]),
    tiny=np.eye(2) * 1e-200,
    huge=np.array([[3e250, 1e250], [0.0, 2e250]]),
)


def scene(rng, kind, s=400, m=300):
    """Segments (p1, v, v_dot_v as the caches build them) and query points."""
    if kind == "random":
        p1, v, _ = segments_of(rng, s)
        points = rng.uniform(-15.0, 15.0, (m, 2))
    elif kind == "ring":
        ring = star_ring(rng, s, r_low=0.2)
        p1, v = ring[:-1], np.diff(ring, axis=0)
        points = rng.uniform(-1.2, 1.2, (m, 2))
    elif kind == "lattice":
        # Collinear, overlapping, repeated and zero-length segments on small
        # integers, queried on a half-integer lattice: many exact ties.
        p1 = rng.integers(-4, 5, (s, 2)).astype(np.float64)
        v = rng.integers(-2, 3, (s, 2)).astype(np.float64)
        v[rng.random(s) < 0.3, 1] = 0.0
        p1[s // 2:] = p1[: s - s // 2]
        points = rng.integers(-10, 11, (m, 2)) / 2.0
    elif kind in ("smooth", "smooth_offset"):
        # A finely sampled wavy ring (thin pieces, pruned by their turned
        # rectangles), queried just off it, where rounding decides.
        a = np.linspace(0.0, 2.0 * np.pi, 16 * s + 1)
        ring = (1.0 + 0.05 * np.sin(7.0 * a))[:, None] * np.c_[np.cos(a), np.sin(a)]
        if kind == "smooth_offset":
            ring = ring + 1e6
        p1, v = ring[:-1], np.diff(ring, axis=0)
        i = rng.integers(0, len(p1), m)
        normal = np.c_[-v[i, 1], v[i, 0]] / np.hypot(v[i, 0], v[i, 1])[:, None]
        near = rng.choice([0.0, 1e-12, 1e-9, 1e-4, 0.3], m)[:, None] * rng.choice([-1.0, 1.0], (m, 1))
        points = p1[i] + rng.random((m, 1)) * v[i] + near * normal
    elif kind == "comb":
        # Long thin spikes side by side, enough of them for turned
        # rectangles: the pieces near a point are many.
        a = np.sort(rng.uniform(0.0, 2.0 * np.pi, 16 * s))
        ring = rng.uniform(0.8, 1.0, (16 * s, 1)) * np.c_[np.cos(a), np.sin(a)]
        p1, v = ring, np.roll(ring, -1, axis=0) - ring
        points = rng.uniform(0.85, 1.05, (m, 1)) * np.c_[np.cos(a[: m] + 1e-5), np.sin(a[: m] + 1e-5)]
    elif kind == "rings":
        # Outlines of every length one after the other, in no spatial order.
        parts = []
        for k in rng.integers(1, 40, 60):
            centre, r = rng.uniform(-10.0, 10.0, 2), rng.uniform(0.1, 2.0)
            a = np.linspace(0.0, 2.0 * np.pi, k + 1)
            parts.append(centre + r * np.c_[np.cos(a), np.sin(a)])
        p1 = np.concatenate([q[:-1] for q in parts])
        v = np.concatenate([np.diff(q, axis=0) for q in parts])
        points = rng.uniform(-12.0, 12.0, (m, 2))
    else:  # on edges and vertices
        p1, v, _ = segments_of(rng, s)
        i = rng.integers(0, s, m)
        t = np.where(rng.random(m) < 0.5, rng.integers(0, 2, m), rng.random(m))
        points = p1[i] + t[:, None] * v[i]
    vdv = (v * v).sum(axis=1)
    vdv[vdv <= 0.0] = 1.0
    return np.ascontiguousarray(p1), np.ascontiguousarray(v), vdv, points


@pytest.mark.parametrize("metric", INDEX_METRICS.values(), ids=INDEX_METRICS.keys())
@pytest.mark.parametrize(
    "kind", ["random", "ring", "lattice", "on_segments", "smooth", "smooth_offset", "comb", "rings"])
def test_index_matches_every_segment(rng, kind, metric):
    p1, v, vdv, points = scene(rng, kind)
    if kind == "lattice" and np.isfinite(metric).all():
        q = metric_form(segment_candidates(points, p1, v, vdv), metric)
        assert ((q == q.min(axis=1, keepdims=True)).sum(axis=1) > 1).any(), "no tie exercised"
    run_segments(points, p1, v, vdv, metric)


@pytest.mark.parametrize(
    "case", ["nan_points", "infinite_points", "huge_points", "nan_segment", "zero_v_dot_v",
             "huge_segments", "tiny_scale"])
@pytest.mark.parametrize("metric", ["identity", "anisotropic", "non_symmetric"])
def test_index_with_extreme_values(rng, case, metric):
    p1, v, vdv, points = scene(rng, "random")
    if case == "nan_points":
        points[::7, rng.integers(0, 2)] = np.nan
    elif case == "infinite_points":
        points[::5] = (np.inf, -3.0)
    elif case == "huge_points":
        points[::3] *= np.array([1e160, 1e300])[rng.integers(0, 2, (len(points[::3]), 1))]
    elif case == "nan_segment":
        p1[37, 1] = np.nan
    elif case == "zero_v_dot_v":
        v[[5, 90]] = 0.0
        vdv[[5, 90]] = 0.0
    elif case == "huge_segments":
        p1 *= 1e152
        v *= 1e152
        points *= 1e152
        vdv = (v * v).sum(axis=1)
    else:
        p1 *= 1e-160
        v *= 1e-160
        points *= 1e-160
        vdv = (v * v).sum(axis=1)
    run_segments(points, p1, v, vdv, METRICS[metric])


def call_index(core, points, p1, v, vdv, metric, begin, end, source):
    m = len(points)
    chosen = np.full(m, -7, dtype=np.int64)
    form = np.full(m, -7.0)
    out = np.full((m, 2), -7.0)
    same = ctypes.c_int(-1)
    assert core.harness_segment_index(
        *view_args(points), pointer(p1), pointer(v), pointer(vdv), ctypes.c_long(len(p1)),
        pointer(np.ascontiguousarray(metric)), ctypes.c_long(begin), ctypes.c_long(end),
        ctypes.c_void_p(chosen.ctypes.data), pointer(form), pointer(out),
        *[pointer(a) for a in source], ctypes.byref(same)) == 0
    return chosen, form, out, same.value


@pytest.mark.parametrize("metric", ["identity", "anisotropic", "indefinite"])
@pytest.mark.parametrize("kind", ["random", "lattice"])
def test_index_reports_choice_and_form_for_a_row_range(core, rng, kind, metric):
    p1, v, vdv, points = scene(rng, kind, s=300, m=200)
    metric = METRICS[metric]
    chosen, form, out, same = call_index(core, points, p1, v, vdv, metric, 50, 170,
                                         (p1.copy(), v.copy(), vdv.copy()))
    w = segment_candidates(points, p1, v, vdv)
    q = metric_form(w, metric)
    rows = np.arange(50, 170)
    expected = np.argmin(q, axis=1)[rows]
    np.testing.assert_array_equal(chosen[rows], expected)
    np.testing.assert_array_equal(form[rows], q[rows, expected])
    np.testing.assert_array_equal(out[rows], w[rows, expected])
    outside = np.r_[0:50, 170:200]
    assert (chosen[outside] == -7).all() and (form[outside] == -7.0).all()
    assert (out[outside] == -7.0).all()
    assert same == 1


@pytest.mark.parametrize("change", ["p1", "v", "v_dot_v", "sign_of_zero", "nan_payload"])
def test_index_notices_a_changed_source(core, rng, change):
    p1, v, vdv, points = scene(rng, "lattice", s=100, m=4)
    source = {"p1": p1.copy(), "v": v.copy(), "v_dot_v": vdv.copy()}
    if change == "sign_of_zero":
        p1[p1 == 0.0] = -0.0
        source["p1"][p1 == 0.0] = 0.0
    elif change == "nan_payload":
        p1[3, 0] = np.nan
        source["p1"][3, 0] = -np.nan
    else:
        source[change].reshape(-1)[rng.integers(0, source[change].size)] += 1.0
    _, _, _, same = call_index(core, points, p1, v, vdv, np.eye(2), 0, 4,
                               (source["p1"], source["v"], source["v_dot_v"]))
    assert same == 0


@pytest.mark.parametrize("metric", ["identity", "anisotropic", "non_symmetric"])
@pytest.mark.parametrize("kind", ["random", "lattice"])
def test_large_batches_with_scattered_non_finite_rows(rng, kind, metric):
    p1, v, vdv, points = scene(rng, kind, s=300, m=2500)
    points[rng.integers(0, len(points), 40), rng.integers(0, 2, 40)] = np.nan
    points[rng.integers(0, len(points), 10)] = (np.inf, 1.0)
    run_segments(points, p1, v, vdv, METRICS[metric])
