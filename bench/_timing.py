"""Side-by-side timing: every ratio compares two callables measured in the same run.

Every comparison is also recorded in RESULTS, so that bench/run.py can print one
table and write it as JSON. In quick mode each callable runs once: a smoke run
that checks the answers and the plumbing, not the speed.
"""

import timeit

RESULTS = []
QUICK = False


def best_time(fn, min_total=0.2, repeat=5):
    """Best time per call over `repeat` rounds of enough calls to fill `min_total` seconds."""
    timer = timeit.Timer(fn)
    if QUICK:
        return timer.timeit(number=1)
    number, _ = timer.autorange()
    number = max(1, int(number * min_total / 0.2))
    return min(timer.repeat(repeat=repeat, number=number)) / number


def record(label, reference_name, t_ours, t_ref, target=None, note=""):
    """Stores and prints one row; ratio > 1 means ours is faster."""
    ratio = t_ref / t_ours
    RESULTS.append(
        {"workload": label, "reference": reference_name, "ratio": ratio, "ours_s": t_ours,
         "reference_s": t_ref, "target": target, "note": note}
    )
    extra = f"  target {target}" if target else ""
    extra += f"  ({note})" if note else ""
    print(f"{label:<62} {reference_name:>10} / ours = {ratio:9.2f}x{extra}", flush=True)
    return ratio


def compare(label, ours, reference, reference_name="numpy", target=None, scale=1.0, repeat=5):
    """Times `ours` and `reference` side by side. `scale` > 1 means the reference
    ran on 1/scale of the work and its time is scaled up linearly."""
    t_ours = best_time(ours, repeat=repeat)
    t_ref = best_time(reference, repeat=repeat) * scale
    note = f"reference on 1/{scale:g} of the points, scaled" if scale > 1 else ""
    return record(label, reference_name, t_ours, t_ref, target, note)
