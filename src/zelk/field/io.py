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

A repulsion matrix is a covariance: it must be symmetric and positive
definite, and it is in the units of the coordinates the classes receive (after
projection with ``to_crs``, square metres for a CRS in metres).
``repulsion=`` gives the members without a matrix of their own one for the
whole scene (a number s stands for s²·I), or names the property (a
GeoDataFrame's column) that holds each feature's matrix or number.

Coordinate reference systems: a GeoJSON input is in WGS84 longitude and
latitude (RFC 7946) unless it has a legacy ``"crs"`` member (``null`` there
means plain coordinates without a CRS); a GeoDataFrame or GeoSeries is in its
``.crs``. The CRS of a scene lives in its collection's ``properties`` under
``"crs"`` (see ``crs_of``), ``dump`` writes it back, and ``to_crs`` (pyproj,
the ``geo`` extra) projects every position, longitude (x) first.

Every problem with the input raises ``GeoJSONError`` (a ``ValueError``)
naming the file and the feature, for example
``countries.json: feature 17: unknown geometry type 'Polyline'``. Features
and the geometries of a GeometryCollection are counted from 0; the rows of
a GeoDataFrame are named by their index labels.
"""

from __future__ import annotations

import importlib
import json
import math
import numbers
import os
import sys
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import IO, Any, Union

import numpy as np

__all__ = [
    "CRS_KEY",
    "INDEX_KEY",
    "WGS84",
    "GeoJSONError",
    "crs_of",
    "crs_unit",
    "describe_crs",
    "dump",
    "dumps",
    "is_geographic",
    "load",
    "loads",
    "to_geodataframe",
]

WGS84 = "EPSG:4326"
"""The CRS of GeoJSON positions without a ``"crs"`` member: longitude, latitude in degrees."""
CRS_KEY = "crs"
"""The key of a collection's ``properties`` that holds the scene's CRS."""
INDEX_KEY = "index"
"""The key of a member's ``properties`` that holds its GeoDataFrame row's index label."""

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


def _repulsion(value: Any, where: _Context, scale: bool = False) -> list[list[float]]:
    """A checked 2×2 covariance matrix; with ``scale`` a number s stands for s²·I."""
    if scale and _is_number(value):
        s = float(value)
        if not (math.isfinite(s) and s > 0):
            raise where.error(f"a repulsion scale must be a positive finite number, got {_brief(value)}")
        return [[s * s, 0.0], [0.0, s * s]]
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
    # The classes take any invertible matrix, but only a covariance gives squared
    # distances that are positive away from the shape.
    (a, b), (c, d) = matrix.tolist()
    if abs(b - c) > 1e-12 * float(np.abs(matrix).max()):
        raise where.error(f"repulsion matrix {matrix.tolist()} is not symmetric; a repulsion is a covariance matrix")
    if not (a > 0 and a * d - b * c > 0):
        raise where.error(
            f"repulsion matrix {matrix.tolist()} is not positive definite; "
            "a repulsion is a covariance matrix, with positive eigenvalues"
        )
    result: list[list[float]] = matrix.tolist()
    return result


def _brief(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


# Deeper GeometryCollections than this are refused before Python's own recursion limit is near.
_MAX_NESTING = 64


@dataclass(frozen=True)
class _Options:
    explode: bool = False
    repulsion: list[list[float]] | None = None  # for members without a matrix of their own
    column: str | None = None  # the property holding each feature's repulsion


@dataclass
class _Member:
    keywords: dict[str, Any]  # constructor keywords of the geometry class
    where: _Context


def _geometries(
    geometry: Any,
    repulsion: Any,
    properties: dict[str, Any] | None,
    options: _Options,
    where: _Context,
    nesting: int = 0,
) -> Iterator[_Member]:
    """The members of one GeoJSON geometry object."""
    if not isinstance(geometry, Mapping):
        raise where.error(f"a geometry must be an object, got {_brief(geometry)}")
    kind = geometry.get("type")
    if kind in (None, "Feature", "FeatureCollection"):
        raise where.error(f"expected a geometry, got type {kind!r}")
    own = geometry.get("repulsion")
    if own is not None:
        repulsion = own
    if kind == "GeometryCollection":
        if nesting >= _MAX_NESTING:
            outermost = _Context(None)
            outermost.parts = where.parts[: len(where.parts) - nesting + 1]
            raise outermost.error(f"GeometryCollections nested more than {_MAX_NESTING} deep")
        members = geometry.get("geometries")
        if not isinstance(members, (list, tuple)):
            raise where.error("a GeometryCollection needs a list under 'geometries'")
        for index, item in enumerate(members):
            inner = where.enter(f"geometry {index}")
            yield from _geometries(item, repulsion, properties, options, inner, nesting + 1)
        return
    if kind not in _DEPTH:
        raise where.error(f"unknown geometry type {kind!r}")
    if "coordinates" not in geometry:
        raise where.error(f"a {kind} needs 'coordinates'")
    coordinates = _positions(geometry["coordinates"], _DEPTH[kind], where)
    _check_parts(kind, coordinates, where)
    matrix = options.repulsion if repulsion is None else _repulsion(repulsion, where, scale=own is None)
    parts = [(kind, coordinates)]
    if options.explode and kind in _PART_TYPE:
        parts = [(_PART_TYPE[kind], part) for part in coordinates]
    for part_kind, part in parts:
        member: dict[str, Any] = {"type": part_kind, "coordinates": part, "repulsion": matrix}
        if properties is not None:
            member["properties"] = properties
        yield _Member(member, where)


def _feature(feature: Any, options: _Options, where: _Context) -> Iterator[_Member]:
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
    if options.column is not None:
        if properties.get(options.column) is None:
            raise where.error(f"no repulsion under {options.column!r}")
        repulsion = properties[options.column]
    else:
        repulsion = properties.get("repulsion")
    yield from _geometries(geometry, repulsion, properties, options, where)


def _crs_name(value: Any, where: _Context) -> str | None:
    """The CRS named by a legacy GeoJSON "crs" member (``null``: no CRS)."""
    if value is None:
        return None
    name = value.get("properties", {}).get("name") if isinstance(value, Mapping) else None
    if not (isinstance(value, Mapping) and value.get("type") == "name" and isinstance(name, str)):
        raise where.error(f"a 'crs' member must be null or of type 'name' with a name, got {_brief(value)}")
    urn = name.split(":")
    if name.lower().startswith("urn:ogc:def:crs:") and len(urn) == 7:
        authority, code = urn[4], urn[6]  # urn:ogc:def:crs:EPSG::3857, urn:ogc:def:crs:OGC:1.3:CRS84
        return f"{authority}:{code}"
    return name


def _crs_member(crs: str | None) -> dict[str, Any] | None:
    """A legacy "crs" member, which GDAL and older readers still honour."""
    if crs is None:
        return None
    parts = crs.split(":")
    if len(parts) == 2 and parts[0].isalpha() and parts[1].isalnum():
        crs = f"urn:ogc:def:crs:{parts[0]}::{parts[1]}"
    return {"type": "name", "properties": {"name": crs}}


def _from_object(data: Any, options: _Options, where: _Context) -> tuple[list[_Member], dict[str, Any]]:
    if not isinstance(data, Mapping):
        raise where.error(f"expected a GeoJSON object, got {_brief(data)}")
    kind = data.get("type")
    collection_properties: dict[str, Any] = {}
    members: list[_Member] = []
    if kind == "FeatureCollection":
        features = data.get("features")
        if not isinstance(features, (list, tuple)):
            raise where.error("a FeatureCollection needs a list under 'features'")
        for index, feature in enumerate(features):
            members.extend(_feature(feature, options, where.enter(f"feature {index}")))
    elif kind == "Feature" and isinstance(data.get("geometry"), Mapping) and (
        data["geometry"].get("type") == "GeometryCollection"
    ):
        # A collection's own export: its properties are the collection's, not each member's.
        properties = data.get("properties")
        if properties is not None and not isinstance(properties, dict):
            raise where.error(f"a Feature's properties must be an object, got {_brief(properties)}")
        collection_properties = dict(properties) if properties is not None else {}
        repulsion = collection_properties.get("repulsion")
        members.extend(_geometries(data["geometry"], repulsion, None, options, where))
    elif kind == "Feature":
        members.extend(_feature(data, options, where))
    else:
        members.extend(_geometries(data, None, None, options, where))
    if CRS_KEY not in collection_properties:
        crs = _crs_name(data["crs"], where) if "crs" in data else WGS84
        if crs is not None:
            collection_properties[CRS_KEY] = crs
    return members, collection_properties


def _build(members: list[_Member], properties: dict[str, Any], where: _Context) -> Any:
    from zelk.field.geometry import _RGJ_TYPES
    from zelk.field.geometry.collection import GeometryCollectionRGJ

    if not members:
        raise where.error("no geometries: a collection needs at least one member")
    try:
        return GeometryCollectionRGJ([m.keywords for m in members], properties)
    except Exception as error:
        failure = error
    # Build the members one by one to say which one the geometry classes refused.
    for index, member in enumerate(members):
        kind = member.keywords["type"]
        try:
            _RGJ_TYPES[kind](**member.keywords)
        except Exception as error:
            raise member.where.error(f"member {index} ({kind}): {error}") from error
    raise where.error(f"cannot build the collection: {failure}") from failure


# --- coordinate reference systems ---------------------------------------------


def _optional(module: str, extra: str, purpose: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError:
        raise ImportError(f"{purpose} needs {module.split('.')[0]}: pip install 'zelk-field[{extra}]'") from None


def _pyproj_crs(crs: Any) -> Any:
    pyproj = _optional("pyproj", "geo", "a coordinate reference system")
    try:
        return pyproj.CRS.from_user_input(crs)
    except pyproj.exceptions.CRSError as error:
        raise ValueError(f"unknown CRS {_brief(crs)}: {error}") from None


def _crs_text(crs: Any) -> str:
    """A CRS as its authority code where it has one (``EPSG:32633``), else its WKT."""
    authority = crs.to_authority()
    return f"{authority[0]}:{authority[1]}" if authority else str(crs.to_wkt())


def is_geographic(crs: str | None) -> bool:
    """Whether the CRS measures in longitude and latitude degrees (None: plain coordinates, no)."""
    if crs is None:
        return False
    if crs.upper() in (WGS84, "OGC:CRS84"):
        return True  # known without pyproj
    try:
        return bool(_pyproj_crs(crs).is_geographic)
    except ImportError:
        return False  # without pyproj only the common names are known


def describe_crs(crs: str | None) -> str:
    """One line about a CRS for people: its name, and whether it is in degrees or which unit."""
    if crs is None:
        return "none (plain coordinates)"
    try:
        parsed = _pyproj_crs(crs)
    except ImportError:
        known = crs.upper() in (WGS84, "OGC:CRS84")
        return f"{crs}, geographic (longitude, latitude in degrees)" if known else crs
    code = crs if len(crs) < 40 else None  # an authority code rather than WKT
    title = f"{code} ({parsed.name})" if code else str(parsed.name)
    if parsed.is_geographic:
        return f"{title}, geographic (longitude, latitude in degrees)"
    unit = parsed.axis_info[0].unit_name if parsed.axis_info else "unknown unit"
    return f"{title}, projected, in {unit}"


def crs_unit(crs: str | None) -> str | None:
    """The unit of a CRS's first axis (``"metre"``, ``"degree"``); None for plain coordinates."""
    if crs is None:
        return None
    try:
        axes = _pyproj_crs(crs).axis_info
    except ImportError:
        return None
    return str(axes[0].unit_name) if axes else None


def _walk(coordinates: Any, depth: int, visit: Any) -> Any:
    if depth == 0:
        return visit(coordinates)
    return [_walk(item, depth - 1, visit) for item in coordinates]


def _auto_crs(pyproj: Any, lon: Any, lat: Any) -> Any:
    """A projection suited to a scene with these positions in degrees.

    A scene within one UTM zone's width gets its UTM zone (distances true to
    0.1%); a larger one an azimuthal equidistant projection centred on its box,
    true to distances from the centre. No projection keeps distances across a
    whole hemisphere, so a scene wider than 180° of longitude or taller than
    90° of latitude gets the Equal Earth world projection (EPSG:8857), whose
    scale stays within a factor of about 1.5 of the truth.
    """
    west, east, south, north = float(lon.min()), float(lon.max()), float(lat.min()), float(lat.max())
    if east - west > 180.0 or north - south > 90.0:
        return pyproj.CRS.from_epsg(8857)
    if east - west <= 6.0 and south >= -80.0 and north <= 84.0:
        area = pyproj.aoi.AreaOfInterest(west, south, east, north)
        zones = pyproj.database.query_utm_crs_info(datum_name="WGS 84", area_of_interest=area)
        if zones:
            return pyproj.CRS.from_epsg(zones[0].code)
    lon_0, lat_0 = round((west + east) / 2, 4), round((south + north) / 2, 4)
    conversion = pyproj.crs.coordinate_operation.AzimuthalEquidistantConversion(lat_0, lon_0)
    name = f"WGS 84 / azimuthal equidistant centred on {lon_0:g}, {lat_0:g}"
    return pyproj.crs.ProjectedCRS(conversion, name=name, geodetic_crs=pyproj.CRS.from_epsg(4326))


def _project(members: list[_Member], source: str | None, to_crs: Any) -> str:
    """Projects every member's positions from ``source`` (WGS84 when None); returns the new CRS."""
    pyproj = _optional("pyproj", "geo", "to_crs")
    source_crs = _pyproj_crs(WGS84 if source is None else source)
    flat: list[list[list[float]]] = []
    for member in members:
        positions: list[list[float]] = []
        _walk(member.keywords["coordinates"], _DEPTH[member.keywords["type"]], positions.append)
        flat.append(positions)
    x, y = np.array([p for positions in flat for p in positions], dtype=np.float64).T
    if isinstance(to_crs, str) and to_crs.lower() == "auto":
        to_degrees = pyproj.Transformer.from_crs(source_crs, pyproj.CRS.from_epsg(4326), always_xy=True)
        target = _auto_crs(pyproj, *(np.asarray(v) for v in to_degrees.transform(x, y)))
    else:
        target = _pyproj_crs(to_crs)
    transformer = pyproj.Transformer.from_crs(source_crs, target, always_xy=True)
    projected = np.column_stack([np.asarray(v, dtype=np.float64) for v in transformer.transform(x, y)])
    start = 0
    for member, positions in zip(members, flat):
        mine = projected[start : start + len(positions)]
        start += len(positions)
        bad = np.flatnonzero(~np.isfinite(mine).all(axis=1))
        if bad.size:
            raise member.where.error(f"position {positions[bad[0]]} has no place in {to_crs}")
        rows = iter(mine.tolist())
        member.keywords["coordinates"] = _walk(
            member.keywords["coordinates"], _DEPTH[member.keywords["type"]], lambda _: next(rows)
        )
    return _crs_text(target)


def crs_of(geometry: Any) -> str | None:
    """The CRS a scene's positions are in, as ``load`` recorded it; None for plain coordinates.

    It is an authority code (``"EPSG:4326"``) or WKT text, kept in a
    collection's ``properties`` under ``"crs"``; a single geometry has none.
    """
    from zelk.field.geometry.collection import GeometryCollectionRGJ

    if not isinstance(geometry, GeometryCollectionRGJ):
        return None
    crs = geometry.properties.get(CRS_KEY)
    return crs if isinstance(crs, str) else None


# --- reading --------------------------------------------------------------------


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
    except RecursionError:
        raise where.error("JSON nested too deep to read") from None


def _options(explode: bool, repulsion: Any, where: _Context) -> _Options:
    if repulsion is None:
        return _Options(explode)
    if isinstance(repulsion, str):
        return _Options(explode, column=repulsion)
    return _Options(explode, repulsion=_repulsion(repulsion, where.enter("scene repulsion"), scale=True))


def _finish(members: list[_Member], properties: dict[str, Any], to_crs: Any, where: _Context) -> Any:
    if to_crs is not None and members:
        properties[CRS_KEY] = _project(members, properties.get(CRS_KEY), to_crs)
    return _build(members, properties, where)


def loads(text: str | bytes, *, explode: bool = False, to_crs: Any = None, repulsion: Any = None) -> Any:
    """Read GeoJSON or RGeoJSON text into a ``GeometryCollectionRGJ``; the keywords are ``load``'s."""
    where = _Context(None)
    options = _options(explode, repulsion, where)
    return _finish(*_from_object(_parse(text, where), options, where), to_crs, where)


def _is_frame(source: Any) -> bool:
    geopandas = sys.modules.get("geopandas")  # a GeoDataFrame means geopandas is imported already
    return geopandas is not None and isinstance(source, (geopandas.GeoDataFrame, geopandas.GeoSeries))


def _plain_scalar(value: Any) -> Any:
    return value.item() if isinstance(value, np.generic) else value


def _from_frame(frame: Any, options: _Options, where: _Context) -> tuple[list[_Member], dict[str, Any]]:
    """The members of a GeoDataFrame's rows in row order, each with its row's values and index label."""
    if not hasattr(frame, "columns"):
        frame = frame.to_frame()  # a GeoSeries
    if INDEX_KEY in frame.columns:
        raise where.error(f"a column named {INDEX_KEY!r} would hide the row labels kept under that name")
    geometry_name = frame.geometry.name
    columns = [c for c in frame.columns if c != geometry_name]
    records = frame[columns].to_dict(orient="records")
    members: list[_Member] = []
    for label, shape, record in zip(frame.index.tolist(), frame.geometry, records):
        label = _plain_scalar(label)
        properties = {str(k): _plain_scalar(v) for k, v in record.items()}
        properties[INDEX_KEY] = label
        geometry = None if shape is None or shape.is_empty else shape.__geo_interface__
        feature = {"type": "Feature", "properties": properties, "geometry": geometry}
        members.extend(_feature(feature, options, where.enter(f"row {label!r}")))
    properties = {} if frame.crs is None else {CRS_KEY: _crs_text(frame.crs)}
    return members, properties


def load(source: Source, *, explode: bool = False, to_crs: Any = None, repulsion: Any = None) -> Any:
    """Read a GeoJSON or RGeoJSON source into a ``GeometryCollectionRGJ``.

    ``source`` is a path (``str`` or ``os.PathLike``), a file object open for
    reading (text or binary), a dict of GeoJSON, a geopandas GeoDataFrame or
    GeoSeries (one member per row in row order, each member's ``properties``
    holding the row's values and its index label under ``"index"``), or any
    object with ``__geo_interface__`` (a shapely geometry).

    ``to_crs`` projects every position into that CRS (anything pyproj takes,
    such as ``"EPSG:3857"``, or ``"auto"`` for the scene's UTM zone or, for a
    larger scene, an azimuthal equidistant projection centred on it).
    ``repulsion`` is the matrix of every member without its own (a number s
    means s²·I, a 2×2 matrix as it stands), or the name of the property or
    column holding each feature's matrix or number.
    """
    name = _source_name(source)
    where = _Context(name)
    options = _options(explode, repulsion, where)
    geo_interface = getattr(source, "__geo_interface__", None)
    if isinstance(source, Mapping):
        data: Any = source
    elif _is_frame(source):
        return _finish(*_from_frame(source, options, where), to_crs, where)
    elif geo_interface is not None:
        data = {**geo_interface, "crs": None}  # a shapely geometry: no CRS of its own
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
    return _finish(*_from_object(data, options, where), to_crs, where)


# --- writing --------------------------------------------------------------------


def _plain(value: Any) -> Any:
    """Converts what json cannot write: arrays to lists, NumPy scalars to Python numbers."""
    if isinstance(value, np.ndarray):
        return value.tolist()
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(f"Object of type {type(value).__name__} is not JSON serializable")


def dumps(geometry: Any, **kwargs: Any) -> str:
    """The geometry's ``toRGeoJSON()`` Feature as JSON text.

    The Feature gets a legacy ``"crs"`` member naming the scene's CRS (``null``
    without one), so that ``loads`` and GDAL read the positions in it. Further
    keywords go to ``json.dumps`` (for example ``indent=2``).
    """
    feature = {**geometry.toRGeoJSON(), "crs": _crs_member(crs_of(geometry))}
    return json.dumps(feature, default=_plain, allow_nan=False, **kwargs)


def dump(geometry: Any, fp: IO[str], **kwargs: Any) -> None:
    """Writes the geometry's ``toRGeoJSON()`` Feature as JSON to the text file ``fp``."""
    fp.write(dumps(geometry, **kwargs))


def to_geodataframe(geometry: Any) -> Any:
    """The members as a geopandas GeoDataFrame: one row per member, in order.

    The columns are the members' properties and their ``repulsion`` matrices,
    the index their row labels where ``load`` read them from a GeoDataFrame,
    and the CRS the scene's. Needs the ``geo`` extra.
    """
    geopandas = _optional("geopandas", "geo", "to_geodataframe")
    shapely_geometry = _optional("shapely.geometry", "geo", "to_geodataframe")
    from zelk.field.geometry.collection import GeometryCollectionRGJ

    members = geometry.rgjs if isinstance(geometry, GeometryCollectionRGJ) else [geometry]
    rows: list[dict[str, Any]] = []
    shapes: list[Any] = []
    labels: list[Any] = []
    for member in members:
        properties = dict(member.properties)
        labels.append(properties.pop(INDEX_KEY, None))
        properties["repulsion"] = np.asarray(member.repulsion).tolist()
        rows.append(properties)
        shapes.append(shapely_geometry.shape(member.toRGeoJSON()["geometry"]))
    index = labels if all(label is not None for label in labels) else None
    return geopandas.GeoDataFrame(rows, geometry=shapes, crs=crs_of(geometry), index=index)
