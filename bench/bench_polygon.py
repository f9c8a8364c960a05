"""Speed of PolygonRGJ against the same computation written in NumPy and
against shapely 2.

Run after installing the package:  python bench/run.py (or this file alone)
Prints ratios measured side by side in one run (higher means zelk is faster).
Where a reference would take minutes (or more memory than the machine has)
it is timed on a subset of the query points and scaled linearly to the full
batch; those lines say so.
"""

import time

import numpy as np
import shapely

from _timing import best_time, compare, record
from zelk.field.geometry.polygon import PolygonRGJ


def star(rng, k):
    """A star-shaped ring of k vertices, one per angular sector."""
    ang = (np.arange(k) + rng.uniform(0.1, 0.9, k)) * (2 * np.pi / k)
    return np.c_[np.cos(ang), np.sin(ang)] * rng.uniform(0.6, 1.0, k)[:, None]


def with_hole(rng, k):
    outer = star(rng, k)
    hole = 0.3 * star(rng, max(3, k // 10))
    return [outer, hole]


# --- the NumPy formulation of the same computation ---------------------------


def numpy_rings(coords):
    rings = []
    for r in coords:
        r = np.asarray(r, float).reshape(-1, 2)
        if r.size > 0 and not np.allclose(r[0], r[-1]):
            r = np.vstack([r, r[0]])
        rings.append(np.ascontiguousarray(r, dtype=np.float64))
    return rings


def numpy_construct(coords):
    rings = numpy_rings(coords)
    pilp = np.concatenate([np.stack([r[:-1], r[1:]], axis=1) for r in rings if len(r) >= 2])
    p1 = np.ascontiguousarray(pilp[:, 0])
    v = np.ascontiguousarray(pilp[:, 1] - pilp[:, 0])
    vdv = (v * v).sum(1)
    vdv = np.where(vdv <= 0, 1.0, vdv)
    coordinates = np.array([r.tolist() for r in rings], dtype=object)
    rep = np.eye(2)
    inv = np.linalg.inv(rep)
    pts = np.vstack(rings)
    bbox = np.array([pts.min(0), pts.max(0)])
    return rings, pilp, p1, v, vdv, coordinates, inv, inv + inv.T, bbox


def numpy_parity(x, ring):
    a, b = ring, np.roll(ring, -1, axis=0)
    y = x[:, 1:2]
    with np.errstate(divide="ignore", invalid="ignore"):
        cross = ((a[:, 1] > y) != (b[:, 1] > y)) & (
            x[:, :1] < (b[:, 0] - a[:, 0]) * (y - a[:, 1]) / (b[:, 1] - a[:, 1]) + a[:, 0]
        )
    return cross.sum(1) % 2 == 1


def numpy_repulsion(x, rings, p1, v, vdv, metric):
    x = np.atleast_2d(x).astype(np.float64)
    inside = numpy_parity(x, rings[0])
    for hole in rings[1:]:
        inside &= ~numpy_parity(x, hole)
    out = np.zeros((len(x), 2))
    xo = x[~inside]
    if len(xo):
        w = xo[None, :, :] - p1[:, None, :]
        t = np.clip((w * v[:, None, :]).sum(2) / vdv[:, None], 0.0, 1.0)
        c = xo[None, :, :] - (p1[:, None, :] + t[..., None] * v[:, None, :])
        q = (c * (c @ metric.T)).sum(-1)
        out[~inside] = c[q.argmin(0), np.arange(len(xo))]
    return out


def numpy_repulsion_chunked(x, p, chunk):
    args = (p.rings, p._p1, p._v, p._v_dot_v, p.metric)
    return np.concatenate([numpy_repulsion(x[i : i + chunk], *args) for i in range(0, len(x), chunk)])


# --- shapely 2 ------------------------------------------------------------------


def shapely_repulsion(x, shape, boundary):
    inside = shapely.contains_xy(shape, x[:, 0], x[:, 1])
    out = np.zeros((len(x), 2))
    xo = x[~inside]
    if len(xo):
        start = shapely.get_coordinates(shapely.get_point(shapely.shortest_line(boundary, shapely.points(xo)), 0))
        out[~inside] = xo - start
    return out


def compare_many(label, ours, references, repeat):
    """Several references against one timing of ours; (name, callable, scale) each."""
    t_ours = best_time(ours, repeat=repeat)
    for name, reference, scale in references:
        t_ref = best_time(reference, repeat=repeat) * scale
        note = f"reference on 1/{scale:g} of the points, scaled" if scale > 1 else ""
        record(label, name, t_ours, t_ref, note=note)


def main(quick=False):
    started = time.perf_counter()
    rng = np.random.default_rng(0)

    for k in (10,) if quick else (10, 10_000):
        coords = with_hole(rng, k)
        p = PolygonRGJ(coords)
        shape = shapely.Polygon(coords[0], coords[1:])
        boundary = shape.boundary
        shapely.prepare(shape)
        for n in (1, 2000) if quick else (1, 1_000_000):
            # Uniform over a box a little larger than the polygon: about half
            # of the points fall outside and go to the segment kernel.
            x = rng.uniform(-1.1, 1.1, (n, 2))
            label = f"PolygonRGJ.repulsion_vector vertices={k} n={n}"
            sub = x[:2000]
            assert np.allclose(p.repulsion_vector(sub), numpy_repulsion_chunked(sub, p, 200), atol=1e-12)
            assert np.allclose(p.repulsion_vector(sub), shapely_repulsion(sub, shape, boundary), atol=1e-9)
            ours = lambda: p.repulsion_vector(x)  # noqa: E731
            if n == 1:
                args = (p.rings, p._p1, p._v, p._v_dot_v, p.metric)
                compare(label, ours, lambda: numpy_repulsion(x, *args))
                compare(label, ours, lambda: shapely_repulsion(x, shape, boundary), "shapely")
            elif k == 10:
                compare_many(
                    label,
                    ours,
                    [
                        ("numpy", lambda: numpy_repulsion_chunked(x, p, 100_000), 1),
                        ("shapely", lambda: shapely_repulsion(x, shape, boundary), 1),
                    ],
                    repeat=2,
                )
            else:
                # A NumPy reference over 10^6 x 10^4 candidates would need
                # minutes and 160 GB at once: 1000 points in blocks of 100.
                part_np, part_shapely = x[:1000], x[:20_000]
                compare_many(
                    label,
                    ours,
                    [
                        ("numpy", lambda: numpy_repulsion_chunked(part_np, p, 100), n / len(part_np)),
                        ("shapely", lambda: shapely_repulsion(part_shapely, shape, boundary), n / len(part_shapely)),
                    ],
                    repeat=2,
                )

    for k in (10, 1000) if quick else (10, 10_000, 100_000):
        coords = with_hole(rng, k)
        as_lists = [r.tolist() for r in coords]
        p = PolygonRGJ(coords)
        assert all(np.array_equal(a, b) for a, b in zip(p.rings, numpy_construct(coords)[0]))
        compare(
            f"PolygonRGJ construction vertices={k} from arrays",
            lambda: PolygonRGJ(coords),
            lambda: numpy_construct(coords),
        )
        compare(
            f"PolygonRGJ construction vertices={k} from lists",
            lambda: PolygonRGJ(as_lists),
            lambda: numpy_construct(as_lists),
        )
        compare(
            f"PolygonRGJ construction vertices={k} from arrays",
            lambda: PolygonRGJ(coords),
            lambda: shapely.prepare(shapely.Polygon(coords[0], coords[1:])),
            "shapely",
        )
    print(f"total {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
