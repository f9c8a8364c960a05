"""Speed of GeometryCollectionRGJ.gradient against the same computation in NumPy.

Run after installing the package:  python bench/bench_collection.py
The reference asks the same members the same questions and combines their
answers with the NumPy operations (stack, argmin, einsum, fancy indexing);
ratios are measured side by side in one run (higher means zelk is faster).
"""

import numpy as np

from _timing import compare
from zelk.field.geometry.collection import GeometryCollectionRGJ


def mixed_members(rng, count=20):
    geometries = []
    for i in range(count):
        centre = rng.uniform(-50, 50, 2)
        rep = np.diag(rng.uniform(0.5, 3.0, 2))
        kind = ["Point", "MultiPoint", "LineString", "Polygon", "MultiLineString"][i % 5]
        if kind == "Point":
            coords = centre.tolist()
        elif kind == "MultiPoint":
            coords = (centre + rng.normal(size=(8, 2))).tolist()
        elif kind == "LineString":
            coords = (centre + np.cumsum(rng.normal(size=(30, 2)), axis=0)).tolist()
        elif kind == "MultiLineString":
            coords = [(centre + np.cumsum(rng.normal(size=(10, 2)), axis=0)).tolist() for _ in range(3)]
        else:
            angles = np.sort(rng.uniform(0, 2 * np.pi, 40))
            radius = rng.uniform(2, 5, 40)
            coords = [(centre + np.c_[radius * np.cos(angles), radius * np.sin(angles)]).tolist()]
        geometries.append({"type": kind, "coordinates": coords, "repulsion": rep.tolist()})
    return geometries


def numpy_gradient(c, x):
    dists = np.stack([m.squared_dist(x, scaled=True, inverted=True) for m in c.rgjs], axis=1)
    idx = np.argmin(dists, axis=1)
    v = np.stack([m.repulsion_vector(x, min_dist_select=True) for m in c.rgjs], axis=0)
    v = v.swapaxes(0, 1)
    pick = (v * np.einsum("ijk,lik->lij", c.inv_repulsions, v)).sum(-1).argmin(1)
    r = v[np.arange(len(pick)), pick]
    sq = np.stack([m.squared_dist(x, scaled=True, inverted=True) for m in c.rgjs], axis=1).min(1)
    e = np.exp(-sq).reshape(-1, 1)
    return -e * np.einsum("ijk,ik->ij", c.grad_matrixes[idx], r)


def main():
    rng = np.random.default_rng(0)
    c = GeometryCollectionRGJ(mixed_members(rng))
    for n in (1, 100_000):
        x = rng.uniform(-60, 60, size=(n, 2))
        assert np.allclose(c.gradient(x), numpy_gradient(c, x), rtol=1e-12, atol=0)
        compare(f"GeometryCollectionRGJ.gradient, 20 mixed members, n={n}",
                lambda: c.gradient(x), lambda: numpy_gradient(c, x))


if __name__ == "__main__":
    main()
