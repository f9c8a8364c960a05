"""A collection keeps its index over the members between calls. Whatever
changed since (the member list, a member, an array replaced or changed in
place, the stacked metrics), the next answer must be that of the general
path, member by member, on the collection as it is now.
"""

import pickle
import sys

import numpy as np
import pytest

from test_collection_index import CLASSES, QUERIES, both_ways, geometry, same


def members_of(rng):
    kinds = ["Polygon", "MultiPolygon", "LineString", "MultiPoint", "Point",
             "MultiLineString", "Polygon", "LineString"]
    out = []
    for i, kind in enumerate(kinds):
        centre = rng.uniform(-20, 20, 2)
        g = geometry(rng, kind, centre, ["anisotropic", "identity"][i % 2])
        if kind in ("Polygon", "LineString"):
            # many vertices, so that the member keeps its own segment index
            t = np.linspace(0, 2 * np.pi, 90, endpoint=False)
            loop = (centre + rng.uniform(1, 4) * np.c_[np.cos(t), np.sin(t)]).tolist()
            g["coordinates"] = [loop] if kind == "Polygon" else loop
        out.append(g)
    return out


def shift(cls_name):
    def change(indexed, general, rng):
        m = next(m for m in indexed.rgjs[1:] if type(m).__name__ == cls_name)
        m._p1 = m._p1 + 15.0  # shared by both collections
    return change


def shift_in_place(indexed, general, rng):
    for m in indexed.rgjs[1:]:
        if hasattr(m, "_p1"):
            m._p1[::2] += 15.0
        elif type(m).__name__ == "MultiPointRGJ":
            m.coordinates[:] = m.coordinates[::-1] - 12.0


def replace_member(indexed, general, rng):
    g = geometry(rng, "Polygon", np.array([14.0, -14.0]), "skew")
    new = CLASSES["Polygon"](**g)
    indexed.rgjs[3] = new
    general.rgjs[3] = new


def reassign_list(indexed, general, rng):
    indexed.rgjs = indexed.rgjs[:1] + indexed.rgjs[4:]
    general.rgjs = general.rgjs[:1] + general.rgjs[4:]
    for c in (indexed, general):
        c.inv_repulsions = np.concatenate([c.inv_repulsions[:1], c.inv_repulsions[4:]])
        c.grad_matrixes = np.concatenate([c.grad_matrixes[:1], c.grad_matrixes[4:]])


def metrics_changed(indexed, general, rng):
    scale = np.array([[[4.0, 0.0], [0.0, 0.25]]])
    for c in (indexed, general):
        c.inv_repulsions = c.inv_repulsions * scale
    m = indexed.rgjs[2]
    m.inv_repulsion = m.inv_repulsion * scale[0]


CHANGES = {"array replaced": shift("LineStringRGJ"), "cache replaced": shift("PolygonRGJ"),
           "changed in place": shift_in_place, "member replaced": replace_member,
           "list reassigned": reassign_list, "metrics changed": metrics_changed}


@pytest.mark.filterwarnings("ignore:overflow:RuntimeWarning")
@pytest.mark.parametrize("query", QUERIES)
@pytest.mark.parametrize("change", CHANGES)
def test_kept_index_follows_changes(query, change):
    rng = np.random.default_rng(5)
    indexed, general = both_ways(members_of(rng))
    x = rng.uniform(-40, 40, (400, 2))
    ask = QUERIES[query]
    same(ask(indexed, x), ask(general, x))
    same(ask(indexed, x), ask(general, x))  # the kept index, unchanged
    CHANGES[change](indexed, general, rng)
    same(ask(indexed, x), ask(general, x))
    same(ask(indexed, x[:1]), ask(general, x[:1]))


def test_kept_index_holds_no_reference_and_is_not_state():
    rng = np.random.default_rng(6)
    indexed, general = both_ways(members_of(rng))
    x = rng.uniform(-40, 40, (400, 2))
    objects = [indexed.rgjs] + list(indexed.rgjs)  # a member keeps its arrays with its own index
    counts = [sys.getrefcount(o) for o in objects]
    for ask in QUERIES.values():
        ask(indexed, x)
    assert [sys.getrefcount(o) for o in objects] == counts
    copy = pickle.loads(pickle.dumps(indexed))
    assert not set(dir(copy)) ^ set(dir(general))
    for ask in QUERIES.values():
        same(ask(copy, x), ask(general, x))
