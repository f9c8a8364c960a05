"""Builds one geometry of each kind, a collection of them, and prints query results."""

import numpy as np

from zelk.field.geometry import _RGJ_TYPES
from zelk.field.geometry.collection import GeometryCollectionRGJ
from zelk.field.geometry.point import MultiPointRGJ

points = MultiPointRGJ([[0, 0], [10, 0]])
print("nearest-point vector:", points.repulsion_vector([[1, 1]]).tolist())

repulsion = [[2.0, 0.0], [0.0, 0.5]]
geometries = [
    {"type": "Point", "coordinates": [5.0, 5.0], "repulsion": repulsion},
    {"type": "LineString", "coordinates": [[0, 0], [4, 3], [8, 0]]},
    {"type": "Polygon", "coordinates": [[[10, 10], [14, 10], [14, 14], [10, 14]],
                                        [[11, 11], [12, 11], [12, 12], [11, 12]]]},
    {"type": "MultiPolygon", "coordinates": [[[[-6, -6], [-4, -6], [-4, -4]]]]},
]
field = GeometryCollectionRGJ(geometries, properties={"name": "demo"})
queries = np.array([[1.0, 1.0], [6.0, 6.0], [11.5, 11.5], [13.0, 13.0], [-5.0, -5.5]])

print("members:", [type(m).__name__ for m in field.rgjs])
print("squared distances:", field.squared_dist(queries).round(4).tolist())
print("repulsion vectors:", field.repulsion_vector(queries).round(4).tolist())
print("field values:", field.eval(queries).round(4).tolist())
print("gradients:", field.gradient(queries).round(4).tolist())

# Every geometry exports itself and can be rebuilt from the export.
rebuilt = GeometryCollectionRGJ(**field.toRGeoJSON()["geometry"])
assert np.array_equal(rebuilt.gradient(queries), field.gradient(queries))
print("types:", sorted(_RGJ_TYPES))
