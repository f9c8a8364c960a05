"""Collections over every geometry class: exports read back, pickles, gradients."""

import pickle

import numpy as np
import pytest

from zelk.field.geometry import _RGJ_TYPES
from zelk.field.geometry.collection import GeometryCollectionRGJ

REP = [[1.5, 0.2], [0.1, 0.8]]

MEMBERS = {
    "Point": dict(coordinates=[1, 2]),
    "MultiPoint": dict(coordinates=[[0, 0], [3, 1], [-2, 4]]),
    "LineString": dict(coordinates=[[0, 0], [2, 3], [4, 0], [4, 0]]),
    "MultiLineString": dict(coordinates=[[[0, 0], [1, 1]], [[5, 5], [6, 5], [6, 8]], [[9, 9]]]),
    "Polygon": dict(coordinates=[[[0, 0], [4, 0], [4, 4], [0, 4]], [[1, 1], [2, 1], [2, 2]]]),
    "MultiPolygon": dict(coordinates=[[[[10, 10], [12, 10], [12, 12]]],
                                      [[[-5, -5], [-4, -5], [-4, -4]], [[-4.8, -4.9], [-4.2, -4.9], [-4.2, -4.3]]]]),
}


def member(kind, repulsion=REP):
    return _RGJ_TYPES[kind](repulsion=repulsion, **MEMBERS[kind])


@pytest.fixture
def x():
    return np.random.default_rng(7).normal(size=(60, 2)) * 6


def test_type_table_maps_every_class():
    assert sorted(_RGJ_TYPES) == sorted(
        ["Point", "MultiPoint", "LineString", "MultiLineString", "Polygon", "MultiPolygon",
         "GeometryCollection"])
    for name, cls in _RGJ_TYPES.items():
        assert cls.RGJType == name


@pytest.mark.parametrize("kind", sorted(MEMBERS))
def test_exported_member_is_rebuilt_exactly(kind, x):
    original = member(kind)
    rebuilt = GeometryCollectionRGJ([original.toRGeoJSON()["geometry"]]).rgjs[0]
    assert type(rebuilt) is type(original)
    for query in ("repulsion_vector", "squared_dist", "eval", "get_center_point"):
        args = () if query == "get_center_point" else (x,)
        np.testing.assert_array_equal(getattr(rebuilt, query)(*args), getattr(original, query)(*args))
    np.testing.assert_array_equal(rebuilt.repulsion, original.repulsion)
    assert bool(rebuilt.in_bbox(x[:1])) == bool(original.in_bbox(x[:1]))


def test_collection_export_reads_back(x):
    c = GeometryCollectionRGJ([member(k).toRGeoJSON()["geometry"] for k in sorted(MEMBERS)],
                              properties={"name": "all"})
    back = GeometryCollectionRGJ(**c.toRGeoJSON()["geometry"])
    for query in ("repulsion_vector", "squared_dist", "gradient", "eval"):
        np.testing.assert_array_equal(getattr(back, query)(x), getattr(c, query)(x))
    np.testing.assert_array_equal(back.bbox, c.bbox)
    np.testing.assert_array_equal(back.get_center_point(), c.get_center_point())


def test_collection_of_every_kind_pickles(x):
    c = GeometryCollectionRGJ([member(k).toRGeoJSON()["geometry"] for k in sorted(MEMBERS)])
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(c, protocol))
        assert [type(m) for m in back.rgjs] == [type(m) for m in c.rgjs]
        np.testing.assert_array_equal(back.gradient(x), c.gradient(x))
        np.testing.assert_array_equal(back.inv_repulsions, c.inv_repulsions)


def numpy_gradient(c, x):
    dists = np.stack([m.squared_dist(x) for m in c.rgjs], axis=1)
    idx = dists.argmin(1)
    v = np.stack([m.repulsion_vector(x) for m in c.rgjs], axis=0).swapaxes(0, 1)
    pick = ((v * np.einsum("ijk,lik->lij", c.inv_repulsions, v)).sum(-1)).argmin(1)
    r = v[np.arange(len(x)), pick]
    e = np.exp(-dists.min(1)).reshape(-1, 1)
    return -e * np.einsum("ijk,ik->ij", c.grad_matrixes[idx], r)


def test_gradient_matches_the_numpy_formulation(x):
    c = GeometryCollectionRGJ([member(k).toRGeoJSON()["geometry"] for k in sorted(MEMBERS)])
    np.testing.assert_allclose(c.gradient(x), numpy_gradient(c, x), rtol=1e-13, atol=1e-300)


@pytest.mark.parametrize("kinds", [("LineString", "Polygon"), ("Point", "MultiLineString", "MultiPolygon")])
def test_gradient_is_the_derivative_of_eval(kinds):
    # The field's gradient treats the repulsion vector's derivative as the
    # identity: exact for points under any repulsion, and for segments (whose
    # vectors are perpendicular offsets) under an isotropic one.
    anisotropic = [[1.2, 0.3], [0.3, 0.9]]
    isotropic = [[1.3, 0.0], [0.0, 1.3]]
    c = GeometryCollectionRGJ([
        member(k, anisotropic if k == "Point" else isotropic).toRGeoJSON()["geometry"] for k in kinds])
    rng = np.random.default_rng(11)
    x = rng.uniform(-8, 14, size=(400, 2))
    h = 1e-6
    numeric = np.stack([(c.eval(x + h * e) - c.eval(x - h * e)) / (2 * h) for e in np.eye(2)], axis=1)
    analytic = c.gradient(x)
    # Finite differences mean nothing at ties and on edges, where the nearest
    # part changes within h; those are a small share of random points.
    agree = np.all(np.abs(numeric - analytic) <= 1e-6 + 1e-5 * np.abs(numeric), axis=1)
    assert agree.mean() > 0.98
