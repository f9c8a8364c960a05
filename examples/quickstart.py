"""Builds a few geometries and prints their answers for a batch of query points."""

import numpy as np

from zelk.field.geometry.point import MultiPointRGJ, PointRGJ

points = MultiPointRGJ([[0, 0], [10, 0]])
print("repulsion vectors:", points.repulsion_vector([[1, 1]]).tolist())

anisotropic = MultiPointRGJ([[0, 0], [10, 0], [5, 8]], repulsion=[[4.0, 0.0], [0.0, 1.0]])
queries = np.array([[1.0, 1.0], [6.0, 6.0], [9.0, -1.0]])
print("nearest points under the metric:", (anisotropic.repulsion_vector(queries) + queries).tolist())
print("field values:", anisotropic.eval(queries).round(6).tolist())

single = PointRGJ([2.0, 3.0])
print("point export:", single.toRGeoJSON())
