"""Scale: large shapes, large batches, whole maps, threads.

Run after installing the package:  python bench/run.py (or this file alone)
Each ratio is measured side by side in one run (higher means zelk is faster);
the answers are compared before the timings count. NumPy references that would
need minutes or more memory than the machine has run on a part of the points
and are scaled linearly; their rows say so.
"""

import json
import os
import time

import numpy as np
import shapely
from scipy.spatial import cKDTree

import zelk.field
from _timing import best_time, compare, record
from bench_collection import mixed_members
from bench_polygon import numpy_parity, shapely_repulsion, with_hole
from zelk.field.geometry.collection import GeometryCollectionRGJ
from zelk.field.geometry.linestring import LineStringRGJ
from zelk.field.geometry.point import MultiPointRGJ
from zelk.field.geometry.polygon import PolygonRGJ

DEFAULT_WORLD = os.path.join(os.path.dirname(__file__), "..", "..", "shared", "data", "countries.geo.json")


# --- the NumPy formulation, member by member, in blocks of points ------------


def numpy_nearest_offsets(x, p1, v, vdv, metric, block=256):
    """The nearest segment's offset per point, ((w @ M) * w).sum(-1) as the form."""
    out = np.empty((len(x), 2))
    for s in range(0, len(x), block):
        xb = x[s : s + block]
        t = np.clip(((xb[None, :, :] - p1[:, None, :]) * v[:, None, :]).sum(2) / vdv[:, None], 0.0, 1.0)
        w = xb[None, :, :] - (p1[:, None, :] + t[..., None] * v[:, None, :])
        q = ((w @ metric) * w).sum(-1)
        out[s : s + block] = w[q.argmin(0), np.arange(len(xb))]
    return out


def numpy_member_vectors(member, x):
    """One member's selected repulsion vectors, from its own fields, in NumPy."""
    kind = member.RGJType
    metric = member.get_dist_matrix()
    if kind == "Point":
        return x - member.coordinates
    if kind == "MultiPoint":
        pts = member.coordinates
        out = np.empty((len(x), 2))
        for s in range(0, len(x), 256):
            diff = pts[None, :, :] - x[s : s + 256, None, :]
            q = ((diff @ metric) * diff).sum(-1)
            out[s : s + 256] = diff[np.arange(len(diff)), q.argmin(1)]
        return out
    out = numpy_nearest_offsets(x, member._p1, member._v, member._v_dot_v, metric)
    if kind == "Polygon":
        inside = numpy_parity(x, member.rings[0][:-1])
        for hole in member.rings[1:]:
            inside &= ~numpy_parity(x, hole[:-1])
        out[inside] = 0.0
    return out


def numpy_collection(c, x):
    """squared_dist and gradient of a collection, the whole computation in NumPy."""
    v = np.stack([numpy_member_vectors(m, x) for m in c.rgjs], axis=0)
    dists = np.stack([((v[i] @ m.get_dist_matrix()) * v[i]).sum(-1) for i, m in enumerate(c.rgjs)], axis=1)
    idx = dists.argmin(1)
    v = v.swapaxes(0, 1)
    pick = (v * np.einsum("ijk,lik->lij", c.inv_repulsions, v)).sum(-1).argmin(1)
    r = v[np.arange(len(x)), pick]
    sq = dists.min(1)
    return sq, -np.exp(-sq).reshape(-1, 1) * np.einsum("ijk,ik->ij", c.grad_matrixes[idx], r)


def close(a, b, rtol=1e-9, atol=1e-12):
    assert np.allclose(a, b, rtol=rtol, atol=atol, equal_nan=True), np.abs(a - b).max()


# --- workloads ----------------------------------------------------------------


def world(path, quick):
    if not path or not os.path.exists(path):
        print(f"world: skipped, no file at {path!r} (give it with --world PATH)")
        return
    with open(path) as f:
        features = json.load(f)["features"]
    c = GeometryCollectionRGJ([f["geometry"] for f in features])
    # shapely answers the same question: polygons by their area (zero inside),
    # multi polygons by their boundary, as the class answers.
    shapes = [shapely.geometry.shape(f["geometry"]) for f in features]
    shapes = [s.boundary if s.geom_type == "MultiPolygon" else s for s in shapes]
    tree = shapely.STRtree(shapes)
    rng = np.random.default_rng(1)
    n = 2000 if quick else 20_000
    x = np.c_[rng.uniform(-180, 180, n), rng.uniform(-90, 90, n)]
    pts = shapely.points(x)

    def strtree_sq():
        (_, _), d = tree.query_nearest(pts, return_distance=True, all_matches=False)
        return d * d

    label = f"world ({len(c.rgjs)} countries) squared_dist n={n}"
    sub = x[: 200 if quick else 1000]
    sq_np, grad_np = numpy_collection(c, sub)
    close(c.squared_dist(sub), sq_np)
    close(c.gradient(sub), grad_np)
    close(c.squared_dist(x), strtree_sq(), rtol=1e-7, atol=1e-9)
    compare(label, lambda: c.squared_dist(x), strtree_sq, "shapely", target="20x")
    compare(label, lambda: c.squared_dist(x), lambda: numpy_collection(c, sub), scale=n / len(sub), repeat=1)
    compare(f"world ({len(c.rgjs)} countries) gradient n={n}", lambda: c.gradient(x),
            lambda: numpy_collection(c, sub), target="200x", scale=n / len(sub), repeat=1)


def polygon_large_batch(quick):
    rng = np.random.default_rng(2)
    coords = with_hole(rng, 1000)
    p = PolygonRGJ(coords)
    shape = shapely.Polygon(coords[0], coords[1:])
    boundary = shape.boundary
    shapely.prepare(shape)
    n = 20_000 if quick else 1_000_000
    x = rng.uniform(-1.1, 1.1, (n, 2))
    sub_np, sub_sh = x[:1000], x[:100_000]

    def numpy_ref():
        return numpy_member_vectors(p, sub_np)

    close(p.repulsion_vector(sub_np), numpy_ref())
    close(p.repulsion_vector(sub_np), shapely_repulsion(sub_np, shape, boundary), atol=1e-9)
    label = f"PolygonRGJ.repulsion_vector vertices=1000+hole n={n}"
    t_ours = best_time(lambda: p.repulsion_vector(x), repeat=3)
    record(label, "numpy", t_ours, best_time(numpy_ref, repeat=2) * n / len(sub_np), "100x",
           f"reference on 1/{n / len(sub_np):g} of the points, scaled")
    t_sh = best_time(lambda: shapely_repulsion(sub_sh, shape, boundary), repeat=2) * n / len(sub_sh)
    record(label, "shapely", t_ours, t_sh, "5x",
           f"reference on 1/{n / len(sub_sh):g} of the points, scaled" if n > len(sub_sh) else "")
    if hasattr(zelk.field, "set_num_threads"):
        before = zelk.field.get_num_threads()
        try:
            zelk.field.set_num_threads(1)
            one = p.repulsion_vector(x)
            t1 = best_time(lambda: p.repulsion_vector(x), repeat=3)
            zelk.field.set_num_threads(2)
            assert np.array_equal(one, p.repulsion_vector(x))
            t2 = best_time(lambda: p.repulsion_vector(x), repeat=3)
        finally:
            zelk.field.set_num_threads(before)
        record(label + " threads", "1 thread", t2, t1, "1.7x", "two threads against one")
    else:
        print("threads: skipped, zelk.field has no set_num_threads")


def linestring_large(quick):
    rng = np.random.default_rng(3)
    k = 10_000 if quick else 100_000
    coords = np.cumsum(rng.normal(size=(k, 2)), axis=0)
    g = LineStringRGJ(coords, repulsion=[[2.0, 0.3], [0.1, 0.5]])
    metric = g.get_dist_matrix()
    lo, hi = coords.min(0), coords.max(0)
    n = 1000 if quick else 10_000
    x = rng.uniform(lo, hi, (n, 2))
    sub = x[:20]
    ref = lambda: numpy_nearest_offsets(sub, g._p1, g._v, g._v_dot_v, metric, block=4)  # noqa: E731
    assert np.array_equal(g.repulsion_vector(sub), ref())
    compare(f"LineStringRGJ.repulsion_vector vertices={k} n={n}", lambda: g.repulsion_vector(x), ref,
            target="300x", scale=n / len(sub), repeat=2)


def growth(quick):
    """Cost against the number of segments, on a jagged outline (every vertex at
    its own random radius: near any outside point lie many segments) and on a
    smooth wavy one."""
    rng = np.random.default_rng(4)
    n = 2000 if quick else 10_000
    x = rng.uniform(-1.1, 1.1, (n, 2))
    sizes = (100, 1000, 10_000) if quick else (100, 1000, 10_000, 100_000)
    big = sizes[-1]
    for shape in ("jagged", "wavy"):
        times = {}
        for s in sizes:
            ang = np.sort(rng.uniform(0, 2 * np.pi, s)) if shape == "jagged" else np.linspace(0, 2 * np.pi, s, endpoint=False)
            radius = rng.uniform(0.8, 1.0, s) if shape == "jagged" else 0.9 + 0.05 * np.sin(7 * ang)
            p = PolygonRGJ([np.c_[np.cos(ang), np.sin(ang)] * radius[:, None]])
            times[s] = best_time(lambda: p.repulsion_vector(x), repeat=3)
        # "ours" is the smallest polygon here: the ratio is how much the time grows.
        record(f"growth: PolygonRGJ {shape} time(S={big}) / time(S=100), n={n}", f"S={big}", times[100],
               times[big], "<= 10")


def multipoint_large(quick):
    rng = np.random.default_rng(5)
    m = n = 2000 if quick else 10_000
    pts = rng.normal(size=(m, 2)) * 10
    x = rng.normal(size=(n, 2)) * 10
    sub = x[:500]
    for name, rep in (("anisotropic", [[2.0, 0.3], [0.1, 0.5]]), ("identity", None)):
        g = MultiPointRGJ(pts, repulsion=rep)
        metric = g.get_dist_matrix()

        def numpy_ref():
            diff = pts[None, :, :] - sub[:, None, :]
            q = ((diff @ metric) * diff).sum(-1)
            return diff[np.arange(len(sub)), q.argmin(1)]

        close(g.repulsion_vector(sub), numpy_ref())
        label = f"MultiPointRGJ.repulsion_vector {name} m={m} n={n}"
        compare(label, lambda: g.repulsion_vector(x), numpy_ref, target="200x" if rep else None,
                scale=n / len(sub), repeat=2)
        if rep is None:

            def kdtree():
                _, idx = cKDTree(pts).query(x)
                return pts[idx] - x

            ours = g.repulsion_vector(x)
            close((ours * ours).sum(1), (kdtree() ** 2).sum(1))
            compare(label, lambda: g.repulsion_vector(x), kdtree, "cKDTree", target="1x")


def collection_mixed(quick):
    rng = np.random.default_rng(6)
    c = GeometryCollectionRGJ(mixed_members(rng, 100))
    n = 5000 if quick else 100_000
    x = rng.uniform(-60, 60, size=(n, 2))
    sub = x[:500]
    close(c.gradient(sub), numpy_collection(c, sub)[1])
    compare(f"GeometryCollectionRGJ.gradient 100 mixed members n={n}", lambda: c.gradient(x),
            lambda: numpy_collection(c, sub), target="50x", scale=n / len(sub), repeat=2)


def single_point(quick):
    rng = np.random.default_rng(7)
    coords = with_hole(rng, 10)
    p = PolygonRGJ(coords)
    x = np.array([[1.05, 0.0]])

    def numpy_ref():
        return numpy_member_vectors(p, x)

    close(p.repulsion_vector(x), numpy_ref())
    compare("one query point: PolygonRGJ with hole", lambda: p.repulsion_vector(x), numpy_ref, target="100x")
    c = GeometryCollectionRGJ(mixed_members(rng, 20))
    y = np.array([[3.0, 3.0]])
    close(c.gradient(y), numpy_collection(c, y)[1])
    compare("one query point: 20-member collection gradient", lambda: c.gradient(y),
            lambda: numpy_collection(c, y), target="30x")


def main(quick=False, world_path=DEFAULT_WORLD):
    for workload in (lambda q: world(world_path, q), polygon_large_batch, linestring_large, growth,
                     multipoint_large, collection_mixed, single_point):
        started = time.perf_counter()
        workload(quick)
        if not quick:
            print(f"  ({time.perf_counter() - started:.0f} s)", flush=True)


if __name__ == "__main__":
    main()
