"""Every benchmark in one run: python bench/run.py [--quick] [--json FILE] [--world PATH]

Each row is a ratio of two timings taken side by side in this run (reference
time / our time: higher means zelk is faster); the answers are compared before
the timings count. --quick runs every workload once on small sizes: a smoke
run of the answers and the plumbing whose figures mean nothing.
"""

import argparse
import json
import os
import platform
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import _timing  # noqa: E402
import bench_collection  # noqa: E402
import bench_grid  # noqa: E402
import bench_kernels  # noqa: E402
import bench_linestring  # noqa: E402
import bench_point  # noqa: E402
import bench_polygon  # noqa: E402
import bench_scale  # noqa: E402

GROUPS = {
    "point": bench_point.main,
    "kernels": bench_kernels.main,
    "linestring": bench_linestring.main,
    "polygon": bench_polygon.main,
    "collection": bench_collection.main,
}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, one call each, no timing value")
    parser.add_argument("--json", metavar="FILE", help="write the table as JSON")
    parser.add_argument("--world", metavar="PATH", default=bench_scale.DEFAULT_WORLD,
                        help="the world GeoJSON file (default: ../shared/data/countries.geo.json)")
    parser.add_argument("--only", metavar="GROUP", action="append",
                        choices=[*GROUPS, "scale", "grid"], help="run only these groups (repeatable)")
    args = parser.parse_args(argv)
    _timing.QUICK = args.quick
    started = time.perf_counter()
    with_world = [("scale", lambda quick: bench_scale.main(quick, args.world)),
                  ("grid", lambda quick: bench_grid.main(quick, args.world))]
    for name, run in [*GROUPS.items(), *with_world]:
        if args.only and name not in args.only:
            continue
        print(f"== {name}", flush=True)
        run(quick=args.quick)
    print(f"== {len(_timing.RESULTS)} rows in {time.perf_counter() - started:.0f} s")
    if args.json:
        import numpy

        meta = {"quick": args.quick, "python": platform.python_version(), "numpy": numpy.__version__,
                "machine": platform.machine(), "cpus": os.cpu_count()}
        with open(args.json, "w") as f:
            json.dump({"meta": meta, "rows": _timing.RESULTS}, f, indent=1)


if __name__ == "__main__":
    main()
