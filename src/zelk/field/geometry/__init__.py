"""Geometries of a repulsion field.

Importing this package, or one of its modules, imports nothing else: the
geometry modules are independent extensions (the point and collection modules
work even without ``zelk.field.kernels``), so the type table and the class
re-exports are built on first access.
"""

import importlib

_CLASS_MODULES = {
    "PointRGJ": "point",
    "MultiPointRGJ": "point",
    "LineStringRGJ": "linestring",
    "MultiLineStringRGJ": "linestring",
    "PolygonRGJ": "polygon",
    "MultiPolygonRGJ": "polygon",
    "GeometryCollectionRGJ": "collection",
}

__all__ = sorted(_CLASS_MODULES)


def _load_class(name):
    module = importlib.import_module(f"{__name__}.{_CLASS_MODULES[name]}")
    return getattr(module, name)


def _build_types():
    types = {}
    for name in _CLASS_MODULES:
        cls = _load_class(name)
        types[cls.RGJType] = cls
    return types


def __getattr__(name):
    if name == "_RGJ_TYPES":
        value = _build_types()
    elif name in _CLASS_MODULES:
        value = _load_class(name)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_CLASS_MODULES) | {"_RGJ_TYPES"})
