import json
import struct
import subprocess
import sys

import numpy as np
import pytest

from zelk.field import io

SCENE = {
    "type": "FeatureCollection",
    "crs": None,  # plain coordinates, not GeoJSON's default longitude and latitude
    "features": [
        {"type": "Feature", "properties": {"repulsion": [[4, 1], [1, 2]]},
         "geometry": {"type": "Polygon", "coordinates": [[[0, 0], [6, 0], [6, 4], [0, 4], [0, 0]], [[2, 1], [3, 1], [3, 2], [2, 1]]]}},
        {"type": "Feature", "properties": {},
         "geometry": {"type": "MultiPoint", "coordinates": [[9, 1, 50], [10, 5, 60]], "repulsion": [[1, 0], [0, 3]]}},
        {"type": "Feature", "properties": {}, "geometry": {"type": "LineString", "coordinates": [[-3, 6], [4, 8], [11, 7]]}},
    ],
}


def run(*args):
    return subprocess.run([sys.executable, "-m", "zelk.field", *map(str, args)], capture_output=True, text=True, timeout=300)


@pytest.fixture
def scene(tmp_path):
    path = tmp_path / "scene.json"
    path.write_text(json.dumps(SCENE))
    return path


def png_size(path):
    header = path.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", header[16:24])


@pytest.mark.parametrize(
    "args, size",
    [((), (1000, 700)), (("--size", "320x200", "--dpi", "50"), (320, 200)),
     (("SCENE", "--explode", "--quantity", "squared_dist", "--bounds", "-5", "-2", "12", "9", "--size", "300x300"), (300, 300))],
)
def test_render_writes_a_png_of_the_asked_size(tmp_path, scene, args, size):
    out = tmp_path / "field.png"
    result = run("render", *[scene if a == "SCENE" else a for a in args], "-o", out)
    assert result.returncode == 0, result.stderr
    assert png_size(out) == size


@pytest.mark.parametrize("points_format, out_format", [("csv-header", "npz"), ("csv", "csv"), ("npy", "npy")])
def test_eval_matches_the_collection(tmp_path, scene, points_format, out_format):
    points = np.random.default_rng(5).uniform(-4, 12, (23, 2))
    source = tmp_path / f"points.{points_format[:3]}"
    if points_format == "npy":
        np.save(source, points)
    else:
        np.savetxt(source, points, delimiter=",", fmt="%.17g", header="x,y" if points_format == "csv-header" else "", comments="")
    out = tmp_path / f"out.{out_format}"
    result = run("eval", scene, source, "-o", out)
    assert result.returncode == 0, result.stderr
    field = io.load(scene)
    expected = np.column_stack([points, field.eval(points), field.gradient(points), field.squared_dist(points), field.repulsion_vector(points)])
    if out_format == "npz":
        saved = np.load(out)
        got = np.column_stack([saved["points"], saved["value"], saved["gradient"], saved["squared_dist"], saved["repulsion_vector"]])
    elif out_format == "csv":
        got = np.loadtxt(out, delimiter=",", skiprows=1)
    else:
        got = np.load(out)
    assert np.array_equal(got, expected)


def test_info_counts_members_vertices_and_segments(scene):
    result = run("info", scene)
    assert result.returncode == 0, result.stderr
    # 5 + 4 closed ring vertices, 2 points, 3 line vertices; 4 + 3 ring segments, 2 line segments
    assert result.stdout.splitlines()[0] == "scene.json: 3 members, 14 vertices, 9 segments"
    assert "[[4, 1], [1, 2]]: 1 member" in result.stdout


UNKNOWN_TYPE = {
    "type": "FeatureCollection",
    "features": [SCENE["features"][2], {"type": "Feature", "geometry": {"type": "Polyline", "coordinates": []}}],
}


def _bad(tmp_path, text):
    path = tmp_path / "bad.json"
    path.write_text(text)
    return path


@pytest.mark.parametrize(
    "make_args, message",
    [
        (lambda t, s: ("info", t / "missing.json"), "missing.json: no such file"),
        (lambda t, s: ("info", _bad(t, '{"type": "Point",\n "coordinates": [1 2]}')), "bad.json: invalid JSON at line 2, column 20"),
        (lambda t, s: ("render", _bad(t, json.dumps(UNKNOWN_TYPE))), "bad.json: feature 1: unknown geometry type 'Polyline'"),
        (lambda t, s: ("info", _bad(t, '{"type": "Point", "coordinates": [1, 2], "repulsion": [[1, 2], [3, 6]]}')), "is singular"),
        (lambda t, s: ("eval", s, _bad(t, "1,2,3\n4,5,6\n"), "-o", t / "out.npy"), "points must be an (n, 2) array"),
        (lambda t, s: ("eval", s, _bad(t, "1,2\n"), "-o", t / "no-such-dir" / "out.csv"), "cannot write"),
        (lambda t, s: ("render", s, "-o", t / "no-such-dir" / "field.png", "--size", "64x64"), "cannot write"),
        (lambda t, s: ("info", _bad(t, '{"type": "Point", "coordinates": [1, 2], "repulsion": [[-1, 0], [0, -1]]}')), "is not positive definite"),
        (lambda t, s: ("info", _bad(t, "[" * 100_000)), "nested too deep"),
        (lambda t, s: ("info", s, "--repulsion", "-2"), "scene repulsion: a repulsion scale must be a positive"),
        (lambda t, s: ("grid", s, "-o", t / "grid.png"), "a grid is written to .tif, .nc or .npz"),
    ],
)
def test_bad_input_is_one_line_and_exit_status_2(tmp_path, scene, make_args, message):
    result = run(*make_args(tmp_path, scene))
    assert result.returncode == 2
    assert result.stderr.startswith("zelk-field: error: ") and result.stderr.count("\n") == 1
    assert message in result.stderr
    assert "Traceback" not in result.stderr


def test_debug_shows_the_traceback(tmp_path):
    assert "Traceback" in run("--debug", "info", tmp_path / "missing.json").stderr


def test_version_and_crs_in_info(tmp_path, scene):
    assert run("--version").stdout.strip() == f"zelk-field {__import__('zelk.field').field.__version__}"
    assert "CRS: none (plain coordinates)" in run("info", scene).stdout
    lonlat = tmp_path / "lonlat.json"
    lonlat.write_text(json.dumps({k: v for k, v in SCENE.items() if k != "crs"}))
    assert "geographic (longitude, latitude in degrees)" in run("info", lonlat).stdout


def test_eval_and_grid_project_and_scale_the_scene(tmp_path):
    pytest.importorskip("pyproj")
    rasterio = pytest.importorskip("rasterio")
    lonlat = tmp_path / "lonlat.json"
    lonlat.write_text(json.dumps({k: v for k, v in SCENE.items() if k != "crs"}))
    options = ("--to-crs", "EPSG:3857", "--repulsion", "3e5,1e5,1e5,2e5")
    field = io.load(lonlat, to_crs="EPSG:3857", repulsion=[[3e5, 1e5], [1e5, 2e5]])
    points = np.random.default_rng(2).uniform(0, 1e6, (9, 2))
    np.save(tmp_path / "points.npy", points)
    result = run("eval", lonlat, tmp_path / "points.npy", "-o", tmp_path / "out.npz", *options)
    assert result.returncode == 0 and "warning" not in result.stderr, result.stderr
    assert np.array_equal(np.load(tmp_path / "out.npz")["value"], field.eval(points))
    result = run("grid", lonlat, "-o", tmp_path / "grid.tif", "--size", "30x20", *options)
    assert result.returncode == 0, result.stderr
    with rasterio.open(tmp_path / "grid.tif") as raster:
        assert (raster.width, raster.height, raster.count) == (30, 20, 3) and raster.crs.to_epsg() == 3857
    assert "longitude/latitude degrees" in run("grid", lonlat, "-o", tmp_path / "grid.npz").stderr
