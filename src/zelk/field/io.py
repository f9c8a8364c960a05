"""GeoJSON and RGeoJSON in and out.

``load`` and ``loads`` read a GeoJSON or RGeoJSON Geometry, Feature,
FeatureCollection or GeometryCollection into one ``GeometryCollectionRGJ``
whose members follow the input order. RGeoJSON is GeoJSON whose geometries
also carry a 2×2 ``"repulsion"`` matrix; a Feature may keep it in its geometry
or in its properties (the geometry's wins), and without one the member gets
the identity. A Feature's properties become its member's ``properties``.
Nested GeometryCollections are flattened into members, since a collection
answers only for members that are single geometries.

Positions with a third value (elevation) keep only x and y, as GeoJSON readers
do. With ``explode=True`` every multi-part geometry becomes one member per
part, so that each polygon of a multi polygon answers zero inside it as a
single polygon does (a ``MultiPolygonRGJ`` itself answers from its boundary).

``dump`` and ``dumps`` write any geometry's ``toRGeoJSON()`` as JSON, turning
arrays and NumPy scalars into lists and numbers; ``loads(dumps(g))`` gives
back ``g``, a single geometry as the one member of a collection.

Every problem with the input raises ``GeoJSONError`` (a ``ValueError``)
naming the file and the feature, for example
``countries.json: feature 17: unknown geometry type 'Polyline'``. Features
and the geometries of a GeometryCollection are counted from 0.
"""

from __future__ import annotations

import json
import math
import numbers
import os
from collections.abc import Iterator, Mapping
from typing import IO, Any, Union

import numpy as np

__all__ = ["GeoJSONError", "dump", "dumps", "load", "loads"]

Source = Union[str, "os.PathLike[str]", IO[str], IO[bytes], Mapping[str, Any], Any]


class GeoJSONError(ValueError):
    """A GeoJSON or RGeoJSON input that cannot be read into geometries."""


# Nesting depth of the coordinates of each geometry type: 0 is one position.
_DEPTH = {"Point": 0, "MultiPoint": 1, "LineString": 1, "MultiLineString": 2, "Polygon": 2, "MultiPolygon": 3}
_PART_TYPE = {"MultiPoint": "Point", "MultiLineString": "LineString", "MultiPolygon": "Polygon"}


class _Context:
    """Where in the input a problem sits, for messages like 'file: feature 3: geometry 1: ...'."""

    def __init__(self, name: str | None) -> None:
        self.parts: list[str] = [name] if name else []

    def error(self, message: str) -> GeoJSONError:
        return GeoJSONError(": ".join([*self.parts, message]))

    def enter(self, part: str) -> _Context:
        inner = _Context(None)
        inner.parts = [*self.parts, part]
        return inner


def _is_number(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def _position(value: Any, where: _Context) -> list[float]:
    if not isinstance(value, (list, tuple)) or len(value) < 2:
        raise where.error(f"a position must be a list of 2 or 3 numbers, got {_brief(value)}")
    if not (_is_number(value[0]) and _is_number(value[1])):
        raise where.error(f"a position must hold numbers, got {_brief(value)}")
    x, y = float(value[0]), float(value[1])
    if not (math.isfinite(x) and math.isfinite(y)):
        raise where.error(f"a position must hold finite numbers, got {_brief(value)}")
    return [x, y]  # a third value (elevation) is dropped


def _positions(value: Any, depth: int, where: _Context) -> Any:
    if isinstance(value, np.ndarray):
        value = value.tolist()
    if depth == 0:
        return _position(value, where)
    if not isinstance(value, (list, tuple)):
        raise where.error(f"coordinates must be nested lists {depth + 1} deep, got {_brief(value)}")
    return [_positions(item, depth - 1, where) for item in value]


def _check_parts(kind: str, coordinates: Any, where: _Context) -> None:
    """Refuses empty and degenerate parts, which would leave a member without an answer."""
    if kind == "MultiPoint" and not coordinates:
        raise where.error("a MultiPoint needs at least 1 position")
    elif kind == "LineString" and len(coordinates) < 2:
        raise where.error(f"a LineString needs at least 2 positions, got {len(coordinates)}")
    elif kind == "Polygon":
        if not coordinates:
            raise where.error("a Polygon needs at least 1 ring")
        for index, ring in enumerate(coordinates):
            # Rings are closed by the polygon class, so three positions make a triangle.
            if len(ring) < 3:
                raise where.error(f"ring {index} has {len(ring)} position(s); a ring needs at least 3")
    elif kind in ("MultiLineString", "MultiPolygon"):
        if not coordinates:
            raise where.error(f"a {kind} needs at least 1 part")
        for index, part in enumerate(coordinates):
            _check_parts(_PART_TYPE[kind], part, where.enter(f"part {index}"))


def _repulsion(value: Any, where: _Context) -> list[list[float]]:
    try:
        matrix = np.array(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise where.error(f"repulsion must be a 2x2 matrix of numbers, got {_brief(value)}") from None
    if matrix.shape != (2, 2):
        raise where.error(f"repulsion must be a 2x2 matrix, got shape {matrix.shape}: {_brief(value)}")
    if not np.isfinite(matrix).all():
        raise where.error(f"repulsion must hold finite numbers, got {_brief(value)}")
    try:
        np.linalg.inv(matrix)
    except np.linalg.LinAlgError:
        raise where.error(f"repulsion matrix {matrix.tolist()} is singular") from None
    result: list[list[float]] = matrix.tolist()
    return result


def _brief(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _geometries(
    geometry: Any,
    repulsion: Any,
    properties: dict[str, Any] | None,
    explode: bool,
    where: _Context,
) -> Iterator[dict[str, Any]]:
    """The member dictionaries (constructor keywords) of one GeoJSON geometry object."""
    if not isinstance(geometry, Mapping):
        raise where.error(f"a geometry must be an object, got {_brief(geometry)}")
    kind = geometry.get("type")
    if kind in (None, "Feature", "FeatureCollection"):
        raise where.error(f"expected a geometry, got type {kind!r}")
    own = geometry.get("repulsion")
    if own is not None:
        repulsion = own
    if kind == "GeometryCollection":
        members = geometry.get("geometries")
        if not isinstance(members, (list, tuple)):
            raise where.error("a GeometryCollection needs a list under 'geometries'")
        for index, item in enumerate(members):
            yield from _geometries(item, repulsion, properties, explode, where.enter(f"geometry {index}"))
        return
    if kind not in _DEPTH:
        raise where.error(f"unknown geometry type {kind!r}")
    if "coordinates" not in geometry:
        raise where.error(f"a {kind} needs 'coordinates'")
    coordinates = _positions(geometry["coordinates"], _DEPTH[kind], where)
    _check_parts(kind, coordinates, where)
    matrix = None if repulsion is None else _repulsion(repulsion, where)
    parts = [(kind, coordinates)]
    if explode and kind in _PART_TYPE:
        parts = [(_PART_TYPE[kind], part) for part in coordinates]
    for part_kind, part in parts:
        member: dict[str, Any] = {"type": part_kind, "coordinates": part, "repulsion": matrix}
        if properties is not None:
            member["properties"] = properties
        yield member


def _feature(feature: Any, explode: bool, where: _Context) -> Iterator[dict[str, Any]]:
    if not isinstance(feature, Mapping) or feature.get("type") != "Feature":
        raise where.error(f"expected a Feature, got {_brief(feature)}")
    properties = feature.get("properties")
    if properties is None:
        properties = {}
    if not isinstance(properties, dict):
        raise where.error(f"a Feature's properties must be an object, got {_brief(properties)}")
    geometry = feature.get("geometry")
    if geometry is None:
        return  # GeoJSON allows unlocated features; they add no member
    yield from _geometries(geometry, properties.get("repulsion"), properties, explode, where)


def _from_object(data: Any, explode: bool, where: _Context) -> Any:
    if not isinstance(data, Mapping):
        raise where.error(f"expected a GeoJSON object, got {_brief(data)}")
    kind = data.get("type")
    collection_properties: dict[str, Any] = {}
    members: list[dict[str, Any]] = []
    if kind == "FeatureCollection":
        features = data.get("features")
        if not isinstance(features, (list, tuple)):
            raise where.error("a FeatureCollection needs a list under 'features'")
        for index, feature in enumerate(features):
            members.extend(_feature(feature, explode, where.enter(f"feature {index}")))
    elif kind == "Feature" and isinstance(data.get("geometry"), Mapping) and (
        data["geometry"].get("type") == "GeometryCollection"
    ):
        # A collection's own export: its properties are the collection's, not each member's.
        properties = data.get("properties")
        if properties is not None and not isinstance(properties, dict):
            raise where.error(f"a Feature's properties must be an object, got {_brief(properties)}")
        collection_properties = properties if properties is not None else {}
        members.extend(_geometries(data["geometry"], collection_properties.get("repulsion"), None, explode, where))
    elif kind == "Feature":
        members.extend(_feature(data, explode, where))
    else:
        members.extend(_geometries(data, None, None, explode, where))
    return _build(members, collection_properties, where)


def _build(members: list[dict[str, Any]], properties: dict[str, Any], where: _Context) -> Any:
    from zelk.field.geometry import _RGJ_TYPES
    from zelk.field.geometry.collection import GeometryCollectionRGJ

    if not members:
        raise where.error("no geometries: a collection needs at least one member")
    try:
        return GeometryCollectionRGJ(members, properties)
    except Exception as error:
        failure = error
    # Build the members one by one to say which one the geometry classes refused.
    for index, member in enumerate(members):
        try:
            _RGJ_TYPES[member["type"]](**member)
        except Exception as error:
            raise where.error(f"member {index} ({member['type']}): {error}") from error
    raise where.error(f"cannot build the collection: {failure}") from failure


def _source_name(source: Any) -> str | None:
    if isinstance(source, (str, os.PathLike)):
        return os.fsdecode(source)
    name = getattr(source, "name", None)
    return name if isinstance(name, str) else None


def _parse(text: str | bytes, where: _Context) -> Any:
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        raise where.error(f"invalid JSON at line {error.lineno}, column {error.colno}: {error.msg}") from None
    except UnicodeDecodeError as error:
        raise where.error(f"not UTF-8 text: {error.reason}") from None


def loads(text: str | bytes, *, explode: bool = False) -> Any:
    """Read GeoJSON or RGeoJSON text into a ``GeometryCollectionRGJ``."""
    where = _Context(None)
    return _from_object(_parse(text, where), explode, where)


def load(source: Source, *, explode: bool = False) -> Any:
    """Read a GeoJSON or RGeoJSON source into a ``GeometryCollectionRGJ``.

    ``source`` is a path (``str`` or ``os.PathLike``), a file object open for
    reading (text or binary), a dict of GeoJSON, or any object with
    ``__geo_interface__`` (a shapely geometry, a geopandas GeoSeries or GeoDataFrame).
    """
    name = _source_name(source)
    where = _Context(name)
    geo_interface = getattr(source, "__geo_interface__", None)
    if isinstance(source, Mapping):
        data: Any = source
    elif geo_interface is not None:
        data = geo_interface
    elif isinstance(source, (str, os.PathLike)):
        try:
            with open(source, "rb") as file:
                raw = file.read()
        except FileNotFoundError:
            raise where.error("no such file") from None
        except OSError as error:
            raise where.error(f"cannot read: {error.strerror or error}") from None
        data = _parse(raw, where)
    elif hasattr(source, "read"):
        try:
            text = source.read()
        except OSError as error:
            raise where.error(f"cannot read: {error.strerror or error}") from None
        data = _parse(text, where)
    else:
        raise TypeError(
            "load() needs a path, a file object, a dict or an object with __geo_interface__, "
            f"got {type(source).__name__}"
        )
    return _from_object(data, explode, where)


def _plain(value: Any) -> Any:
    """Converts what json cannot write: arrays to lists, NumPy scalars to Python numbers."""
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(f"Object of type {type(value).__name__} is not JSON serializable")


def dumps(geometry: Any, **kwargs: Any) -> str:
    """The geometry's ``toRGeoJSON()`` Feature as JSON text.

    Further keywords go to ``json.dumps`` (for example ``indent=2``).
    """
    return json.dumps(geometry.toRGeoJSON(), default=_plain, allow_nan=False, **kwargs)


def dump(geometry: Any, fp: IO[str], **kwargs: Any) -> None:
    """Writes the geometry's ``toRGeoJSON()`` Feature as JSON to the text file ``fp``."""
    fp.write(dumps(geometry, **kwargs))
