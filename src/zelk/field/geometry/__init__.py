"""Geometries of a repulsion field.

Importing this package, or one of its modules, imports nothing else: the
geometry modules are independent extensions (the point and collection modules
work even without ``zelk.field.kernels``), so the type table and the class
re-exports are built on first access.
"""

from __future__ import annotations

import importlib

# typing is not imported at run time, so that importing a geometry module
# needs nothing beyond its own dependencies.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    # For type checkers only: at run time these stay lazy (see __getattr__).
    from zelk.field.geometry.base import RGJGeometry
    from zelk.field.geometry.collection import GeometryCollectionRGJ as GeometryCollectionRGJ
    from zelk.field.geometry.linestring import LineStringRGJ as LineStringRGJ
    from zelk.field.geometry.linestring import MultiLineStringRGJ as MultiLineStringRGJ
    from zelk.field.geometry.point import MultiPointRGJ as MultiPointRGJ
    from zelk.field.geometry.point import PointRGJ as PointRGJ
    from zelk.field.geometry.polygon import MultiPolygonRGJ as MultiPolygonRGJ
    from zelk.field.geometry.polygon import PolygonRGJ as PolygonRGJ

    _RGJ_TYPES: dict[str, type[RGJGeometry]]

_CLASS_MODULES = {
    "PointRGJ": "point",
    "MultiPointRGJ": "point",
    "LineStringRGJ": "linestring",
    "MultiLineStringRGJ": "linestring",
    "PolygonRGJ": "polygon",
    "MultiPolygonRGJ": "polygon",
    "GeometryCollectionRGJ": "collection",
}

# Written out (rather than sorted(_CLASS_MODULES)) so that type checkers see it.
__all__ = [
    "GeometryCollectionRGJ",
    "LineStringRGJ",
    "MultiLineStringRGJ",
    "MultiPointRGJ",
    "MultiPolygonRGJ",
    "PointRGJ",
    "PolygonRGJ",
]


def _load_class(name: str) -> "type[RGJGeometry]":
    module = importlib.import_module(f"{__name__}.{_CLASS_MODULES[name]}")
    cls: type[RGJGeometry] = getattr(module, name)
    return cls


def _build_types() -> "dict[str, type[RGJGeometry]]":
    types: dict[str, type[RGJGeometry]] = {}
    for name in _CLASS_MODULES:
        cls = _load_class(name)
        types[getattr(cls, "RGJType")] = cls
    return types


def __getattr__(name: str) -> Any:
    value: Any
    if name == "_RGJ_TYPES":
        value = _build_types()
    elif name in _CLASS_MODULES:
        value = _load_class(name)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_CLASS_MODULES) | {"_RGJ_TYPES"})
