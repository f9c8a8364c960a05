import ctypes
import os
import time
import pathlib
import textwrap

import numpy as np
import pytest
import shapely

import zelk.field
from zelk.field import kernels

from helpers import assert_same_bits, metric_form, nearest_segment, rings_oracle, segment_candidates
from kernel_oracles import LAYOUTS, in_layout, star_ring

METRICS = {
    "identity": np.eye(2),
    "anisotropic": np.array([[4.0, 0.0], [0.0, 0.25]]),
    "symmetric": np.array([[2.0, 0.7], [0.7, 1.0]]),
    "non_symmetric": np.array([[1.5, 0.9], [-0.4, 0.6]]),
    "indefinite": np.array([[1.0, 0.0], [0.0, -1.0]]),
}


def segments_of(rng, s, scale=10.0):
    p1 = rng.uniform(-scale, scale, (s, 2))
    v = rng.uniform(-scale, scale, (s, 2))
    return p1, v, (v * v).sum(axis=1)


def run_segments(points, p1, v, v_dot_v, metric):
    got = kernels.segment_repulsion_vectors(points, p1, v, v_dot_v, metric)
    assert_same_bits(got, nearest_segment(points, p1, v, v_dot_v, metric))
    return got


# --- segment_repulsion_vectors: values ---------------------------------------


@pytest.mark.parametrize("metric", METRICS.values(), ids=METRICS.keys())
@pytest.mark.parametrize("m, s", [(1, 1), (1, 1000), (7, 3), (200, 50), (333, 257)])
def test_segments_match_numpy_formula(rng, m, s, metric):
    p1, v, vdv = segments_of(rng, s)
    points = rng.uniform(-15.0, 15.0, (m, 2))
    run_segments(points, p1, v, vdv, metric)


@pytest.mark.parametrize("metric", METRICS.values(), ids=METRICS.keys())
def test_ties_go_to_lowest_segment(rng, metric):
    # Small integer coordinates make many candidates exactly equally near.
    p1 = rng.integers(-3, 4, (40, 2)).astype(np.float64)
    v = rng.integers(-2, 3, (40, 2)).astype(np.float64)
    v[(v == 0).all(axis=1)] = (1.0, 0.0)
    vdv = (v * v).sum(axis=1)
    points = rng.integers(-4, 5, (300, 2)).astype(np.float64)
    q = metric_form(segment_candidates(points, p1, v, vdv), metric)
    assert ((q == q.min(axis=1, keepdims=True)).sum(axis=1) > 1).any(), "no tie exercised"
    run_segments(points, p1, v, vdv, metric)


@pytest.mark.parametrize("order", [[0, 1], [1, 0]])
def test_symmetric_tie_picks_first_listed(order):
    # The origin is at distance 1 from both vertical segments.
    p1 = np.array([[1.0, -1.0], [-1.0, -1.0]])[order]
    v = np.array([[0.0, 2.0], [0.0, 2.0]])
    got = kernels.segment_repulsion_vectors(np.zeros((1, 2)), p1, v, np.full(2, 4.0), np.eye(2))
    np.testing.assert_array_equal(got, [[-p1[0, 0], 0.0]])


@pytest.mark.parametrize(
    "where",
    ["point", "p1_of_later_segment", "p1_of_first_segment", "v_dot_v", "metric"],
)
def test_nan_is_selected_as_numpy_argmin_selects_it(rng, where):
    p1, v, vdv = segments_of(rng, 9)
    points = rng.uniform(-15.0, 15.0, (50, 2))
    metric = METRICS["symmetric"].copy()
    if where == "point":
        points[[3, 17], 1] = np.nan
    elif where == "p1_of_later_segment":
        p1[6, 0] = np.nan
    elif where == "p1_of_first_segment":
        p1[0, 1] = np.nan
    elif where == "v_dot_v":
        vdv[4] = np.nan
    else:
        metric[1, 0] = np.nan
    got = run_segments(points, p1, v, vdv, metric)
    if where == "metric":
        # Every form is NaN, so the first segment is chosen for every point.
        assert_same_bits(got, segment_candidates(points, p1, v, vdv)[:, 0])
    else:
        assert np.isnan(got).any()


@pytest.mark.parametrize("v_dot_v", [0.0, 1e-300], ids=["zero", "tiny"])
def test_zero_length_segments(rng, v_dot_v):
    p1, v, vdv = segments_of(rng, 12)
    v[[2, 7]] = 0.0
    vdv[[2, 7]] = v_dot_v
    points = np.vstack([rng.uniform(-15.0, 15.0, (60, 2)), p1[[2, 7]]])
    run_segments(points, p1, v, vdv, METRICS["anisotropic"])


def test_infinite_coordinates(rng):
    p1, v, vdv = segments_of(rng, 10)
    points = rng.uniform(-15.0, 15.0, (20, 2))
    points[0] = (np.inf, 0.0)
    points[1] = (-np.inf, np.inf)
    p1[5] = (1e308, -1e308)
    run_segments(points, p1, v, vdv, METRICS["identity"])


@pytest.mark.parametrize("sign", [-1.0, 1.0])
def test_clip_of_a_signed_zero(sign):
    # t is +-0.0 before the clip, and its sign reaches w through t * v.
    p = np.array([[-0.0, -0.0]])
    p1 = np.array([[-0.0, -0.0]])
    v = np.array([[sign, sign]])
    run_segments(p, p1, v, np.array([2.0]), np.eye(2))


def test_point_on_a_segment_gets_a_zero_vector(rng):
    p1, v, vdv = segments_of(rng, 20)
    t = rng.uniform(0.0, 1.0, 20)
    on = p1 + t[:, None] * v
    got = run_segments(on, p1, v, vdv, METRICS["symmetric"])
    assert np.abs(got).max() <= 1e-12


@pytest.mark.parametrize("layout", LAYOUTS)
def test_any_memory_layout(rng, layout):
    p1, v, vdv = segments_of(rng, 31)
    points = rng.uniform(-15.0, 15.0, (45, 2))
    metric = METRICS["non_symmetric"]
    expected = nearest_segment(points, p1, v, vdv, metric)
    vdv_strided = np.repeat(vdv, 2)[::2]
    got = kernels.segment_repulsion_vectors(
        in_layout(points, layout),
        in_layout(p1, layout),
        in_layout(v, layout),
        vdv_strided if layout == "sliced" else vdv,
        in_layout(metric, layout),
    )
    assert_same_bits(got, expected)


def test_broadcast_points_with_zero_stride(rng):
    p1, v, vdv = segments_of(rng, 5)
    points = np.broadcast_to(np.array([1.5, -2.0]), (4, 2))
    run_segments(points, p1, v, vdv, METRICS["identity"])


# Batches of up to 128 points read the segments in place, 256 at a time, the
# points in groups of 8, 4, 2 and 1; larger batches copy the segments first.


@pytest.mark.parametrize("s", [1, 255, 256, 257, 700])
@pytest.mark.parametrize("m", [1, 2, 3, 7, 8, 15, 128, 129])
def test_segments_every_batch_size_across_blocks(rng, m, s):
    p1, v, vdv = segments_of(rng, s)
    points = rng.uniform(-15.0, 15.0, (m, 2))
    run_segments(points, p1, v, vdv, METRICS["non_symmetric"])


def far_segments(rng, s):
    """Segments far to the right of the unit square: never the nearest."""
    p1 = rng.uniform(50.0, 60.0, (s, 2))
    v = rng.uniform(-1.0, 1.0, (s, 2))
    return p1, v, (v * v).sum(axis=1)


@pytest.mark.parametrize("m", [1, 5, 9, 128, 200])
@pytest.mark.parametrize("left_at, right_at", [(10, 300), (300, 10), (255, 256), (520, 700)])
def test_ties_across_blocks_go_to_the_lowest_index(rng, m, left_at, right_at):
    # Points on the y axis are equally near to the vertical segments at
    # x = -1 and x = 1, whose offsets differ: the lower index must win even
    # when the two lie in different blocks.
    p1, v, vdv = far_segments(rng, 701)
    p1[left_at], v[left_at], vdv[left_at] = (-1.0, -1.0), (0.0, 2.0), 4.0
    p1[right_at], v[right_at], vdv[right_at] = (1.0, -1.0), (0.0, 2.0), 4.0
    points = np.column_stack([np.zeros(m), np.linspace(-0.9, 0.9, m)])
    got = run_segments(points, p1, v, vdv, np.eye(2))
    # From the left segment the offset points right, from the right one left.
    np.testing.assert_array_equal(got[:, 0], 1.0 if left_at < right_at else -1.0)
    assert np.abs(got[:, 1]).max() < 1e-15


@pytest.mark.parametrize("m", [1, 6, 128, 129])
@pytest.mark.parametrize("first_at, second_at", [(10, 300), (300, 10), (256, 255), (3, 699)])
def test_first_nan_form_wins_across_blocks(rng, m, first_at, second_at):
    # Both segments give a NaN form under the identity (0 * inf in each
    # term) but different offsets, (inf, inf) and (inf, -inf), so the result
    # shows which NaN was taken; a nearer segment in block 0 loses to both.
    p1, v, vdv = far_segments(rng, 700)
    p1[0], v[0], vdv[0] = (0.0, 0.0), (1.0, 0.0), 1.0
    p1[first_at], v[first_at], vdv[first_at] = (-np.inf, -np.inf), (1.0, 1.0), 2.0
    p1[second_at], v[second_at], vdv[second_at] = (-np.inf, np.inf), (1.0, -1.0), 2.0
    points = rng.uniform(0.0, 1.0, (m, 2))
    got = run_segments(points, p1, v, vdv, np.eye(2))
    sign = 1.0 if first_at < second_at else -1.0
    np.testing.assert_array_equal(got, np.tile([np.inf, sign * np.inf], (m, 1)))


@pytest.mark.parametrize("sign", [-1.0, 1.0])
@pytest.mark.parametrize("m", [1, 4, 200])
def test_signed_zero_in_a_later_block(rng, sign, m):
    p1, v, vdv = far_segments(rng, 600)
    p1[300], v[300], vdv[300] = (-0.0, -0.0), (sign, sign), 2.0
    points = np.full((m, 2), -0.0)
    got = run_segments(points, p1, v, vdv, np.eye(2))
    assert (np.signbit(got) == np.signbit(segment_candidates(points, p1, v, vdv)[:, 300])).all()


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("m", [3, 128, 130])
def test_any_memory_layout_across_blocks(rng, layout, m):
    p1, v, vdv = segments_of(rng, 600)
    points = rng.uniform(-15.0, 15.0, (m, 2))
    metric = METRICS["indefinite"]
    vdv_strided = np.repeat(vdv, 2)[::2]
    got = kernels.segment_repulsion_vectors(
        in_layout(points, layout),
        in_layout(p1, layout),
        in_layout(v, layout),
        vdv_strided if layout == "sliced" else in_layout(vdv[:, None], layout)[:, 0],
        metric,
    )
    assert_same_bits(got, nearest_segment(points, p1, v, vdv, metric))


@pytest.mark.parametrize(
    "odd_one, layout",
    [("p1", "rows_apart"), ("v", "rows_apart"), ("v_dot_v", "rows_apart"),
     ("p1", "columns_reversed"), ("v", "columns_reversed")],
)
@pytest.mark.parametrize("m", [3, 130])
def test_one_strided_array_among_contiguous_ones(rng, odd_one, layout, m):
    p1, v, vdv = segments_of(rng, 300)
    args = {"p1": p1, "v": v, "v_dot_v": vdv}
    if layout == "rows_apart":
        args[odd_one] = np.repeat(args[odd_one], 2, axis=0)[::2]
    else:
        args[odd_one] = in_layout(args[odd_one], layout)
    points = rng.uniform(-15.0, 15.0, (m, 2))
    metric = METRICS["symmetric"]
    got = kernels.segment_repulsion_vectors(points, *args.values(), metric)
    assert_same_bits(got, nearest_segment(points, p1, v, vdv, metric))


@pytest.mark.parametrize("broadcast", ["all", "p1_only"])
@pytest.mark.parametrize("m", [4, 300])
def test_broadcast_segments_with_zero_stride(rng, broadcast, m):
    s = 400
    p1 = np.broadcast_to(np.array([1.0, -2.0]), (s, 2))
    v = np.broadcast_to(np.array([0.5, 3.0]), (s, 2))
    vdv = np.broadcast_to(np.array([9.25]), (s,))
    if broadcast == "p1_only":
        v = rng.uniform(-3.0, 3.0, (s, 2))
        vdv = (v * v).sum(axis=1)
    points = rng.uniform(-5.0, 5.0, (m, 2))
    run_segments(points, p1, v, vdv, METRICS["symmetric"])


_PRELOAD = os.environ.get("LD_PRELOAD", "")


# AddressSanitizer preloaded into a Python that does not link libstdc++ cannot
# intercept __cxa_throw and aborts on any C++ throw; preloading libstdc++ as
# well makes it work.
@pytest.mark.skipif(
    "asan" in _PRELOAD and "stdc++" not in _PRELOAD,
    reason="C++ exceptions abort under this AddressSanitizer preload",
)
def test_broadcast_segments_too_many_for_memory_raise_memory_error():
    # The segment scratch would exceed any address space: refused before any
    # allocation is attempted.
    rows = 2**58
    p1 = np.broadcast_to(np.zeros(2), (rows, 2))
    v = np.broadcast_to(np.ones(2), (rows, 2))
    vdv = np.broadcast_to(np.full(1, 2.0), (rows,))
    with pytest.raises(MemoryError):
        kernels.segment_repulsion_vectors(np.zeros((1, 2)), p1, v, vdv, np.eye(2))


def test_broadcast_rings_are_a_single_vertex():
    square = np.array([[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0], [0.0, 0.0]])
    endless = np.broadcast_to(np.array([0.5, 0.5]), (2**58, 2))
    points = np.array([[0.5, 0.5], [0.25, 0.75]])
    assert not kernels.point_in_rings(points, endless, []).any()
    assert kernels.point_in_rings(points, square, [endless]).all()


@pytest.mark.parametrize("m", [0, 1, 5])
def test_result_is_a_new_c_contiguous_float64_array(rng, m):
    p1, v, vdv = segments_of(rng, 3)
    points = rng.uniform(-5.0, 5.0, (m, 2))
    got = kernels.segment_repulsion_vectors(points, p1, v, vdv, np.eye(2))
    assert type(got) is np.ndarray
    assert got.shape == (m, 2) and got.dtype == np.float64
    assert got.flags.c_contiguous and got.flags.owndata and got.flags.writeable
    assert not np.shares_memory(got, points)


def test_keywords_are_accepted(rng):
    p1, v, vdv = segments_of(rng, 4)
    points = rng.uniform(-5.0, 5.0, (3, 2))
    got = kernels.segment_repulsion_vectors(points, p1, metric=np.eye(2), v_dot_v=vdv, v=v)
    assert_same_bits(got, nearest_segment(points, p1, v, vdv, np.eye(2)))


# --- point_in_rings -------------------------------------------------------------


def polygon_with_holes(rng, n_outer, n_holes, hole_vertices=12):
    outer = star_ring(rng, n_outer, r_low=8.0, r_high=10.0)
    # Holes on a circle of radius 4, small enough not to touch each other.
    spacing = 8.0 * np.sin(np.pi / n_holes) if n_holes > 1 else 2.0
    r_high = min(0.9, 0.45 * spacing)
    holes = []
    for k in range(n_holes):
        a = 2.0 * np.pi * k / max(n_holes, 1)
        c = (4.0 * np.cos(a), 4.0 * np.sin(a))
        holes.append(star_ring(rng, hole_vertices, center=c, r_low=r_high / 2, r_high=r_high))
    return outer, holes


@pytest.mark.parametrize("n_outer, n_holes", [(3, 0), (10, 1), (50, 5), (2000, 20)])
def test_rings_match_shapely_away_from_the_boundary(rng, n_outer, n_holes):
    outer, holes = polygon_with_holes(rng, n_outer, n_holes)
    polygon = shapely.Polygon(outer, holes)
    assert polygon.is_valid
    points = rng.uniform(-11.0, 11.0, (20000, 2))
    clear = shapely.distance(polygon.boundary, shapely.points(points)) > 1e-9
    shapely.prepare(polygon)
    expected = shapely.contains_xy(polygon, points[:, 0], points[:, 1])
    got = kernels.point_in_rings(points, outer, holes)
    assert got.dtype == np.bool_ and got.shape == (len(points),)
    np.testing.assert_array_equal(got[clear], expected[clear])
    assert expected[clear].any() and not expected[clear].all()


def grid_points(lo, hi, step=0.5):
    g = np.arange(lo, hi + step, step)
    return np.array(np.meshgrid(g, g)).reshape(2, -1).T.copy()


@pytest.mark.parametrize("n_outer", [4, 9, 40, 700])
def test_strip_index_matches_testing_every_edge(rng, n_outer):
    # Integer vertices and half-integer points: many points lie exactly on
    # edges, on vertices and at the height of horizontal edges.
    outer = rng.integers(-10, 11, (n_outer, 2)).astype(np.float64)
    holes = [rng.integers(-6, 7, (rng.integers(3, 9), 2)).astype(np.float64) for _ in range(4)]
    points = np.vstack([grid_points(-11.0, 11.0), rng.uniform(-11.0, 11.0, (3000, 2))])
    got = kernels.point_in_rings(points, outer, holes)
    np.testing.assert_array_equal(got, rings_oracle(points, outer, holes))


@pytest.mark.parametrize("spikes", [50, 400])
def test_edges_spanning_many_strips(rng, spikes):
    # A comb: every tooth's edges span almost the full height, so the index
    # must use fewer strips than edges and stay exact.
    xs = np.arange(spikes, dtype=np.float64)
    tops = np.column_stack([xs, np.full(spikes, 100.0)])
    bottoms = np.column_stack([xs + 0.5, rng.uniform(0.0, 2.0, spikes)])
    teeth = np.empty((2 * spikes, 2))
    teeth[0::2], teeth[1::2] = tops, bottoms
    outer = np.vstack([[[-1.0, -1.0]], teeth, [[spikes + 1.0, -1.0], [-1.0, -1.0]]])
    points = np.column_stack(
        [rng.uniform(-2.0, spikes + 2.0, 20000), rng.uniform(-2.0, 102.0, 20000)]
    )
    got = kernels.point_in_rings(points, outer, [])
    np.testing.assert_array_equal(got, rings_oracle(points, outer, []))


@pytest.mark.parametrize("piece", [1, 7, 16, 17, 48, 49, 500, 5000])
def test_answer_does_not_depend_on_batch_size(rng, piece):
    # Small batches test every edge, larger ones use the strip index, large
    # ones visit the points band by band: all must agree on every point,
    # on-edge and on-vertex points included.
    outer = rng.integers(-10, 11, (60, 2)).astype(np.float64)
    holes = [rng.integers(-6, 7, (7, 2)).astype(np.float64) for _ in range(3)]
    points = np.vstack([grid_points(-11.0, 11.0, 0.25), rng.uniform(-11.0, 11.0, (3000, 2))])
    points[rng.choice(len(points), 50, replace=False), 1] = np.nan
    points = points[rng.permutation(len(points))][: 200 * piece]
    whole = kernels.point_in_rings(points, outer, holes)
    pieces = [kernels.point_in_rings(points[i:i + piece], outer, holes)
              for i in range(0, len(points), piece)]
    np.testing.assert_array_equal(np.concatenate(pieces), whole)
    np.testing.assert_array_equal(whole, rings_oracle(points, outer, holes))


@pytest.mark.parametrize(
    "case",
    ["overlapping_holes", "hole_outside_outer", "hole_crossing_outer", "hole_equals_outer"],
)
def test_holes_are_each_tested_on_their_own(rng, case):
    outer = np.array([[0.0, 0.0], [10.0, 0.0], [10.0, 10.0], [0.0, 10.0], [0.0, 0.0]])
    square = lambda x, y, s: np.array(  # noqa: E731
        [[x, y], [x + s, y], [x + s, y + s], [x, y + s], [x, y]], dtype=np.float64
    )
    holes = {
        "overlapping_holes": [square(2, 2, 4), square(4, 4, 4)],
        "hole_outside_outer": [square(20, 20, 3), square(1, 1, 1)],
        "hole_crossing_outer": [square(8, 8, 5)],
        "hole_equals_outer": [outer.copy()],
    }[case]
    points = np.vstack([grid_points(-1.0, 22.0, 0.25), rng.uniform(-1.0, 22.0, (2000, 2))])
    got = kernels.point_in_rings(points, outer, holes)
    np.testing.assert_array_equal(got, rings_oracle(points, outer, holes))
    if case == "overlapping_holes":
        # Where two holes overlap the point is still outside the polygon.
        assert not kernels.point_in_rings(np.array([[5.0, 5.0]]), outer, holes)[0]


@pytest.mark.parametrize(
    "ring",
    [
        np.zeros((0, 2)),
        np.array([[1.0, 1.0]]),
        np.array([[0.0, 0.0], [5.0, 5.0]]),
        np.array([[0.0, 0.0], [5.0, 0.0], [0.0, 0.0], [5.0, 0.0], [0.0, 0.0]]),
        np.array([[0.0, 0.0], [5.0, 5.0], [5.0, 5.0], [0.0, 0.0]]),
    ],
    ids=["empty", "one_vertex", "two_vertices", "back_and_forth", "repeated"],
)
def test_rings_with_fewer_than_three_distinct_vertices_contain_nothing(ring):
    square = np.array([[-1.0, -1.0], [9.0, -1.0], [9.0, 9.0], [-1.0, 9.0], [-1.0, -1.0]])
    points = grid_points(-2.0, 10.0, 0.25)
    assert not kernels.point_in_rings(points, ring, []).any()
    # As a hole it removes nothing.
    np.testing.assert_array_equal(
        kernels.point_in_rings(points, square, [ring]),
        kernels.point_in_rings(points, square, []),
    )


def test_collinear_ring_with_three_distinct_vertices(rng):
    ring = np.array([[0.0, 0.0], [1.0, 1.0], [3.0, 3.0], [0.0, 0.0]])
    points = np.vstack([grid_points(-1.0, 4.0, 0.5), rng.uniform(-1.0, 4.0, (500, 2))])
    got = kernels.point_in_rings(points, ring, [])
    np.testing.assert_array_equal(got, rings_oracle(points, ring, []))


def test_open_ring_is_closed_implicitly(rng):
    outer, holes = polygon_with_holes(rng, 30, 3)
    points = rng.uniform(-11.0, 11.0, (5000, 2))
    closed = kernels.point_in_rings(points, outer, holes)
    opened = kernels.point_in_rings(points, outer[:-1], [h[:-1] for h in holes])
    np.testing.assert_array_equal(opened, closed)
    assert closed.any()
    # Small batches test the closing edge on its own.
    small = np.concatenate([kernels.point_in_rings(points[i:i + 40], outer[:-1],
                                                   [h[:-1] for h in holes])
                            for i in range(0, 1000, 40)])
    np.testing.assert_array_equal(small, closed[:1000])


def test_non_finite_values(rng):
    outer = rng.integers(-10, 11, (30, 2)).astype(np.float64)
    outer[[4, 11]] = [(np.nan, 3.0), (2.0, np.inf)]
    outer[20] = (-np.inf, -np.inf)
    hole = np.array([[0.0, 0.0], [3.0, np.nan], [4.0, 4.0], [0.0, 5.0]])
    points = np.vstack([grid_points(-11.0, 11.0), rng.uniform(-11.0, 11.0, (2000, 2))])
    points[:40:4, 0] = np.nan
    points[1:40:4, 1] = np.nan
    points[2:40:4] = np.inf
    points[3:40:4, 1] = -np.inf
    got = kernels.point_in_rings(points, outer, [hole])
    np.testing.assert_array_equal(got, rings_oracle(points, outer, [hole]))
    assert not got[:40][np.isnan(points[:40]).any(axis=1)].any()
    small = np.concatenate([kernels.point_in_rings(points[i:i + 8], outer, [hole])
                            for i in range(0, len(points), 8)])
    np.testing.assert_array_equal(small, got)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_rings_any_memory_layout(rng, layout):
    outer, holes = polygon_with_holes(rng, 40, 2)
    points = np.vstack([grid_points(-11.0, 11.0), rng.uniform(-11.0, 11.0, (500, 2))])
    expected = rings_oracle(points, outer, holes)
    got = kernels.point_in_rings(
        in_layout(points, layout),
        in_layout(outer, layout),
        [in_layout(h, layout) for h in holes],
    )
    np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_rings_small_batches_any_memory_layout(rng, layout):
    # Up to 48 points every edge is tested in place: contiguous rings with
    # unit-stride loads, others through their strides. Integer vertices and
    # half-integer points put many points on edges and vertices.
    outer = rng.integers(-10, 11, (60, 2)).astype(np.float64)
    holes = [rng.integers(-6, 7, (7, 2)).astype(np.float64) for _ in range(3)]
    points = grid_points(-11.0, 11.0)
    expected = rings_oracle(points, outer, holes)
    args = (in_layout(outer, layout), [in_layout(h, layout) for h in holes])
    for piece in (1, 5, 48):
        got = np.concatenate([kernels.point_in_rings(in_layout(points[i:i + piece], layout), *args)
                              for i in range(0, len(points), piece)])
        np.testing.assert_array_equal(got, expected)


def test_same_point_same_answer(rng):
    # Points on edges and vertices, each repeated at scattered rows.
    outer = rng.integers(-5, 6, (25, 2)).astype(np.float64)
    base = np.vstack([outer, (outer + np.roll(outer, -1, axis=0)) / 2.0])
    order = rng.permutation(np.repeat(np.arange(len(base)), 5))
    got = kernels.point_in_rings(base[order], outer, [])
    first = kernels.point_in_rings(base, outer, [])
    np.testing.assert_array_equal(got, first[order])
    np.testing.assert_array_equal(kernels.point_in_rings(base, outer, []), first)


@pytest.mark.parametrize("n", [0, 1, 3])
def test_rings_result_is_a_new_bool_array(n):
    square = np.array([[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0], [0.0, 0.0]])
    got = kernels.point_in_rings(np.full((n, 2), 0.5), square, [])
    assert type(got) is np.ndarray and got.dtype == np.bool_ and got.shape == (n,)
    assert got.flags.c_contiguous and got.flags.owndata
    assert got.all()


def test_unit_square_examples():
    square = np.array([[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0], [0.0, 0.0]])
    p1 = square[:-1]
    v = np.diff(square, axis=0)
    points = np.array([[0.5, 0.5], [2.0, 0.5], [0.5, -3.0]])
    inside = kernels.point_in_rings(points, square, [])
    np.testing.assert_array_equal(inside, [True, False, False])
    got = kernels.segment_repulsion_vectors(points[1:], p1, v, (v * v).sum(1), np.eye(2))
    np.testing.assert_array_equal(got, [[1.0, 0.0], [0.0, -3.0]])


# --- argument checking ---------------------------------------------------------


def good_segment_args():
    p1 = np.array([[0.0, 0.0], [1.0, 0.0], [1.0, 1.0]])
    v = np.array([[1.0, 0.0], [0.0, 1.0], [-1.0, -1.0]])
    return {
        "points": np.zeros((4, 2)),
        "p1": p1,
        "v": v,
        "v_dot_v": (v * v).sum(axis=1),
        "metric": np.eye(2),
    }


SEGMENT_ERRORS = [
    ("points", [[0.0, 0.0]], TypeError),
    ("points", np.zeros((4, 2), dtype=np.int64), TypeError),
    ("points", np.zeros((4, 2), dtype=np.float32), TypeError),
    ("points", np.zeros((4, 2), dtype=">f8"), TypeError),
    ("points", np.zeros((4, 2), dtype=object), TypeError),
    ("points", np.zeros(2), ValueError),
    ("points", np.zeros((4, 3)), ValueError),
    ("points", np.zeros((2, 2, 2)), ValueError),
    ("points", np.float64(1.0), TypeError),
    ("p1", np.zeros((0, 2)), ValueError),
    ("p1", np.zeros((3, 2), dtype=np.int32), TypeError),
    ("p1", np.zeros((2, 2)), ValueError),
    ("p1", np.zeros(6), ValueError),
    ("v", np.zeros((4, 2)), ValueError),
    ("v", None, TypeError),
    ("v", np.zeros((3, 1)), ValueError),
    ("v_dot_v", np.ones(2), ValueError),
    ("v_dot_v", np.ones((3, 1)), ValueError),
    ("v_dot_v", np.ones(3, dtype=np.float16), TypeError),
    ("v_dot_v", 1.0, TypeError),
    ("metric", np.eye(3), ValueError),
    ("metric", np.ones(4), ValueError),
    ("metric", [[1.0, 0.0], [0.0, 1.0]], TypeError),
    ("metric", np.eye(2, dtype=np.complex128), TypeError),
]


@pytest.mark.parametrize(
    "name, value, error",
    SEGMENT_ERRORS,
    ids=[f"{case[0]}-{i}" for i, case in enumerate(SEGMENT_ERRORS)],
)
def test_segment_arguments_are_checked(name, value, error):
    args = good_segment_args()
    args[name] = value
    if name == "p1" and value.shape == (0, 2):
        args.update(v=np.zeros((0, 2)), v_dot_v=np.zeros(0))
    with pytest.raises(error, match=rf"\b{name}\b"):
        kernels.segment_repulsion_vectors(*args.values())


SQUARE = np.array([[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0], [0.0, 0.0]])

RING_ERRORS = [
    ("points", np.zeros((3, 2), dtype=np.float32), TypeError, "points"),
    ("points", np.zeros((3, 1)), ValueError, "points"),
    ("points", "garbage", TypeError, "points"),
    ("outer", SQUARE.astype(np.int64), TypeError, "outer"),
    ("outer", SQUARE.ravel(), ValueError, "outer"),
    ("outer", SQUARE.tolist(), TypeError, "outer"),
    ("holes", (SQUARE,), TypeError, "holes"),
    ("holes", SQUARE, TypeError, "holes"),
    ("holes", None, TypeError, "holes"),
    ("holes", [SQUARE, None], TypeError, r"holes\[1\]"),
    ("holes", [SQUARE.astype(np.float32)], TypeError, r"holes\[0\]"),
    ("holes", [np.zeros((3, 3))], ValueError, r"holes\[0\]"),
    ("holes", [SQUARE, SQUARE.tolist()], TypeError, r"holes\[1\]"),
]


@pytest.mark.parametrize(
    "name, value, error, pattern",
    RING_ERRORS,
    ids=[f"{case[0]}-{i}" for i, case in enumerate(RING_ERRORS)],
)
def test_ring_arguments_are_checked(name, value, error, pattern):
    args = {"points": np.zeros((3, 2)), "outer": SQUARE, "holes": []}
    args[name] = value
    with pytest.raises(error, match=pattern):
        kernels.point_in_rings(*args.values())


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: kernels.point_in_rings(np.zeros((1, 2)), SQUARE), "missing 1 required"),
        (lambda: kernels.point_in_rings(np.zeros((1, 2)), SQUARE, [], []), "takes 3 positional"),
        (lambda: kernels.segment_repulsion_vectors(), "missing 5 required"),
        (lambda: kernels.point_in_rings(np.zeros((1, 2)), SQUARE, [], x=1), "unexpected keyword"),
    ],
)
def test_argument_counts(call, message):
    with pytest.raises(TypeError, match=message):
        call()


FUZZ = textwrap.dedent(
    """
    import numpy as np
    from zelk.field import kernels

    rng = np.random.default_rng(20240611)
    specials = [0.0, -0.0, 1.0, -1.0, 0.5, np.nan, np.inf, -np.inf, 1e308, 5e-324]
    dtypes = [np.float32, np.int64, np.bool_, object, ">f8", np.complex128]

    def values(shape):
        # float64 of the given shape in a random memory layout.
        a = rng.choice(specials, shape) if rng.random() < 0.5 else rng.normal(size=shape)
        layout = rng.integers(5)
        if layout == 1:
            a = np.asfortranarray(a)
        elif layout == 2 and a.ndim:
            a = np.ascontiguousarray(a[::-1])[::-1]
        elif layout == 3 and a.ndim and a.shape[0]:
            a = np.broadcast_to(a[:1], a.shape)
        elif layout == 4:
            a = np.repeat(a, 2, axis=-1)[..., ::2] if a.ndim else a
        return a

    def garbage():
        kind = int(rng.integers(6))
        if kind == 0:
            nd = int(rng.integers(0, 4))
            return values(tuple(int(x) for x in rng.choice([0, 1, 2, 3], nd)))
        if kind == 1:
            return np.zeros((3, 2), dtype=dtypes[int(rng.integers(len(dtypes)))])
        return [None, 1, "x", [values((3, 2)), None], (), 2.5, [1, 2]][int(rng.integers(7))]

    def segment_args():
        s, m = int(rng.integers(1, 7)), int(rng.integers(0, 7))
        return [values((m, 2)), values((s, 2)), values((s, 2)), values((s,)), values((2, 2))]

    def ring_args():
        n, k = int(rng.integers(0, 9)), int(rng.integers(0, 7))
        holes = [values((int(rng.integers(0, 6)), 2)) for _ in range(int(rng.integers(0, 3)))]
        return [values((n, 2)), values((k, 2)), holes]

    done = {"segments": 0, "rings": 0}
    for _ in range(20000):
        name = "segments" if rng.random() < 0.5 else "rings"
        f = kernels.segment_repulsion_vectors if name == "segments" else kernels.point_in_rings
        args = segment_args() if name == "segments" else ring_args()
        for i in range(len(args)):
            if rng.random() < 0.15:
                args[i] = garbage()
        if rng.random() < 0.05:
            args = args[: int(rng.integers(len(args)))] + [None] * int(rng.integers(2))
        try:
            out = f(*args)
        except (TypeError, ValueError):
            continue
        assert out.shape[0] == args[0].shape[0]
        done[name] += 1
    print("ok", done["segments"], done["rings"])
    """
)


def test_garbage_never_crashes(run_python):
    # A crash in the kernels would take pytest down with it: run elsewhere.
    proc = run_python(FUZZ)
    assert proc.returncode == 0, f"rc={proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    word, segments, rings = proc.stdout.split()
    # Most calls are valid, so the kernels themselves run on the odd values too.
    assert word == "ok" and int(segments) > 1000 and int(rings) > 1000


# --- the numeric core without the module ----------------------------------------


@pytest.fixture(scope="session")
def core():
    """The core's C test entry points, built with the modules' flags when the
    build is configured with ZELK_BUILD_TESTS (dev-build and CI do)."""
    path = os.environ.get("ZELK_CORE_HARNESS")
    if path is None:
        found = [p for d in zelk.field.__path__ for p in sorted(pathlib.Path(d).glob("_core_harness.*"))]
        if not found:
            pytest.skip("the core test harness was not built (configure with -DZELK_BUILD_TESTS=ON)")
        path = found[0]
    return ctypes.CDLL(str(path))


def view_args(a):
    return [ctypes.c_void_p(a.ctypes.data), ctypes.c_long(a.shape[0]),
            ctypes.c_long(a.strides[0]), ctypes.c_long(a.strides[1])]


def pointer(a):
    assert a.flags.c_contiguous and a.dtype == np.float64
    return ctypes.c_void_p(a.ctypes.data)


def nearest_point_oracle(queries, pts, metric):
    diff = pts[None, :, :] - queries[:, None, :]
    with np.errstate(all="ignore"):
        a0 = diff[..., 0] * metric[0, 0] + diff[..., 1] * metric[1, 0]
        a1 = diff[..., 0] * metric[0, 1] + diff[..., 1] * metric[1, 1]
        q = a0 * diff[..., 0] + a1 * diff[..., 1]
    return diff[np.arange(len(queries)), np.argmin(q, axis=1)]


@pytest.mark.parametrize("metric", METRICS.values(), ids=METRICS.keys())
@pytest.mark.parametrize("n, p, kind", [(1, 1, "random"), (50, 33, "random"), (80, 30, "ties"),
                                        (40, 10, "nan"), (0, 4, "random")])
def test_core_nearest_point(core, rng, metric, n, p, kind):
    if kind == "ties":
        queries = rng.integers(-3, 4, (n, 2)).astype(np.float64)
        pts = rng.integers(-3, 4, (p, 2)).astype(np.float64)
    else:
        queries = rng.uniform(-5.0, 5.0, (n, 2))
        pts = rng.uniform(-5.0, 5.0, (p, 2))
    if kind == "nan":
        pts[6, 0] = np.nan
        queries[2, 1] = np.nan
    out = np.full((n, 2), -7.0)
    q_view = np.asfortranarray(queries)
    p_view = in_layout(pts, "sliced")
    assert core.harness_nearest_point(*view_args(q_view), *view_args(p_view),
                                      pointer(np.ascontiguousarray(metric)), pointer(out)) == 0
    assert_same_bits(out, nearest_point_oracle(queries, pts, metric))


@pytest.mark.parametrize("metric", METRICS.values(), ids=METRICS.keys())
@pytest.mark.parametrize("kind", ["random", "duplicates", "grid"])
@pytest.mark.parametrize("use_index", [1, 0])
def test_core_point_index_gives_the_scans_index_and_form(core, rng, metric, kind, use_index):
    """Index, form and offset of the chosen point; exact ties (duplicates too) to the lowest index."""
    if kind == "random":
        pts, queries = rng.normal(size=(700, 2)), rng.normal(size=(120, 2))
    elif kind == "duplicates":
        pts = rng.normal(size=(40, 2))[rng.integers(0, 40, 700)]
        queries = np.concatenate([pts[:60], rng.normal(size=(60, 2))])
    else:
        pts = rng.permutation(np.stack(np.meshgrid(np.arange(30.0), np.arange(25.0)), -1).reshape(-1, 2))
        queries = rng.integers(-2, 60, (120, 2)) / 2.0
    diff = pts[None, :, :] - queries[:, None, :]
    a0 = diff[..., 0] * metric[0, 0] + diff[..., 1] * metric[1, 0]
    a1 = diff[..., 0] * metric[0, 1] + diff[..., 1] * metric[1, 1]
    forms = a0 * diff[..., 0] + a1 * diff[..., 1]
    want = np.argmin(forms, axis=1)
    n, lo, hi = len(queries), 5, len(queries) - 7  # only the rows [lo, hi) are written
    offsets, index, form = np.full((n, 2), -7.0), np.full(n, -7, dtype=np.int64), np.full(n, -7.0)
    assert core.harness_point_index(*view_args(np.asfortranarray(queries)), *view_args(in_layout(pts, "sliced")),
                                    pointer(np.ascontiguousarray(metric)), ctypes.c_int(use_index),
                                    ctypes.c_long(lo), ctypes.c_long(hi), pointer(offsets),
                                    ctypes.c_void_p(index.ctypes.data), pointer(form)) == 0
    rows = np.arange(lo, hi)
    np.testing.assert_array_equal(index[rows], want[rows])
    assert_same_bits(form[rows], forms[rows, want[rows]])
    assert_same_bits(offsets[rows], diff[rows, want[rows]])
    untouched = np.r_[:lo, hi:n]
    assert (index[untouched] == -7).all() and (form[untouched] == -7).all() and (offsets[untouched] == -7).all()


@pytest.mark.parametrize("change, reused", [
    (lambda p: p.copy(), True), (lambda p: in_layout(p, "sliced"), True), (lambda p: p[:-1], False),
    (lambda p: np.where(p == 0.0, -0.0, p), False),  # equal values, other bits: other offsets
    (lambda p: np.nextafter(p, np.inf), False),
])
def test_core_point_index_reused_only_for_the_same_bits(core, rng, change, reused):
    pts = rng.normal(size=(50, 2))
    pts[7, 1] = 0.0
    assert core.harness_point_index_same_source(*view_args(pts), *view_args(change(pts))) == int(reused)


@pytest.mark.parametrize("n, p", [(1, 1), (13, 7), (0, 3)])
def test_core_point_offsets_are_point_major(core, rng, n, p):
    queries = rng.uniform(-5.0, 5.0, (n, 2))
    pts = rng.uniform(-5.0, 5.0, (p, 2))
    out = np.full((p * n, 2), -7.0)
    assert core.harness_point_offsets(*view_args(in_layout(queries, "reversed")),
                                      *view_args(pts), pointer(out)) == 0
    assert_same_bits(out, (pts[:, None, :] - queries[None, :, :]).reshape(-1, 2))


@pytest.mark.parametrize("m, s", [(1, 1), (17, 9), (64, 3), (0, 2)])
def test_core_segment_offsets_are_segment_major(core, rng, m, s):
    p1, v, vdv = segments_of(rng, s)
    if s > 2:
        v[1] = 0.0
        vdv[1] = 0.0
    points = rng.uniform(-15.0, 15.0, (m, 2))
    out = np.full((s * m, 2), -7.0)
    assert core.harness_segment_offsets(*view_args(in_layout(points, "sliced")),
                                        pointer(p1), pointer(v), pointer(vdv), ctypes.c_long(s),
                                        pointer(out)) == 0
    expected = segment_candidates(points, p1, v, vdv).transpose(1, 0, 2).reshape(-1, 2)
    assert_same_bits(out, expected)


@pytest.mark.parametrize("n", [1, 3, 200])
def test_core_nearest_with_no_candidate_gives_nan_rows(core, rng, n):
    queries = rng.uniform(-5.0, 5.0, (n, 2))
    metric = pointer(np.eye(2))
    none = np.zeros((0, 2))
    out = np.full((n, 2), -7.0)
    assert core.harness_nearest_point(*view_args(queries), *view_args(none), metric,
                                      pointer(out)) == 0
    assert np.isnan(out).all()
    out = np.full((n, 2), -7.0)
    assert core.harness_nearest_segment(*view_args(queries), pointer(none), pointer(none),
                                        pointer(np.zeros(0)), ctypes.c_long(0), metric,
                                        pointer(out)) == 0
    assert np.isnan(out).all()


@pytest.mark.parametrize("m, s", [(1, 1), (5, 300), (128, 600), (129, 600)])
def test_core_nearest_segment_on_strided_queries(core, rng, m, s):
    p1, v, vdv = segments_of(rng, s)
    points = rng.uniform(-15.0, 15.0, (m, 2))
    metric = METRICS["non_symmetric"]
    out = np.full((m, 2), -7.0)
    assert core.harness_nearest_segment(*view_args(in_layout(points, "sliced")), pointer(p1),
                                        pointer(v), pointer(vdv), ctypes.c_long(s),
                                        pointer(np.ascontiguousarray(metric)), pointer(out)) == 0
    assert_same_bits(out, nearest_segment(points, p1, v, vdv, metric))


def task_count(at_most=None):
    """Threads of this process; with `at_most`, waits up to 2 s for the count
    to drop to it, since a joined thread may leave /proc a moment later."""
    deadline = time.monotonic() + 2.0
    while True:
        count = len(os.listdir("/proc/self/task"))
        if at_most is None or count <= at_most or time.monotonic() > deadline:
            return count
        time.sleep(0.01)


@pytest.mark.parametrize("n, threads, pieces, fail_at", [
    (1000, 4, 4, -1), (1001, 3, 7, -1), (5, 8, 100, -1), (1000, 1, 4, -1),
    (1000, 4, 4, 0), (1000, 3, 9, 999), (1000, 4, 16, 500)])
def test_core_parallel_for_covers_rows_and_joins_every_thread(core, n, threads, pieces, fail_at):
    hits = np.zeros(n, dtype=np.int64)
    before = task_count()
    rc = core.harness_parallel_for(ctypes.c_long(n), ctypes.c_int(threads), ctypes.c_long(pieces),
                                   ctypes.c_long(fail_at), hits.ctypes.data_as(ctypes.c_void_p))
    assert task_count(at_most=before) <= before
    if fail_at < 0:
        assert rc == 0 and (hits == 1).all()
    else:
        # The failure comes back; no row ran twice and the failing row ran.
        assert rc == 1 and hits.max() == 1 and hits[fail_at] == 1
