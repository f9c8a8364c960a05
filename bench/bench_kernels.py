"""Speed of zelk.field.kernels against the same computation in NumPy (the
nearest-segment selection) and in shapely (point in polygon with holes).

Run after installing the package:  python bench/run.py (or this file alone)
Prints ratios measured side by side in one run (higher means zelk is faster).
"""

import numpy as np
import shapely

from _timing import compare
from zelk.field import kernels


def numpy_segment_repulsion(points, p1, v, v_dot_v, metric, block=2048):
    """The nearest-segment offsets in NumPy, in blocks of points so that the
    (points, segments, 2) temporaries stay in memory."""
    out = np.empty((len(points), 2))
    for start in range(0, len(points), block):
        x = points[start:start + block]
        diff = x[:, None, :] - p1[None, :, :]
        t = np.clip((diff[..., 0] * v[:, 0] + diff[..., 1] * v[:, 1]) / v_dot_v, 0.0, 1.0)
        w = x[:, None, :] - (p1 + t[..., None] * v)
        a0 = metric[0, 0] * w[..., 0] + metric[0, 1] * w[..., 1]
        a1 = metric[1, 0] * w[..., 0] + metric[1, 1] * w[..., 1]
        q = w[..., 0] * a0 + w[..., 1] * a1
        out[start:start + block] = w[np.arange(len(x)), q.argmin(axis=1)]
    return out


def star(rng, n, center, r_low, r_high):
    """A ring with one vertex per equal angular sector at a random radius:
    jagged, many edges cross each horizontal line."""
    angles = (np.arange(n) + rng.uniform(0.0, 1.0, n)) * (2.0 * np.pi / n)
    radii = rng.uniform(r_low, r_high, n)
    ring = np.column_stack([center[0] + radii * np.cos(angles),
                            center[1] + radii * np.sin(angles)])
    return np.vstack([ring, ring[:1]])


def wavy(n):
    """A smooth wavy outline of radius about 9: few edges cross each line."""
    angles = np.linspace(0.0, 2.0 * np.pi, n, endpoint=False)
    radii = 9.0 + 0.5 * np.sin(7.0 * angles)
    ring = np.column_stack([radii * np.cos(angles), radii * np.sin(angles)])
    return np.vstack([ring, ring[:1]])


def main(quick=False):
    rng = np.random.default_rng(0)
    metric = np.linalg.inv(np.array([[2.0, 0.3], [0.1, 0.5]]))
    sizes = ((1, 10), (1, 1000), (1000, 1000), (100_000, 1000))
    for m, s in sizes[:3] if quick else sizes:
        p1 = rng.uniform(-10.0, 10.0, (s, 2))
        v = rng.uniform(-2.0, 2.0, (s, 2))
        vdv = (v * v).sum(axis=1)
        x = rng.uniform(-12.0, 12.0, (m, 2))
        args = (x, p1, v, vdv, metric)
        assert np.array_equal(kernels.segment_repulsion_vectors(*args),
                              numpy_segment_repulsion(*args))
        compare(f"segment_repulsion_vectors points={m} segments={s}",
                lambda: kernels.segment_repulsion_vectors(*args),
                lambda: numpy_segment_repulsion(*args))

    shapes = ((1000, 100, "wavy"), (1_000_000, 10_000, "wavy"), (1_000_000, 10_000, "jagged"))
    for n, k, shape in shapes[:1] if quick else shapes:
        outer = wavy(k) if shape == "wavy" else star(rng, k, (0.0, 0.0), 8.0, 10.0)
        holes = [star(rng, max(8, k // 100), (4.0 * np.cos(a), 4.0 * np.sin(a)), 0.5, 1.0)
                 for a in np.linspace(0.0, 2.0 * np.pi, 6, endpoint=False)]
        polygon = shapely.Polygon(outer, holes)
        shapely.prepare(polygon)
        x = rng.uniform(-11.0, 11.0, (n, 2))
        xs, ys = x[:, 0].copy(), x[:, 1].copy()
        ours = kernels.point_in_rings(x, outer, holes)
        theirs = shapely.contains_xy(polygon, xs, ys)
        assert (ours != theirs).mean() < 1e-4, "point_in_rings disagrees with shapely"
        compare(f"point_in_rings points={n} vertices={k} {shape} holes={len(holes)}",
                lambda: kernels.point_in_rings(x, outer, holes),
                lambda: shapely.contains_xy(polygon, xs, ys), reference_name="shapely")

if __name__ == "__main__":
    main()
