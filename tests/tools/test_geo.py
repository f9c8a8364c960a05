"""Real maps: CRSs, scene-wide repulsion, GeoDataFrames, grids for GIS tools, covariance checks."""

import numpy as np
import pytest

pyproj = pytest.importorskip("pyproj")
gpd = pytest.importorskip("geopandas")
rasterio = pytest.importorskip("rasterio")
xr = pytest.importorskip("xarray")
pytest.importorskip("rioxarray")
import shapely  # noqa: E402

from zelk.field import grid, io  # noqa: E402

# Three features around Berlin, in longitude and latitude.
LONLAT = {
    "type": "FeatureCollection",
    "features": [
        {"type": "Feature", "properties": {"name": "ring"},
         "geometry": {"type": "Polygon", "coordinates": [[[13.3, 52.4], [13.5, 52.4], [13.5, 52.6], [13.3, 52.6], [13.3, 52.4]]]}},
        {"type": "Feature", "properties": {"name": "road", "repulsion": [[4e6, 0], [0, 1e6]]},
         "geometry": {"type": "LineString", "coordinates": [[13.0, 52.3], [13.2, 52.5], [13.1, 52.7]]}},
        {"type": "Feature", "properties": {"name": "tower"}, "geometry": {"type": "Point", "coordinates": [13.6, 52.2]}},
    ],
}


def vertices(member):
    return np.asarray(shapely.get_coordinates(shapely.geometry.shape(member.toRGeoJSON()["geometry"])))


def lonlat_vertices():
    return [np.asarray(shapely.get_coordinates(shapely.geometry.shape(f["geometry"]))) for f in LONLAT["features"]]


@pytest.mark.parametrize("to_crs", ["EPSG:3857", "EPSG:32633", "+proj=laea +lat_0=52 +lon_0=10 +units=m"])
def test_positions_are_projected_as_pyproj_does(to_crs):
    scene = io.load(LONLAT, to_crs=to_crs)
    transformer = pyproj.Transformer.from_crs("EPSG:4326", to_crs, always_xy=True)
    for member, lonlat in zip(scene.rgjs, lonlat_vertices()):
        expected = np.column_stack(transformer.transform(lonlat[:, 0], lonlat[:, 1]))
        assert np.allclose(vertices(member), expected, rtol=1e-12, atol=1e-6)
    assert pyproj.CRS(io.crs_of(scene)) == pyproj.CRS(to_crs)
    assert not io.is_geographic(io.crs_of(scene))


def test_auto_is_the_utm_zone_and_the_crs_survives_dump_and_gdal(tmp_path):
    scene = io.load(LONLAT, to_crs="auto")
    lonlat = gpd.GeoDataFrame.from_features(LONLAT["features"], crs="EPSG:4326")
    assert pyproj.CRS(io.crs_of(scene)) == lonlat.estimate_utm_crs()
    path = tmp_path / "scene.geojson"
    with path.open("w") as fp:
        io.dump(scene, fp)
    back = io.load(path)
    assert io.crs_of(back) == io.crs_of(scene)
    assert all(np.array_equal(vertices(a), vertices(b)) for a, b in zip(back.rgjs, scene.rgjs))
    assert gpd.read_file(path).crs == pyproj.CRS(io.crs_of(scene))  # GDAL reads the legacy member


def test_legacy_crs_member_and_null():
    mercator = dict(LONLAT, crs={"type": "name", "properties": {"name": "urn:ogc:def:crs:EPSG::3857"}})
    back = io.load(mercator, to_crs="EPSG:4326")
    inverse = pyproj.Transformer.from_crs("EPSG:3857", "EPSG:4326", always_xy=True)
    lonlat = lonlat_vertices()[0]
    assert np.allclose(vertices(back.rgjs[0]), np.column_stack(inverse.transform(lonlat[:, 0], lonlat[:, 1])))
    assert io.crs_of(io.load(LONLAT)) == "EPSG:4326"
    assert io.crs_of(io.load(dict(LONLAT, crs=None))) is None


@pytest.mark.parametrize("scale", [3.0, [[4.0, 1.0], [1.0, 2.0]]])
def test_scene_wide_repulsion_fills_members_without_their_own(scale):
    scene = io.load(dict(LONLAT, crs=None), repulsion=scale)
    expected = np.eye(2) * scale**2 if np.isscalar(scale) else np.array(scale)
    ring, road, tower = scene.rgjs
    assert np.array_equal(ring.repulsion, expected) and np.array_equal(tower.repulsion, expected)
    assert np.array_equal(road.repulsion, [[4e6, 0], [0, 1e6]])  # its own wins
    x = np.array([[14.0, 53.0], [13.6, 52.25]])
    d = x - [13.6, 52.2]
    assert np.allclose(tower.eval(x), np.exp(-np.einsum("ni,ij,nj->n", d, np.linalg.inv(expected), d)), rtol=1e-12)


def frame():
    shapes = [shapely.box(0, 0, 2, 1), shapely.LineString([(5, 0), (6, 4)]), shapely.Point(-3, 2), shapely.box(8, 8, 9, 9)]
    scales = [1.0, [[2.0, 0.5], [0.5, 1.0]], 2.0, 0.5]
    return gpd.GeoDataFrame({"name": list("abcd"), "scale": scales}, geometry=shapes, index=[40, 10, 30, 20], crs="EPSG:32633")


def test_geodataframe_in_row_order_maps_back_and_out_again():
    gdf = frame()
    scene = io.load(gdf.assign(scale=1.0), repulsion="scale")
    assert [m.properties[io.INDEX_KEY] for m in scene.rgjs] == gdf.index.tolist()
    assert io.crs_of(scene) == "EPSG:32633"
    queries = np.random.default_rng(3).uniform(-5, 10, (50, 2))
    _, member = scene.squared_dist(queries, True, True, return_reference=True)
    labels = [scene.rgjs[i].properties[io.INDEX_KEY] for i in member]
    nearest = [gdf.distance(shapely.Point(q)).idxmin() for q in queries]
    assert labels == nearest

    scene = io.load(gdf, repulsion="scale")
    assert [np.asarray(m.repulsion).tolist() for m in scene.rgjs] == [
        [[1, 0], [0, 1]], [[2, 0.5], [0.5, 1]], [[4, 0], [0, 4]], [[0.25, 0], [0, 0.25]]
    ]
    back = io.to_geodataframe(scene)
    assert back.crs == gdf.crs and back.index.tolist() == gdf.index.tolist()
    assert back["name"].tolist() == gdf["name"].tolist()
    assert back.geometry.geom_equals(gdf.geometry).all()
    again = io.load(back)  # the repulsion column reads back as each row's matrix
    assert all(np.array_equal(a.repulsion, b.repulsion) for a, b in zip(again.rgjs, scene.rgjs))


@pytest.fixture
def projected_grid():
    scene = io.load(LONLAT, to_crs="EPSG:32633", repulsion=2000.0)
    return grid.evaluate(scene, None, (7, 9), quantities=grid.QUANTITIES)


def test_geotiff_reads_back_in_rasterio(tmp_path, projected_grid):
    field = projected_grid
    field.save(tmp_path / "field.tif")
    with rasterio.open(tmp_path / "field.tif") as raster:
        assert raster.crs == rasterio.crs.CRS.from_user_input("EPSG:32633")
        rows, cols = np.mgrid[0:7, 0:9]
        x, y = rasterio.transform.xy(raster.transform, rows.ravel(), cols.ravel())  # pixel centres
        assert np.allclose(x, field.xs[cols.ravel()], rtol=0, atol=1e-6)
        assert np.allclose(y, field.ys[::-1][rows.ravel()], rtol=0, atol=1e-6)  # north up
        assert raster.descriptions == ("value", "gradient_x", "gradient_y", "squared_dist", "repulsion_x", "repulsion_y")
        bands = raster.read()[:, ::-1]
    expected = [field.value, *np.moveaxis(field.gradient, -1, 0), field.squared_dist, *np.moveaxis(field.repulsion_vector, -1, 0)]
    assert np.array_equal(bands, np.array(expected))


def test_netcdf_npz_and_xarray_round_trip(tmp_path, projected_grid):
    field = projected_grid
    field.save(tmp_path / "field.nc")
    field.save(tmp_path / "field.npz")
    with xr.open_dataset(tmp_path / "field.nc", decode_coords="all") as ds:
        assert ds.rio.crs == rasterio.crs.CRS.from_user_input("EPSG:32633")
        assert np.array_equal(ds["x"], field.xs) and np.array_equal(ds["y"], field.ys)
        for q in grid.QUANTITIES:
            assert np.array_equal(ds[q].values, field[q]), q
        assert np.array_equal(ds["gradient"].sel(component="y"), field.gradient[..., 1])
    saved = np.load(tmp_path / "field.npz")
    assert str(saved["crs"]) == "EPSG:32633" and np.array_equal(saved["value"], field.value)
    with pytest.raises(ValueError, match=".tif, .nc or .npz"):
        field.save(tmp_path / "field.png")


def nested(depth):
    geometry = {"type": "Point", "coordinates": [0, 0]}
    for _ in range(depth):
        geometry = {"type": "GeometryCollection", "geometries": [geometry]}
    return {"type": "FeatureCollection", "features": [{"type": "Feature", "properties": {}, "geometry": geometry}]}


def with_repulsion(matrix):
    feature = {"type": "Feature", "properties": {}, "geometry": {"type": "Point", "coordinates": [0, 0]}}
    return {"type": "FeatureCollection", "features": [feature, dict(feature, properties={"repulsion": matrix})]}


@pytest.mark.parametrize(
    "source, keywords, message",
    [
        (with_repulsion([[-1, 0], [0, -1]]), {}, "feature 1: repulsion matrix [[-1.0, 0.0], [0.0, -1.0]] is not positive definite"),
        (with_repulsion([[1, 2], [2, 1]]), {}, "feature 1: repulsion matrix [[1.0, 2.0], [2.0, 1.0]] is not positive definite"),
        (with_repulsion([[2, 1], [0, 2]]), {}, "feature 1: repulsion matrix [[2.0, 1.0], [0.0, 2.0]] is not symmetric"),
        (with_repulsion(-3), {}, "feature 1: a repulsion scale must be a positive"),
        (with_repulsion([[1, 0], [0, 1]]), {"repulsion": 0.0}, "scene repulsion: a repulsion scale must be a positive"),
        (with_repulsion([[1, 0], [0, 1]]), {"repulsion": "scale"}, "feature 0: no repulsion under 'scale'"),
        (nested(5000), {}, "feature 0: geometry 0: GeometryCollections nested more than"),
    ],
)
def test_bad_input_is_a_geojson_error_naming_the_feature(source, keywords, message):
    with pytest.raises(io.GeoJSONError) as caught:
        io.load(source, **keywords)
    assert str(caught.value).startswith(message)


def test_deep_json_text_and_bad_crs():
    with pytest.raises(io.GeoJSONError, match="nested too deep"):
        io.loads("[" * 100_000)
    with pytest.raises(ValueError, match="unknown CRS"):
        io.load(LONLAT, to_crs="EPSG:99999999")
