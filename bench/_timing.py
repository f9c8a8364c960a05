"""Side-by-side timing: every ratio compares two callables measured in the same run."""

import timeit


def best_time(fn, min_total=0.2, repeat=5):
    """Best time per call over `repeat` rounds of enough calls to fill `min_total` seconds."""
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()
    number = max(1, int(number * min_total / 0.2))
    return min(timer.repeat(repeat=repeat, number=number)) / number


def compare(label, ours, reference, reference_name="numpy"):
    """Prints how many times faster `ours` is than `reference` (ratio > 1: ours faster)."""
    t_ours = best_time(ours)
    t_ref = best_time(reference)
    print(f"{label:<58} {reference_name} / ours = {t_ref / t_ours:8.2f}x")
    return t_ref / t_ours
