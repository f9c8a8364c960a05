"""PolygonRGJ.in_bbox and repulsion_vector: known cases, shapely and
NumPy oracles, kernels looked up at call time, fast and NumPy routes agreeing."""

import numpy as np
import pytest
import shapely

import zelk.field.geometry.polygon as polygon_module
from helpers import all_offsets, assert_same_bits, nearest_segment
from polygon_oracles import Recorder, random_polygon
from zelk.field.geometry.polygon import MultiPolygonRGJ, PolygonRGJ

UNIT = [[0, 0], [1, 0], [1, 1], [0, 1]]


def box_formula(x, bbox):
    x = np.asarray(x)
    return bool(np.all(x >= bbox[0])) and bool(np.all(x <= bbox[1]))


@pytest.mark.parametrize(
    "x, want",
    [
        ([0, 0], True),
        ([[0, 0], [1, 1]], True),
        ([[0.5, 0.5], [1.5, 0.5]], False),
        (np.zeros((0, 2)), True),
        ([[np.nan, 0.5]], False),
        (np.array([[1, 1]]), True),
        (np.array([[0.5, 0.5]], np.float32), True),
        (np.ones((3, 4, 2)) * 0.5, True),
        (np.asfortranarray([[0.2, 1.0], [0.0, 0.3]]), True),
        (0.5, True),
    ],
)
def test_in_bbox_cases(x, want):
    got = PolygonRGJ(UNIT).in_bbox(x)
    assert got is want and want == box_formula(x, np.array([[0, 0], [1, 1]]))


def test_in_bbox_agrees_with_formula_on_any_box(rng):
    p = PolygonRGJ(UNIT)
    for bbox in (
        rng.normal(size=(2, 2)),
        np.asfortranarray(rng.normal(size=(2, 2))),
        rng.normal(size=(2, 2)).astype(np.float32),
    ):
        p.bbox = bbox
        for _ in range(20):
            x = rng.normal(size=(int(rng.integers(0, 4)), 2))
            assert p.in_bbox(x) is box_formula(x, bbox) is p.in_bbox(x.tolist() if len(x) else x)
    with pytest.raises(ValueError):
        p.in_bbox(np.zeros(0))  # does not broadcast against a box row


def test_unit_square_vectors():
    got = PolygonRGJ(UNIT).repulsion_vector([[0.5, 0.5], [2, 0.5], [0.5, -3]])
    assert got.tolist() == [[0.0, 0.0], [1.0, 0.0], [0.0, -3.0]]
    assert PolygonRGJ(UNIT).repulsion_vector([2, 0.5]).shape == (1, 2)


def test_point_in_a_hole_gets_the_vector_from_the_nearest_edge():
    p = PolygonRGJ([[[0, 0], [10, 0], [10, 10], [0, 10]], [[4, 4], [6, 4], [6, 6], [4, 6]]])
    got = p.repulsion_vector([[4.5, 5.2], [5.2, 5.9], [1, 5]])
    assert got.tolist() == [[0.5, 0.0], [0.0, 5.9 - 6.0], [0.0, 0.0]]


@pytest.mark.parametrize("coords", [[], [[3, 4]], [[]]])
@pytest.mark.parametrize("x", [[1, 2], np.zeros((5, 2)), np.zeros((0, 2)), [[1, 2, 3]]])
def test_no_segments_give_zeros(coords, x):
    got = PolygonRGJ(coords).repulsion_vector(x)
    assert got.dtype == np.float64 and got.shape == (np.atleast_2d(x).shape[0], 2) and not got.any()


def test_selection_flag_and_keywords_change_nothing(rng):
    p = PolygonRGJ(UNIT)
    x = rng.normal(size=(30, 2))
    want = p.repulsion_vector(x)
    for kwargs in ({"min_dist_select": False}, {"foo": 1}, {"min_dist_select": None, "type": "x"}):
        np.testing.assert_array_equal(p.repulsion_vector(x, **kwargs), want)
    np.testing.assert_array_equal(p.repulsion_vector(x, 0), want)


@pytest.mark.parametrize(
    "n_outer, n_holes, n_points", [(3, 0, 40), (12, 2, 7), (40, 3, 64), (40, 3, 65), (200, 5, 3000)]
)
def test_agrees_with_shapely_on_random_polygons(rng, n_outer, n_holes, n_points):
    outer, holes = random_polygon(rng, n_outer, n_holes)
    shape = shapely.Polygon(outer, holes)
    x = rng.uniform(-11, 11, (n_points, 2))
    x = x[shapely.distance(shape.boundary, shapely.points(x)) > 1e-6]
    got = PolygonRGJ([outer] + holes).repulsion_vector(x)
    inside = shapely.contains_xy(shape, x[:, 0], x[:, 1])
    assert (got[inside] == 0).all() and (np.hypot(*got[~inside].T) > 0).all()
    np.testing.assert_allclose(
        np.hypot(*got.T)[~inside], shapely.distance(shape.boundary, shapely.points(x[~inside])), rtol=1e-9
    )
    # Each vector ends on the boundary.
    assert (shapely.distance(shape.boundary, shapely.points(x[~inside] - got[~inside])) < 1e-9).all()


@pytest.mark.parametrize("repulsion", [[[1.0, 0.0], [0.0, 1.0]], [[0.3, 0.1], [0.0, 2.0]], [[5.0, 1.0], [1.0, 0.5]]])
def test_outside_rows_are_the_nearest_segment_under_the_metric(rng, repulsion):
    outer, holes = random_polygon(rng, 30, 3)
    shape = shapely.Polygon(outer, holes)
    p = PolygonRGJ([outer] + holes, repulsion)
    x = rng.uniform(-11, 11, (500, 2))
    x = x[shapely.distance(shape.boundary, shapely.points(x)) > 1e-6]
    got = p.repulsion_vector(x)
    inside = shapely.contains_xy(shape, x[:, 0], x[:, 1])
    want = nearest_segment(x, p._p1, p._v, p._v_dot_v, np.linalg.inv(repulsion))
    want[inside] = 0.0
    assert_same_bits(got, want)


def test_kernels_are_looked_up_at_each_call(monkeypatch):
    p = PolygonRGJ([[[0, 0], [10, 0], [10, 10], [0, 10]], [[4, 4], [6, 4], [6, 6], [4, 6]]], [[2.0, 0], [0, 1]])
    x = np.array([[1.0, 1.0], [20.0, 5.0], [5.0, 5.0], [2.0, 2.0]])
    fake = Recorder()
    monkeypatch.setattr(polygon_module, "kernels", fake)
    got = p.repulsion_vector(x)
    (name1, (xa, outer, holes)), (name2, (xo, p1, v, vdv, metric)) = fake.calls
    assert (name1, name2) == ("point_in_rings", "segment_repulsion_vectors")
    assert xa.dtype == np.float64 and xa is not x and np.array_equal(xa, x)
    assert outer is p.rings[0] and type(holes) is list and holes == p.rings[1:] and holes is not p.rings
    assert xo.flags.c_contiguous and xo.tolist() == [[20.0, 5.0], [5.0, 5.0]]
    assert p1 is p._p1 and v is p._v and vdv is p._v_dot_v and metric is p.metric
    # In the hole the left and right edges are equally near under the metric;
    # the kernel takes the lower segment index, the right edge.
    assert got.tolist() == [[0, 0], [10, 0], [-1, 0], [0, 0]]

    fake.calls.clear()
    p.repulsion_vector(np.array([[1.0, 1.0], [9.0, 9.0]]))
    assert [c[0] for c in fake.calls] == ["point_in_rings"]  # all inside: no segment kernel

    # Whatever the replacements return is used: any truthy values mark inside,
    # and the chosen vectors are written to the outside rows in order.
    monkeypatch.setattr(
        polygon_module,
        "kernels",
        Recorder(inside=lambda x, o, h: np.array([0, 2, 0, 1]), vectors=lambda xo, *a: xo * 10),
    )
    assert p.repulsion_vector(x).tolist() == [[10, 10], [0, 0], [50, 50], [0, 0]]


def adversarial_points(rng, outer, holes):
    """Vertices, edge midpoints, points level with vertices, and random points."""
    rings = [outer] + holes
    verts = np.vstack(rings)
    mids = np.vstack([(r + np.roll(r, -1, axis=0)) / 2 for r in rings])
    level = np.c_[rng.uniform(-11, 11, len(verts)), verts[:, 1]]
    return np.vstack([verts, mids, level, rng.uniform(-11, 11, (300, 2))])


@pytest.mark.parametrize("repulsion", [None, [[0.5, 0.2], [0.1, 3.0]]])
def test_fast_route_equals_the_numpy_route(rng, monkeypatch, repulsion):
    outer, holes = random_polygon(rng, 25, 3)
    outer = np.vstack([outer, [[outer[-1, 0] - 1, outer[-1, 1]]]])  # a horizontal edge
    p = PolygonRGJ([outer] + holes, repulsion)
    pts = adversarial_points(rng, outer, holes)
    batches = [pts, pts[:1], pts[:64], pts[64:129], np.asfortranarray(pts), pts[::-3]] + [
        pts[i : i + 1] for i in range(0, len(pts), 7)
    ]
    fast = [p.repulsion_vector(b) for b in batches]
    monkeypatch.setattr(polygon_module, "kernels", Recorder())
    for b, f in zip(batches, fast):
        assert_same_bits(f, p.repulsion_vector(b))
        assert_same_bits(f, p.repulsion_vector(b.tolist()))


def test_empty_batch_skips_the_segment_kernel(monkeypatch):
    fake = Recorder()
    monkeypatch.setattr(polygon_module, "kernels", fake)
    assert PolygonRGJ(UNIT).repulsion_vector(np.zeros((0, 2))).shape == (0, 2)
    assert [c[0] for c in fake.calls] == ["point_in_rings"]


def test_fields_are_read_at_call_time():
    p = PolygonRGJ(UNIT)
    q = PolygonRGJ([[0, 0], [2, 0], [2, 2], [0, 2]])
    for name in ("rings", "_p1", "_v", "_v_dot_v", "points_in_line_pair"):
        setattr(p, name, getattr(q, name))
    assert p.repulsion_vector([[1.5, 1.5]]).tolist() == [[0, 0]]
    x = np.c_[np.linspace(2.2, 4, 50), np.linspace(-1, 3, 50)[::-1]]
    p.metric = np.array([[1.0, 0.95], [0.95, 1.0]])
    want = nearest_segment(x, q._p1, q._v, q._v_dot_v, p.metric)
    assert_same_bits(p.repulsion_vector(x), want)
    assert (want != nearest_segment(x, q._p1, q._v, q._v_dot_v, np.eye(2))).any()
    p.rings = None
    with pytest.raises(TypeError):
        p.repulsion_vector([[5.0, 5.0]])
    p._S = 0
    assert p.repulsion_vector([[5.0, 5.0]]).tolist() == [[0, 0]]


@pytest.mark.parametrize("n", [1, 5, 48, 49, 64, 65, 128, 129, 300])
@pytest.mark.parametrize("layout", ["as_built", "strided", "nan_segment", "nan_points"])
def test_small_and_large_batches_equal_the_kernels(rng, monkeypatch, n, layout):
    outer, holes = random_polygon(rng, 300, 2)
    p = PolygonRGJ([outer] + holes, [[0.5, 0.2], [0.1, 3.0]])
    x = np.vstack([adversarial_points(rng, outer, holes)] * 2)[rng.permutation(2 * (3 * 306 + 300))[:n]]
    if layout == "strided":
        for name in ("_p1", "_v"):
            setattr(p, name, np.asfortranarray(getattr(p, name)))
        p._v_dot_v = np.repeat(p._v_dot_v, 2)[::2]
        p.rings = [np.asfortranarray(r) for r in p.rings]
    elif layout == "nan_segment":
        p._p1 = p._p1.copy()
        p._p1[rng.integers(0, p._S, 3)] = np.nan
    elif layout == "nan_points":
        x = x.copy()
        x[rng.integers(0, n, 1 + n // 10), rng.integers(0, 2)] = np.nan
    m = MultiPolygonRGJ([])
    m._p1, m._v, m._v_dot_v, m._S, m.inv_repulsion = p._p1, p._v, p._v_dot_v, p._S, p.metric
    fast = [p.repulsion_vector(x), m.repulsion_vector(x), m.repulsion_vector(x, False)]
    monkeypatch.setattr(polygon_module, "kernels", Recorder())
    slow = [p.repulsion_vector(x), m.repulsion_vector(x), all_offsets(x, p._p1, p._v, p._v_dot_v)]
    for f, s in zip(fast, slow):
        assert_same_bits(f, s)


@pytest.mark.parametrize("turn", [1, -1])
def test_signed_zeros_follow_the_kernels_and_numpy(monkeypatch, turn):
    # From (-0.0, 0.0) along -x, a point straight below makes both terms of
    # the dot product -0.0. Summed from 0.0, as NumPy sums, t is +0.0, and
    # that sign reaches the vector: (+0.0, -1.0), not (-0.0, -1.0).
    ring = np.array([[-0.0, 0.0], [-2.0, 0.0], [-2.0, 2.0], [-0.0, 2.0]])[::turn]
    x = np.array([[-0.0, -1.0], [-0.0, -0.0], [1.0, -0.0], [-0.0, 3.0], [0.5, 1.0]] * 30)
    p, m = PolygonRGJ(ring), MultiPolygonRGJ([ring])
    assert_same_bits(m.repulsion_vector(x, False), all_offsets(x, m._p1, m._v, m._v_dot_v))
    if turn == 1:
        assert_same_bits(p.repulsion_vector(x[:1]), np.array([[0.0, -1.0]]))
    for batch in (x[:5], x):
        fast = [p.repulsion_vector(batch), m.repulsion_vector(batch)]
        assert_same_bits(fast[1], nearest_segment(batch, m._p1, m._v, m._v_dot_v, np.eye(2)))
        with monkeypatch.context() as patched:
            patched.setattr(polygon_module, "kernels", Recorder())
            assert_same_bits(fast[0], p.repulsion_vector(batch))
            assert_same_bits(fast[1], m.repulsion_vector(batch))


class ResizingKernels:
    """The kernels module, except that looking up the segment kernel resizes
    the caller's query array in place, freeing the buffer it was read from."""

    def __init__(self, x):
        import zelk.field.kernels as real

        self.real, self.x = real, x

    def __getattr__(self, name):
        if name == "segment_repulsion_vectors":
            self.x.resize((3, 2), refcheck=False)
        return getattr(self.real, name)


def test_query_array_resized_by_a_kernels_stand_in(monkeypatch):
    # A stand-in for the kernels module may run code when a kernel is looked
    # up: the batch is converted before that, as the formulation converts it.
    p = PolygonRGJ(UNIT)
    want = p.repulsion_vector(np.full((5000, 2), 7.0))
    x = np.full((5000, 2), 7.0)
    monkeypatch.setattr(polygon_module, "kernels", ResizingKernels(x))
    np.testing.assert_array_equal(p.repulsion_vector(x), want)
