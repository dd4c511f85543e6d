"""Side-by-side speed ratios for the benchmark scripts.

The machines are shared and noisy, so a figure is never an absolute time: a
candidate and its baseline run in interleaved rounds inside one process, each
round timed on the thread's CPU clock, and the ratio is the median of the
per-round ratios.

    from _ratio import compare, load_baseline
    old = load_baseline("pelorin.amazon_rufus.services.telvara", "/path/to/old/stage")
    compare("format_data", baseline=lambda: ..., candidate=lambda: ...)

A baseline build is a staged package tree of an earlier revision (for
example `scripts/devtest` run in a worktree of that revision leaves one in
build/dev-<target>/stage).
"""

import gc
import importlib.machinery
import importlib.util
import statistics
import sys
import time
from pathlib import Path


def load_baseline(module, stage):
    """The extension `module` as built in the staged tree `stage`, imported
    beside the current one under the name `baseline.<module>`."""
    parts = module.split(".")
    folder = Path(stage).joinpath(*parts[:-1])
    candidates = sorted(folder.glob(parts[-1] + ".*.so")) + sorted(folder.glob(parts[-1] + ".so"))
    if not candidates:
        raise SystemExit(f"no built {module} under {stage}")
    name = "baseline." + module
    loader = importlib.machinery.ExtensionFileLoader(name, str(candidates[0]))
    found = importlib.util.spec_from_file_location(name, candidates[0], loader=loader)
    loaded = importlib.util.module_from_spec(found)
    sys.modules[name] = loaded
    found.loader.exec_module(loaded)
    return loaded


def timed(fn, number):
    gc.collect()
    started = time.thread_time()
    for _ in range(number):
        fn()
    return time.thread_time() - started


def compare(label, baseline, candidate, *, number=None, rounds=15, unit="call"):
    """Interleaved rounds of `baseline` and `candidate`; prints and returns
    the median speed-up (baseline time / candidate time)."""
    if number is None:  # about 50 ms of the baseline a round
        number, spent = 1, 0.0
        while spent < 0.05:
            number *= 2
            spent = timed(baseline, number)
    timed(baseline, max(1, number // 4))  # warm both
    timed(candidate, max(1, number // 4))
    ratios, base_times, cand_times = [], [], []
    for i in range(rounds):
        pair = [(baseline, base_times), (candidate, cand_times)]
        if i % 2:
            pair.reverse()
        for fn, into in pair:
            into.append(timed(fn, number))
        ratios.append(base_times[-1] / cand_times[-1])
    ratio = statistics.median(ratios)
    base_us = statistics.median(base_times) / number * 1e6
    cand_us = statistics.median(cand_times) / number * 1e6
    print(f"{label:<48} baseline {base_us:10.3f} µs/{unit}  candidate {cand_us:10.3f} µs/{unit}  "
          f"ratio {ratio:6.2f}x")
    return ratio
