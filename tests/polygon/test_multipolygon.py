"""MultiPolygonRGJ: members, joined segment cache, box, centre, in_bbox and the
selecting and unselected repulsion_vector."""

import numpy as np
import pytest

import zelk.field.geometry.polygon as polygon_module
from helpers import all_offsets, assert_same_bits, nearest_segment
from polygon_oracles import Recorder, assert_fields, random_polygon, reference_polygon
from zelk.field.geometry.polygon import MultiPolygonRGJ, PolygonRGJ

SQ = [[0, 0], [1, 0], [1, 1], [0, 1]]
SQ2 = [[3, 0], [4, 0], [4, 1], [3, 1]]


def random_multi(rng, repulsion=None):
    members = [
        [o + shift] + [h + shift for h in hs]
        for shift, (o, hs) in zip(([0, 0], [25, 5], [-5, 30]), (random_polygon(rng, 15, k) for k in (0, 2, 1)))
    ]
    return MultiPolygonRGJ(members, repulsion), members


def test_two_squares():
    props, rep = {"k": 1}, np.array([[1.0, 0.0], [0.0, 1.0]])
    m = MultiPolygonRGJ([SQ, SQ2], rep, props)
    assert m._S == 8 and m.bbox.tolist() == [[0, 0], [4, 1]]
    np.testing.assert_array_equal(
        m.points_in_line_pair, np.concatenate([PolygonRGJ(SQ).points_in_line_pair, PolygonRGJ(SQ2).points_in_line_pair])
    )
    assert all(type(p) is PolygonRGJ and p.properties is props for p in m.polygons)
    assert m.properties is props and m.coordinates is None and not hasattr(m, "metric")
    got = m.repulsion_vector([[2, 0.5], [0.5, 0.5]])
    assert abs(got[0, 0]) == 1.0 and got[0, 1] == 0.0 and np.hypot(*got[1]) == 0.5
    assert m.repulsion_vector([2, 0.5]).shape == (1, 2)


def test_members_and_cache_follow_the_construction_steps(rng):
    m, members = random_multi(rng, [[2.0, 0.3], [0.0, 0.5]])
    for p, coords in zip(m.polygons, members):
        assert_fields(p, reference_polygon(coords, [[2.0, 0.3], [0.0, 0.5]]))
    pilp = np.concatenate([p.points_in_line_pair for p in m.polygons])
    np.testing.assert_array_equal(m.points_in_line_pair, pilp)
    np.testing.assert_array_equal(m._p1, pilp[:, 0])
    np.testing.assert_array_equal(m._v, pilp[:, 1] - pilp[:, 0])
    np.testing.assert_array_equal(m._v_dot_v, (m._v**2).sum(1))
    assert m._p1.flags.c_contiguous and m._v.flags.c_contiguous and m._S == len(pilp)
    boxes = np.array([p.bbox for p in m.polygons]).reshape(-1, 2)
    np.testing.assert_array_equal(m.bbox, [boxes.min(0), boxes.max(0)])


def test_defaults_give_each_member_its_own_matrices_and_dict():
    m = MultiPolygonRGJ([SQ, SQ2])
    a, b = m.polygons
    assert len({id(m.properties), id(a.properties), id(b.properties)}) == 3
    assert m.repulsion.tolist() == a.repulsion.tolist() == [[1, 0], [0, 1]] and m.grad_matrix.tolist() == [
        [2, 0],
        [0, 2],
    ]
    assert MultiPolygonRGJ([SQ], None, None, 3).repulsion.shape == (3, 3)


def test_empty_member_adds_no_segment_but_its_zero_box():
    m = MultiPolygonRGJ([[[5, 5], [6, 5], [6, 6]], []])
    assert m._S == 3 and m.bbox.tolist() == [[0, 0], [6, 6]]


@pytest.mark.parametrize("coords", [[], [[]], [[], [[7, 7]]]])
def test_no_segments(coords):
    class NoMetric(MultiPolygonRGJ):
        def get_dist_matrix(self, **kwargs):
            raise AssertionError("not needed")

    m = NoMetric(coords)
    assert m._S == 0 and m.points_in_line_pair.shape == (0, 2, 2) and m._v_dot_v.shape == (0,)
    assert m.repulsion_vector(np.ones((4, 2))).tolist() == [[0, 0]] * 4
    assert m.repulsion_vector(np.ones((4, 2)), False).shape == (4, 2)
    if not coords:
        assert m.bbox.tolist() == [[0, 0], [0, 0]]


@pytest.mark.parametrize("repulsion", [None, [[0.4, 0.1], [0.2, 2.0]]])
def test_selected_vectors_ignore_insideness(rng, repulsion):
    m, _ = random_multi(rng, repulsion)
    x = rng.uniform(-15, 40, (400, 2))
    assert_same_bits(m.repulsion_vector(x), nearest_segment(x, m._p1, m._v, m._v_dot_v, m.get_dist_matrix()))
    m.set_repulsion([[1.0, 0.9], [0.0, 1.0]])  # the base setter; the metric is fetched per call
    assert_same_bits(m.repulsion_vector(x), nearest_segment(x, m._p1, m._v, m._v_dot_v, m.inv_repulsion))
    assert m.polygons[0].metric.tolist() != m.inv_repulsion.tolist()


def test_unselected_vectors_are_every_segment_for_every_point(rng):
    m, _ = random_multi(rng)
    x = rng.uniform(-15, 40, (37, 2))
    want = all_offsets(x, m._p1, m._v, m._v_dot_v)
    for flag in (False, 0, None, ""):
        assert_same_bits(m.repulsion_vector(x, flag), want)
    one = MultiPolygonRGJ([SQ])
    assert one.repulsion_vector([[2, 0.5]], min_dist_select=False).tolist() == [[1, 0.5], [1, 0], [1, -0.5], [2, 0]]


def broadcast_formula(x, p1, v, vdv):
    w = x[None, :, :] - p1[:, None, :]
    t = np.clip((w * v[:, None, :]).sum(2) / vdv[:, None], 0.0, 1.0)
    return (x[None, :, :] - (p1[:, None, :] + t[..., None] * v[:, None, :])).reshape(-1, 2)


def outcome(f, *args):
    try:
        return f(*args)
    except Exception as e:
        return type(e)


@pytest.mark.parametrize("shape", [(1, 1, 2), (2, 3, 2), (4, 1, 1), (1, 8, 1, 2), (3, 1)])
def test_unselected_numpy_route_broadcasts_as_numpy_does(rng, shape):
    m = MultiPolygonRGJ([SQ, SQ2])
    x = rng.normal(size=shape)
    got = outcome(m.repulsion_vector, x, False)
    want = outcome(broadcast_formula, np.atleast_2d(x), m._p1, m._v, m._v_dot_v)
    assert got is want if isinstance(want, type) else np.array_equal(got, want)


def test_unselected_numpy_route_for_odd_cache_arrays(rng):
    m = MultiPolygonRGJ([SQ, SQ2])
    m._v_dot_v = m._v_dot_v.astype(np.float32)
    x = rng.normal(size=(5, 2))
    assert_same_bits(m.repulsion_vector(x, False), broadcast_formula(x, m._p1, m._v, m._v_dot_v))
    m._v = m._v[:3]
    with pytest.raises(ValueError):
        m.repulsion_vector(x, False)


def test_kernel_gets_the_converted_batch_as_is(monkeypatch):
    m = MultiPolygonRGJ([SQ, SQ2], [[2.0, 0], [0, 1]])
    fake = Recorder()
    monkeypatch.setattr(polygon_module, "kernels", fake)
    x = np.asfortranarray(np.arange(8.0).reshape(4, 2))
    want = nearest_segment(x, m._p1, m._v, m._v_dot_v, m.inv_repulsion)
    assert_same_bits(m.repulsion_vector(x), want)
    m.repulsion_vector(np.zeros((0, 2)))
    (_, (xa, p1, v, vdv, metric)), (_, (empty, *_)) = fake.calls
    assert xa.flags.f_contiguous and not xa.flags.c_contiguous and xa is not x
    assert p1 is m._p1 and v is m._v and vdv is m._v_dot_v and metric is m.inv_repulsion
    assert empty.shape == (0, 2)
    monkeypatch.setattr(polygon_module, "kernels", Recorder(vectors=lambda x, *a: x + 1))
    assert m.repulsion_vector([[1, 2]]).tolist() == [[2, 3]]


def test_center_point():
    centred = [[[c[0] - 1, c[1] - 1], [c[0] + 1, c[1] - 1], [c[0] + 1, c[1] + 1]] for c in ((0, 0), (2, 0), (10, 4))]
    m = MultiPolygonRGJ(centred)
    assert m.get_center_point().tolist() == [5.0, 2.0]
    m.polygons = [m.polygons[0], PolygonRGJ([[1.0, 2.0]])]  # centres (0, 0) and (1, 2)
    assert m.get_center_point().tolist() == [0.5, 1.0]
    with pytest.raises(ValueError):
        MultiPolygonRGJ([]).get_center_point()
    m.polygons = None
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        m.get_center_point()


def test_in_bbox_needs_one_member_holding_the_whole_batch():
    m = MultiPolygonRGJ([SQ, SQ2])
    assert m.in_bbox([[0.5, 0.5], [3.5, 0.5]]) is False
    assert m.in_bbox([[3.5, 0.5], [4, 1]]) is True
    assert MultiPolygonRGJ([]).in_bbox([0, 0]) is False
    m.polygons = None
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        m.in_bbox([0, 0])


def test_set_coordinates_and_keywords():
    props = {}
    m = MultiPolygonRGJ(
        coordinates=[SQ], repulsion=[[2.0, 0.0], [0.0, 2.0]], properties=props, type="MultiPolygon", x=1
    )
    assert m.set_coordinates([SQ, SQ2]) is None
    assert m._S == 8 and m.properties is props and m.polygons[1].properties is props
    assert m.repulsion.tolist() == [[2, 0], [0, 2]]
    m.repulsion = np.eye(3)
    m.set_coordinates([SQ])
    assert m.polygons[0].repulsion.shape == (3, 3)
    m.repulsion = None
    with pytest.raises(TypeError):
        m.set_coordinates([SQ2])
    assert m._S == 4


def test_failures_assign_nothing_before_members_are_built():
    m = MultiPolygonRGJ([SQ])
    before = (m.polygons, m.repulsion, m._p1)
    for bad, error in ((5, TypeError), ([SQ, "x"], TypeError), ([SQ], np.linalg.LinAlgError)):
        with pytest.raises(error):
            m.__init__(bad, [[1, 1], [1, 1]] if error is np.linalg.LinAlgError else None)
        assert all(a is b for a, b in zip((m.polygons, m.repulsion, m._p1), before))
    with pytest.raises(np.linalg.LinAlgError):
        m.__init__([], [[1, 1], [1, 1]])
    assert m.polygons == [] and m.repulsion.tolist() == [[1, 1], [1, 1]] and m._p1 is before[2]


def test_attribute_rules():
    m = MultiPolygonRGJ([SQ])
    with pytest.raises(TypeError, match="Expected list, got tuple"):
        m.polygons = ()
    with pytest.raises(NotImplementedError, match="__del__"):
        del m._S
    del m._p1
    assert m._p1 is None
    fresh = MultiPolygonRGJ.__new__(MultiPolygonRGJ)
    assert fresh._S == 0 and fresh.polygons is None and fresh.points_in_line_pair is None


def test_boxes_and_centre_keep_numpys_sign_of_zero(rng):
    # NumPy's min(0) and max(0) give a tie to the later row, which decides the
    # sign of a zero bound, and the centre is the mean of the two bounds.
    for _ in range(20):
        members = [rng.choice([0.0, -0.0, 1.0, -1.0], (int(rng.integers(3, 7)), 2)) for _ in range(3)]
        m = MultiPolygonRGJ(members)
        for p in m.polygons:
            rows = np.vstack(p.rings)
            assert_same_bits(p.bbox, np.array([rows.min(0), rows.max(0)]))
        boxes = np.array([p.bbox for p in m.polygons]).reshape(-1, 2)
        assert_same_bits(m.bbox, np.array([boxes.min(0), boxes.max(0)]))
        centers = np.array([p.get_center_point() for p in m.polygons])
        assert_same_bits(m.get_center_point(), np.array([centers.min(0), centers.max(0)]).mean(0))


def test_centre_of_member_centres_sums_from_positive_zero():
    # mean(0) adds from +0.0: two -0.0 centres give +0.0, as NumPy gives.
    m = MultiPolygonRGJ([[[[-0.0, 1.0]]], [[[-0.0, 3.0]]]])
    centers = np.array([p.get_center_point() for p in m.polygons])
    want = np.array([centers.min(0), centers.max(0)]).mean(0)
    assert_same_bits(m.get_center_point(), want)
