"""The ``zelk-field`` command: render a field to a picture, evaluate it at points, describe a scene.

A scene is anything ``zelk.field.io.load`` reads: a GeoJSON or RGeoJSON file
with a Geometry, Feature, FeatureCollection or GeometryCollection. Without a
scene, ``render`` draws the built-in demo scene. ``--to-crs`` projects a scene
(``auto``: a projection suited to it) and ``--repulsion`` gives every member
without a matrix of its own a length scale or a matrix.

Bad input (a missing or invalid file, a bad repulsion matrix, points of the
wrong shape, an output that cannot be written) prints one line on stderr and
exits with status 2; ``--debug`` shows the traceback instead. A missing
optional library prints what to install and exits with status 1.
"""

from __future__ import annotations

import argparse
import csv
import importlib.resources
import os
import sys
import time
from collections import Counter
from collections.abc import Sequence
from typing import Any

import numpy as np

from zelk.field import __version__, grid, io

PROGRAM = "zelk-field"
DEMO_SCENE = "demo scene"
OUTPUT_COLUMNS = ("x", "y", *(c for q in grid.QUANTITIES for c in grid.QUANTITY_TABLE[q].columns))
SCALAR_QUANTITIES = tuple(q for q in grid.QUANTITIES if not grid.QUANTITY_TABLE[q].point_shape)


class UsageError(Exception):
    """A problem with the command's input or output that the user can fix."""


class MissingDependency(Exception):
    """An optional library the command needs is not installed."""


def _load_scene(args: argparse.Namespace, warn: bool = True) -> tuple[Any, str]:
    path: str | None = args.scene
    options = {"explode": args.explode, "to_crs": args.to_crs, "repulsion": args.repulsion}
    if path is None:
        text = importlib.resources.files("zelk.field").joinpath("data", "demo.geojson").read_text(encoding="utf-8")
        scene, name = io.loads(text, **options), DEMO_SCENE
    else:
        scene, name = io.load(path, **options), os.path.basename(path)
    if warn and args.to_crs is None and io.is_geographic(io.crs_of(scene)):
        print(
            f"{PROGRAM}: warning: {name} is in longitude/latitude degrees ({io.crs_of(scene)}), so distances "
            "are in degrees and squeezed towards the poles; --to-crs auto projects it",
            file=sys.stderr,
        )
    return scene, name


def _parse_repulsion(text: str) -> float | list[list[float]]:
    try:
        values = [float(part) for part in text.split(",")]
    except ValueError:
        values = []
    if len(values) == 1:
        return values[0]
    if len(values) == 4:
        return [values[:2], values[2:]]
    raise argparse.ArgumentTypeError(f"repulsion must be a length scale S or a matrix a,b,c,d, got {text!r}")


def _parse_size(text: str) -> tuple[int, int]:
    try:
        width, height = (int(part) for part in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"size must look like 1000x700, got {text!r}") from None
    if not (16 <= width <= 20000 and 16 <= height <= 20000):
        raise argparse.ArgumentTypeError(f"width and height must be 16 to 20000 pixels, got {text!r}")
    return width, height


# --- render ---------------------------------------------------------------

# Fixed layout (fractions of the figure): plot, then colour bar to its right.
_PLOT_BOX = (0.08, 0.09, 0.76, 0.83)
_COLORBAR_BOX = (0.87, 0.09, 0.025, 0.83)
_STREAM_COLUMNS = 48


def _samples(bounds: grid.Bounds, width: int, height: int) -> tuple[int, int]:
    """One field sample per pixel of the plot area the bounds occupy at equal aspect."""
    xmin, ymin, xmax, ymax = bounds
    plot_width, plot_height = _PLOT_BOX[2] * width, _PLOT_BOX[3] * height
    scale = min(plot_width / (xmax - xmin), plot_height / (ymax - ymin))
    return max(2, round(scale * (ymax - ymin))), max(2, round(scale * (xmax - xmin)))


def _outlines(collection: Any) -> tuple[list[Any], list[Any], list[Any]]:
    """Boundary rings, line strings and points of every member, as (k, 2) arrays."""
    rings: list[Any] = []
    lines: list[Any] = []
    points: list[Any] = []
    for member in collection.rgjs:
        geometry = member.toRGeoJSON()["geometry"]
        kind, coordinates = geometry["type"], geometry["coordinates"]
        if kind == "Polygon":
            rings.extend(np.asarray(r, dtype=float).reshape(-1, 2) for r in coordinates)
        elif kind == "MultiPolygon":
            rings.extend(np.asarray(r, dtype=float).reshape(-1, 2) for polygon in coordinates for r in polygon)
        elif kind == "LineString":
            lines.append(np.asarray(coordinates, dtype=float).reshape(-1, 2))
        elif kind == "MultiLineString":
            lines.extend(np.asarray(line, dtype=float).reshape(-1, 2) for line in coordinates)
        else:
            points.append(np.asarray(coordinates, dtype=float).reshape(-1, 2))
    return rings, lines, points


def _render(args: argparse.Namespace) -> int:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.collections import LineCollection
        from matplotlib.colors import Normalize, PowerNorm
    except ImportError:
        raise MissingDependency("render needs matplotlib: pip install 'zelk-field[cli]'") from None

    collection, name = _load_scene(args)
    bounds = grid.default_bounds(collection) if args.bounds is None else tuple(args.bounds)
    width, height = args.size
    shape = _samples(bounds, width, height)
    progress = True if args.progress else None
    started = time.perf_counter()
    field = grid.evaluate(collection, bounds, shape, quantities=(args.quantity,), progress=progress)
    stream_shape = (max(2, round(_STREAM_COLUMNS * shape[0] / shape[1])), _STREAM_COLUMNS)
    arrows = grid.evaluate(collection, bounds, stream_shape, quantities=("gradient",), progress=False)
    elapsed = time.perf_counter() - started

    figure = plt.figure(figsize=(width / args.dpi, height / args.dpi), dpi=args.dpi)
    plot = figure.add_axes(_PLOT_BOX)
    values = field[args.quantity]
    label = grid.QUANTITY_TABLE[args.quantity].label
    if args.quantity == "value":
        norm: Normalize = Normalize(0.0, 1.0)
    else:
        norm = PowerNorm(0.5, 0.0, max(float(values.max()), 1e-300))
        label += " (square-root scale)"
    # Samples sit at pixel centres, so the picture reaches half a step beyond them.
    half_x, half_y = (field.xs[1] - field.xs[0]) / 2, (field.ys[1] - field.ys[0]) / 2
    extent = (field.xs[0] - half_x, field.xs[-1] + half_x, field.ys[0] - half_y, field.ys[-1] + half_y)
    image = plot.imshow(
        values, origin="lower", extent=extent, cmap="viridis", norm=norm, interpolation="nearest", aspect="equal"
    )
    figure.colorbar(image, cax=figure.add_axes(_COLORBAR_BOX), label=label)

    # Streamlines follow the gradient's direction only. Where the field has
    # underflowed (or inside a polygon) the gradient is zero or subnormal and its
    # direction is lost, so the lines stop there instead of wandering.
    length = np.hypot(arrows["gradient"][..., 0], arrows["gradient"][..., 1])[..., None]
    carries = length >= np.finfo(np.float64).tiny
    gradient = np.divide(arrows["gradient"], length, out=np.full_like(arrows["gradient"], np.nan), where=carries)
    if carries.any():
        plot.streamplot(
            arrows.xs, arrows.ys, gradient[..., 0], gradient[..., 1], color="white", linewidth=0.6, density=1.4,
            arrowsize=0.7,
        )  # fmt: skip
    rings, lines, points = _outlines(collection)
    plot.add_collection(LineCollection(rings, colors="black", linewidths=1.0))
    plot.add_collection(LineCollection(lines, colors="#ff7f0e", linewidths=1.6))
    if points:
        xy = np.concatenate(points)
        plot.scatter(xy[:, 0], xy[:, 1], s=14, c="#d62728", edgecolors="black", linewidths=0.5, zorder=3)
    plot.set_xlim(bounds[0], bounds[2])
    plot.set_ylim(bounds[1], bounds[3])
    crs = io.crs_of(collection)
    if io.is_geographic(crs):
        plot.set_xlabel("longitude (°)")
        plot.set_ylabel("latitude (°)")
    else:
        unit = "" if crs is None else f" ({io.crs_unit(crs)})"
        plot.set_xlabel(f"x{unit}")
        plot.set_ylabel(f"y{unit}")
    members = len(collection.rgjs)
    quantity = "field value" if args.quantity == "value" else "squared distance"
    plot.set_title(args.title or f"{name}: {quantity} and gradient, {members} member{'s' * (members != 1)}")
    try:
        figure.savefig(args.output, dpi=args.dpi, format="png")
    except OSError as error:
        raise UsageError(f"cannot write {args.output}: {error.strerror or error}") from None
    finally:
        plt.close(figure)
    print(f"{args.output}: {width}x{height} pixels, {shape[1]}x{shape[0]} samples in {elapsed:.2f} s")
    return 0


# --- eval -----------------------------------------------------------------


def _read_points(path: str) -> Any:
    if not os.path.exists(path):
        raise UsageError(f"{path}: no such file")
    try:
        if path.lower().endswith(".npy"):
            points = np.load(path, allow_pickle=False)
        else:
            with open(path, newline="", encoding="utf-8") as file:
                rows = [row for row in csv.reader(file) if row and any(cell.strip() for cell in row)]
            try:
                float(rows[0][0]) if rows else None
            except ValueError:
                rows = rows[1:]  # a header line
            points = np.array([[float(cell) for cell in row] for row in rows], dtype=np.float64).reshape(len(rows), -1)
    except (OSError, ValueError, UnicodeDecodeError) as error:
        raise UsageError(f"{path}: cannot read points: {error}") from None
    if points.ndim != 2 or points.shape[1] != 2 or not np.issubdtype(points.dtype, np.number):
        raise UsageError(f"{path}: points must be an (n, 2) array of x, y, got shape {points.shape}")
    return points.astype(np.float64)


def _eval(args: argparse.Namespace) -> int:
    collection, _ = _load_scene(args)
    points = _read_points(args.points)
    results = grid.evaluate_points(collection, points, quantities=grid.QUANTITIES, progress=None)
    table = np.column_stack([points, *(results[q].reshape(len(points), -1) for q in grid.QUANTITIES)])
    extension = os.path.splitext(args.output)[1].lower()
    try:
        if extension == ".npy":
            np.save(args.output, table)
        elif extension == ".npz":
            arrays: dict[str, Any] = {"points": points, **results}
            np.savez(args.output, **arrays)
        elif extension == ".csv":
            np.savetxt(args.output, table, fmt="%.17g", delimiter=",", header=",".join(OUTPUT_COLUMNS), comments="")
        else:
            raise UsageError(f"{args.output}: the output must end in .npy, .npz or .csv")
    except OSError as error:
        raise UsageError(f"cannot write {args.output}: {error.strerror or error}") from None
    print(f"{args.output}: {len(points)} points")
    return 0


# --- info -----------------------------------------------------------------


def _vertex_count(coordinates: Any) -> int:
    if isinstance(coordinates, np.ndarray):
        return coordinates.size // 2
    if coordinates and isinstance(coordinates[0], (int, float)):
        return 1  # one position
    return sum(_vertex_count(item) for item in coordinates)


def _info(args: argparse.Namespace) -> int:
    collection, name = _load_scene(args, warn=False)
    kinds: Counter[str] = Counter()
    vertices: Counter[str] = Counter()
    segments: Counter[str] = Counter()
    matrices: Counter[tuple[float, ...]] = Counter()
    for member in collection.rgjs:
        geometry = member.toRGeoJSON()["geometry"]
        kind = geometry["type"]
        kinds[kind] += 1
        vertices[kind] += _vertex_count(geometry["coordinates"])
        segments[kind] += len(getattr(member, "points_in_line_pair", ()))  # points have none
        matrices[tuple(np.asarray(member.repulsion, dtype=float).ravel().tolist())] += 1
    xmin, ymin = collection.bbox[0]
    xmax, ymax = collection.bbox[1]
    print(f"{name}: {len(collection.rgjs)} members, {sum(vertices.values())} vertices, {sum(segments.values())} segments")
    for kind, count in sorted(kinds.items()):
        print(f"  {kind}: {count} ({vertices[kind]} vertices, {segments[kind]} segments)")
    print(f"box: x {xmin:g} to {xmax:g}, y {ymin:g} to {ymax:g}")
    crs = io.crs_of(collection)
    print(f"CRS: {io.describe_crs(crs)}")
    if io.is_geographic(crs):
        print("  distances and repulsion matrices are in degrees; --to-crs auto projects the scene")
    print("repulsion matrices:")
    for (a, b, c, d), count in matrices.most_common():
        print(f"  [[{a:g}, {b:g}], [{c:g}, {d:g}]]: {count} member{'s' * (count != 1)}")
    return 0


# --- grid -----------------------------------------------------------------


def _grid(args: argparse.Namespace) -> int:
    collection, _ = _load_scene(args)
    bounds = grid.default_bounds(collection) if args.bounds is None else tuple(args.bounds)
    width, height = args.size
    quantities = args.quantity or ("value", "gradient")
    progress = True if args.progress else None
    field = grid.evaluate(collection, bounds, (height, width), quantities=quantities, progress=progress)
    try:
        field.save(args.output)
    except OSError as error:
        raise UsageError(f"cannot write {args.output}: {error.strerror or error}") from None
    except ImportError as error:
        raise MissingDependency(str(error)) from None
    columns = [c for q in field.quantities for c in grid.QUANTITY_TABLE[q].columns]
    crs = io.crs_of(collection)
    where = "" if crs is None else f" in {crs}" if len(crs) < 40 else " in a WKT CRS"
    print(f"{args.output}: {width}x{height} grid points of {', '.join(columns)}{where}")
    return 0


# --- entry point ----------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROGRAM, description="Repulsion fields of GeoJSON scenes.")
    parser.add_argument("--debug", action="store_true", help="show tracebacks instead of one-line errors")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def scene_options(command: argparse.ArgumentParser) -> None:
        command.add_argument("--explode", action="store_true", help="split multi-part geometries into their parts")
        command.add_argument(
            "--to-crs", metavar="CRS", help="project the scene into CRS (EPSG:3857, ...; auto: one suited to it)"
        )
        command.add_argument(
            "--repulsion", type=_parse_repulsion, metavar="S|a,b,c,d",
            help="repulsion of members without their own: length scale S (S²·I) or matrix [[a, b], [c, d]], "
            "in the units of the (projected) coordinates",
        )  # fmt: skip

    render = commands.add_parser("render", help="draw a field as a PNG picture")
    render.add_argument("scene", nargs="?", help="GeoJSON or RGeoJSON file (default: the built-in demo scene)")
    render.add_argument("-o", "--output", default="field.png", help="PNG file to write (default: field.png)")
    render.add_argument("--size", type=_parse_size, default=(1000, 700), metavar="WxH", help="picture size in pixels")
    render.add_argument("--bounds", type=float, nargs=4, metavar=("XMIN", "YMIN", "XMAX", "YMAX"))
    render.add_argument("--quantity", choices=SCALAR_QUANTITIES, default="value", help="what the colours show")
    render.add_argument("--dpi", type=float, default=100.0, help="dots per inch (text and line sizes)")
    render.add_argument("--title", help="title above the plot")
    render.add_argument("--progress", action="store_true", help="always show a progress bar")
    scene_options(render)
    render.set_defaults(run=_render)

    evaluate = commands.add_parser("eval", help="evaluate a field at points")
    evaluate.add_argument("scene", help="GeoJSON or RGeoJSON file")
    evaluate.add_argument("points", help="points as .npy (n, 2) or CSV with x, y columns (header optional)")
    evaluate.add_argument("-o", "--output", required=True, help="output: .npy (n, 8), .npz or .csv")
    scene_options(evaluate)
    evaluate.set_defaults(run=_eval)

    to_grid = commands.add_parser("grid", help="sample a field on a grid for GIS tools")
    to_grid.add_argument("scene", help="GeoJSON or RGeoJSON file")
    to_grid.add_argument("-o", "--output", required=True, help="output: .tif (GeoTIFF), .nc (NetCDF) or .npz")
    to_grid.add_argument("--size", type=_parse_size, default=(800, 600), metavar="WxH", help="grid points along x, y")
    to_grid.add_argument("--bounds", type=float, nargs=4, metavar=("XMIN", "YMIN", "XMAX", "YMAX"))
    to_grid.add_argument(
        "--quantity", action="append", choices=grid.QUANTITIES, help="a quantity to write (repeatable; "
        "default: value and gradient)"
    )  # fmt: skip
    to_grid.add_argument("--progress", action="store_true", help="always show a progress bar")
    scene_options(to_grid)
    to_grid.set_defaults(run=_grid)

    info = commands.add_parser("info", help="describe a scene")
    info.add_argument("scene", help="GeoJSON or RGeoJSON file")
    scene_options(info)
    info.set_defaults(run=_info)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "render":
        if args.dpi <= 0:
            parser.error("--dpi must be positive")
    try:
        return int(args.run(args))
    except (io.GeoJSONError, UsageError, ValueError) as error:
        if args.debug:
            raise
        print(f"{PROGRAM}: error: {error}", file=sys.stderr)
        return 2
    except (MissingDependency, ImportError) as error:
        if args.debug:
            raise
        print(f"{PROGRAM}: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
