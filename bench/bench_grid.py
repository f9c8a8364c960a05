"""The world map on a grid against a raster pipeline and against exact distances.

Run after installing the package:  python bench/run.py --only grid
The field of the world's countries (no repulsion: identity metrics, value
exp(-d^2) with d the distance to the nearest country, 0 inside) on the
1001 x 2001 grid of grid.default_bounds, against

- rasterize + EDT: rasterio burns the polygons into pixels centred on the grid
  points (all_touched=True), scipy's Euclidean distance transform of the
  outside with the grid's spacing as sampling gives d, np.gradient the
  gradient: fast, and off by up to about a pixel, which the note reports;
- shapely's STRtree: the exact nearest distance, on a sample of the grid
  points, scaled to the whole grid.

Answers are compared before the timings count: the grid against the
collection's own methods bit for bit on a sample, the STRtree's distances
against ours, the raster's distances against ours within its error.
"""

import importlib.util
import os

import numpy as np
import shapely

from _timing import best_time, record
from zelk.field import grid, io

DEFAULT_WORLD = os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data", "countries.geo.json")


def raster_field(polygons, xs, ys, with_gradient):
    """value (and gradient) of exp(-d^2) from rasterize + EDT on the grid xs x ys."""
    from rasterio import features
    from rasterio.transform import Affine
    from scipy import ndimage

    dx, dy = xs[1] - xs[0], ys[1] - ys[0]
    # Row i, column j has its centre at (xs[j], ys[i]): rows run up in y, as the grid's do.
    transform = Affine(dx, 0.0, xs[0] - dx / 2, 0.0, dy, ys[0] - dy / 2)
    inside = features.rasterize(((p, 1) for p in polygons), out_shape=(len(ys), len(xs)),
                                transform=transform, all_touched=True, dtype=np.uint8)
    d = ndimage.distance_transform_edt(inside == 0, sampling=(dy, dx))
    value = np.exp(-d * d)
    if not with_gradient:
        return d, value, None
    gy, gx = np.gradient(value, dy, dx)
    return d, value, np.stack([gx, gy], axis=-1)


def world_grid(path, quick):
    if not path or not os.path.exists(path):
        print(f"grid: skipped, no file at {path!r} (give it with --world PATH)")
        return
    scene = io.load(path, explode=True)
    bounds = grid.default_bounds(scene)
    shape = (101, 201) if quick else (1001, 2001)
    xs, ys = grid.axes(bounds, shape)
    rings = [m.rings for m in scene.rgjs]
    polygons = [{"type": "Polygon", "coordinates": [r.tolist() for r in rs]} for rs in rings]
    label = f"world grid {shape[0]}x{shape[1]} ({len(scene.rgjs)} polygons)"

    # Ours, checked against the collection's own methods on a sample of grid points.
    fields = grid.evaluate(scene, bounds, shape, quantities=("value", "gradient", "squared_dist"), progress=False)
    rng = np.random.default_rng(11)
    i, j = rng.integers(0, shape[0], 2000), rng.integers(0, shape[1], 2000)
    sample = np.c_[xs[j], ys[i]]
    assert np.array_equal(fields.value[i, j], scene.eval(sample))
    assert np.array_equal(fields.gradient[i, j], scene.gradient(sample))
    assert np.array_equal(fields.squared_dist[i, j], scene.squared_dist(sample))
    ours_d = np.sqrt(fields.squared_dist)
    pixel = max(xs[1] - xs[0], ys[1] - ys[0])

    def ours(quantities):
        return lambda: grid.evaluate(scene, bounds, shape, quantities=quantities, progress=False)

    t_value = best_time(ours(("value",)), repeat=3)
    t_gradient = best_time(ours(("value", "gradient")), repeat=3)

    if importlib.util.find_spec("rasterio") is None or importlib.util.find_spec("scipy") is None:
        print("grid: raster rows skipped, rasterio or scipy is missing (pip install 'zelk-field[test]')")
    else:
        d, value, gradient = raster_field(polygons, xs, ys, with_gradient=True)
        finite = np.isfinite(ours_d)
        err_px = float(np.abs(d - ours_d)[finite].max() / pixel)
        # The raster is an approximation: within a couple of pixels of ours, never further.
        assert err_px < 2.0, err_px
        # |d/dd exp(-d^2)| <= sqrt(2/e): the values differ by at most that times the distances.
        assert np.abs(value - fields.value).max() <= np.sqrt(2.0 / np.e) * err_px * pixel + 1e-12
        value_err = float(np.abs(value - fields.value).max())
        note = f"raster distance off by up to {err_px:.2f} px of {pixel:.3g}, value by {value_err:.2g}"
        t_raster = best_time(lambda: raster_field(polygons, xs, ys, False), repeat=3)
        record(f"{label} value", "raster+EDT", t_value, t_raster, ">= 0.5", note)
        grad_err = np.abs(gradient - fields.gradient).max(axis=-1)
        t_raster_g = best_time(lambda: raster_field(polygons, xs, ys, True), repeat=3)
        record(f"{label} value and gradient", "raster+EDT", t_gradient, t_raster_g, ">= 0.5",
               f"{note}, gradient by {grad_err.max():.2g} (99% within {np.percentile(grad_err, 99):.2g})")

    # shapely's exact distances on a sample of the grid, scaled to all of it.
    tree = shapely.STRtree([shapely.Polygon(rs[0], rs[1:]) for rs in rings])
    n = 1000 if quick else 20_000
    k = rng.choice(shape[0] * shape[1], n, replace=False)
    pts = shapely.points(np.c_[xs[k % shape[1]], ys[k // shape[1]]])

    def strtree_value():
        _, dist = tree.query_nearest(pts, return_distance=True, all_matches=False)
        return np.exp(-dist * dist)

    _, dist = tree.query_nearest(pts, return_distance=True, all_matches=False)
    np.testing.assert_allclose(dist * dist, fields.squared_dist.ravel()[k], rtol=1e-7, atol=1e-9)
    scale = shape[0] * shape[1] / n
    record(f"{label} value", "STRtree", t_value, best_time(strtree_value, repeat=3) * scale, ">= 100",
           f"exact distances on 1/{scale:.0f} of the points, scaled; tree built beforehand")


def main(quick=False, world_path=DEFAULT_WORLD):
    world_grid(world_path, quick)


if __name__ == "__main__":
    main()
