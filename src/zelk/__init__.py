"""zelk: repulsion fields."""
