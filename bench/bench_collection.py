"""Speed of GeometryCollectionRGJ.gradient against the same computation in NumPy.

Run after installing the package:  python bench/run.py (or this file alone)
Two references, measured side by side in one run (higher means zelk is faster):
- "numpy, same members": asks the same member objects the same questions and
  combines their answers with NumPy (stack, argmin, einsum, fancy indexing);
  this isolates the collection's own work;
- "numpy, all": the whole computation in NumPy, members included (segment
  offsets, nearest choice, crossing-number inside test, quadratic forms).
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


def member_vectors_numpy(geometry, x):
    """Selected repulsion vector of one member, written in NumPy."""
    kind, coords = geometry["type"], geometry["coordinates"]
    metric = np.linalg.inv(np.asarray(geometry["repulsion"], dtype=float))
    if kind == "Point":
        return x - np.asarray(coords, dtype=float)
    if kind == "MultiPoint":
        diff = np.asarray(coords, dtype=float)[None, :, :] - x[:, None, :]
        dist = ((diff @ metric) * diff).sum(-1)
        return diff[np.arange(len(x)), dist.argmin(1)]
    lines = [np.asarray(c, dtype=float) for c in (coords if kind in ("MultiLineString", "Polygon") else [coords])]
    if kind == "Polygon":
        lines = [np.vstack([r, r[:1]]) for r in lines]
    pairs = np.concatenate([np.stack([c[:-1], c[1:]], axis=1) for c in lines])
    p1, v = pairs[:, 0], pairs[:, 1] - pairs[:, 0]
    vdv = (v * v).sum(1)
    vdv = np.where(vdv <= 0, 1.0, vdv)
    t = np.clip(((x[None, :, :] - p1[:, None, :]) * v[:, None, :]).sum(2) / vdv[:, None], 0.0, 1.0)
    w = x[None, :, :] - (p1[:, None, :] + t[..., None] * v[:, None, :])
    dist = ((w @ metric) * w).sum(-1)
    out = w[dist.argmin(0), np.arange(len(x))]
    if kind == "Polygon":
        ring = lines[0]
        a, b = ring[:-1], ring[1:]
        crosses = ((a[:, None, 1] > x[None, :, 1]) != (b[:, None, 1] > x[None, :, 1])) & (
            x[None, :, 0] < (b[:, None, 0] - a[:, None, 0]) * (x[None, :, 1] - a[:, None, 1])
            / np.where(b[:, None, 1] == a[:, None, 1], 1.0, b[:, None, 1] - a[:, None, 1]) + a[:, None, 0])
        out[crosses.sum(0) % 2 == 1] = 0.0
    return out


def all_numpy_gradient(geometries, x):
    inv = np.array([np.linalg.inv(np.asarray(g["repulsion"], dtype=float)) for g in geometries])
    grads = inv + inv.swapaxes(1, 2)
    v = np.stack([member_vectors_numpy(g, x) for g in geometries], axis=0).swapaxes(0, 1)
    dists = (v * np.einsum("ijk,lik->lij", inv, v)).sum(-1)
    idx = dists.argmin(1)
    r = v[np.arange(len(x)), idx]
    e = np.exp(-dists.min(1)).reshape(-1, 1)
    return -e * np.einsum("ijk,ik->ij", grads[idx], r)


def main(quick=False):
    rng = np.random.default_rng(0)
    geometries = mixed_members(rng)
    c = GeometryCollectionRGJ(geometries)
    for n in (1, 1000) if quick else (1, 100_000):
        x = rng.uniform(-60, 60, size=(n, 2))
        assert np.allclose(c.gradient(x), numpy_gradient(c, x), rtol=1e-12, atol=0)
        assert np.allclose(c.gradient(x), all_numpy_gradient(geometries, x), rtol=1e-9, atol=1e-12)
        label = f"GeometryCollectionRGJ.gradient, 20 mixed members, n={n}"
        compare(label, lambda: c.gradient(x), lambda: numpy_gradient(c, x), "numpy, same members")
        compare(label, lambda: c.gradient(x), lambda: all_numpy_gradient(geometries, x), "numpy, all")


if __name__ == "__main__":
    main()
