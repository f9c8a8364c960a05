import io as stdio

import numpy as np
import pytest
import shapely

from zelk.field import io
from zelk.field.geometry import (
    GeometryCollectionRGJ,
    LineStringRGJ,
    MultiLineStringRGJ,
    MultiPointRGJ,
    MultiPolygonRGJ,
    PointRGJ,
    PolygonRGJ,
)

ANISO = [[2.0, 0.5], [0.5, 1.0]]
GEOMETRIES = [
    PointRGJ([1, 2], ANISO, {"name": "p"}),
    MultiPointRGJ([[0, 0], [1, 3], [4, -1]]),
    LineStringRGJ([[0, 0], [1, 1], [2, 0]], ANISO),
    MultiLineStringRGJ([[[0, 0], [1, 1]], [[3, 3], [4, 4], [5, 3]]], [[1, 0], [0, 3]]),
    PolygonRGJ([[[0, 0], [4, 0], [4, 4], [0, 4]], [[1, 1], [2, 1], [2, 2]]], ANISO),
    MultiPolygonRGJ([[[[0, 0], [1, 0], [1, 1]]], [[[5, 5], [6, 5], [6, 6]]]], properties={"a": 1}),
]
GEOMETRIES.append(GeometryCollectionRGJ([g.toRGeoJSON()["geometry"] for g in GEOMETRIES], {"name": "all"}))
QUERIES = np.random.default_rng(7).uniform(-2, 8, (64, 2))


@pytest.mark.parametrize("geometry", GEOMETRIES, ids=lambda g: type(g).__name__)
def test_dumps_loads_round_trip_answers_equally(geometry):
    back = io.loads(io.dumps(geometry))
    for query in ("squared_dist", "eval", "repulsion_vector"):
        assert np.array_equal(getattr(back, query)(QUERIES), getattr(geometry, query)(QUERIES)), query
    if isinstance(geometry, GeometryCollectionRGJ):
        assert np.array_equal(back.gradient(QUERIES), geometry.gradient(QUERIES))
        assert back.properties == geometry.properties
    else:
        assert back.rgjs[0].properties == geometry.properties
        assert np.array_equal(back.rgjs[0].repulsion, geometry.repulsion)


def _point_feature(xy, geometry_repulsion=None, property_repulsion=None):
    geometry = {"type": "Point", "coordinates": xy}
    if geometry_repulsion is not None:
        geometry["repulsion"] = geometry_repulsion
    properties = {"id": xy} if property_repulsion is None else {"id": xy, "repulsion": property_repulsion}
    return {"type": "Feature", "properties": properties, "geometry": geometry}


@pytest.mark.parametrize(
    "geometry_repulsion, property_repulsion, expected",
    [(None, None, np.eye(2)), (ANISO, None, ANISO), (None, ANISO, ANISO), ([[3, 0], [0, 3]], ANISO, [[3, 0], [0, 3]])],
)
def test_feature_repulsion_from_geometry_then_properties(geometry_repulsion, property_repulsion, expected):
    features = [_point_feature([1.0, -1.0], geometry_repulsion, property_repulsion), _point_feature([9.0, 9.0])]
    field = io.load({"type": "FeatureCollection", "features": features})
    near = field.rgjs[0]
    assert near.properties["id"] == [1.0, -1.0]
    d = QUERIES - [1.0, -1.0]
    expected_value = np.exp(-np.einsum("ni,ij,nj->n", d, np.linalg.inv(expected), d))
    assert np.allclose(near.eval(QUERIES), expected_value, rtol=1e-12, atol=0)


def test_third_values_are_dropped_not_regrouped():
    flat = {"type": "MultiLineString", "coordinates": [[[0, 0], [3, 1], [4, 4]], [[6, 0], [7, 2]]]}
    lifted = {"type": "MultiLineString", "coordinates": [[p + [100.0 * i] for i, p in enumerate(line)] for line in flat["coordinates"]]}
    assert np.array_equal(io.load(lifted).squared_dist(QUERIES), io.load(flat).squared_dist(QUERIES))


@pytest.mark.parametrize("explode", [False, True])
def test_shapely_geo_interface_and_explode(explode):
    shape = shapely.MultiPolygon(
        [shapely.Polygon([(0, 0), (4, 0), (4, 4), (0, 4)], [[(1, 1), (2, 1), (2, 2), (1, 2)]]), shapely.box(5, 5, 7, 6)]
    )
    field = io.load(shape, explode=explode)
    assert len(field.rgjs) == (2 if explode else 1)
    # Exploded parts are polygons (zero inside); a multi polygon answers from its boundary.
    reference = shape if explode else shape.boundary
    expected = shapely.distance(shapely.points(QUERIES), reference) ** 2
    assert np.allclose(field.squared_dist(QUERIES), expected, rtol=1e-9, atol=1e-12)


def test_path_file_objects_and_text_agree(tmp_path):
    path = tmp_path / "scene.json"
    path.write_text(io.dumps(GEOMETRIES[-1]))
    loaded = [io.load(path), io.load(str(path)), io.load(stdio.StringIO(path.read_text())), io.load(path.open("rb"))]
    for field in loaded:
        assert np.array_equal(field.gradient(QUERIES), GEOMETRIES[-1].gradient(QUERIES))


FC = '{"type": "FeatureCollection", "features": [%s]}'
GOOD = '{"type": "Feature", "properties": {}, "geometry": {"type": "Point", "coordinates": [0, 0]}}'


@pytest.mark.parametrize(
    "text, message",
    [
        (FC % (GOOD + ', {"type": "Feature", "geometry": {"type": "Polyline", "coordinates": []}}'), "scene.json: feature 1: unknown geometry type 'Polyline'"),
        (FC % (GOOD + ',' + GOOD.replace("[0, 0]", "[[0, 0]]")), "scene.json: feature 1: a position must"),
        (FC % GOOD.replace('"coordinates"', '"repulsion": [[1, 2], [2, 4]], "coordinates"'), "scene.json: feature 0: repulsion matrix [[1.0, 2.0], [2.0, 4.0]] is singular"),
        (FC % GOOD.replace('"properties": {}', '"properties": {"repulsion": [[1, 0, 0], [0, 1, 0]]}'), "scene.json: feature 0: repulsion must be a 2x2 matrix"),
        (FC % GOOD.replace('"Point", "coordinates": [0, 0]', '"LineString", "coordinates": [[0, 0]]'), "scene.json: feature 0: a LineString needs at least 2"),
        ('{"type": "FeatureCollection",\n "features": [,]}', "scene.json: invalid JSON at line 2, column 15"),
        (FC % "", "scene.json: no geometries"),
    ],
)
def test_errors_name_the_file_and_the_feature(tmp_path, text, message):
    (tmp_path / "scene.json").write_text(text)
    with pytest.raises(io.GeoJSONError) as caught:
        io.load(tmp_path / "scene.json")
    assert str(caught.value).startswith(str(tmp_path / message))
    assert isinstance(caught.value, ValueError)


def test_missing_file(tmp_path):
    with pytest.raises(io.GeoJSONError, match="nothere.json: no such file"):
        io.load(tmp_path / "nothere.json")
