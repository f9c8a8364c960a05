"""zelk.field: repulsion fields built from geometries."""
