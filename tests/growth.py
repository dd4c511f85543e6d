"""Cost checks that hold on a loaded machine and under a debug interpreter:
a call at a large size is weighed against the same call at a fraction of that
size, on the calling thread's CPU clock, which other processes do not
advance. Test modules import these as `from ..growth import assert_linear`."""

import gc
import time


def thread_seconds(call, *args):
    """The thread CPU time that call(*args) takes, and its result. The
    collector is off meanwhile: its full passes cost what the whole process
    holds, not what the call does."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        started = time.thread_time()
        result = call(*args)
        spent = time.thread_time() - started
    finally:
        if enabled:
            gc.enable()
    return spent, result


def assert_linear(call, large, check, make=None, ratio=32, slack=8):
    """call(n) `ratio` times at n = large // ratio, then once at n = large
    (given make, call(make(n)), with make(n) untimed); check(n, result) sees
    the first result at each size. The small runs together handle as much as
    the large one, so a linear cost takes about as long for both, while a
    quadratic one takes `ratio` times as long at the large size. `slack`
    covers caches that the large size outgrows and neighbours sharing the
    core."""
    small = large // ratio
    spent_small = 0.0
    arg = make(small) if make else small
    for i in range(ratio):
        spent, result = thread_seconds(call, arg)
        spent_small += spent
        if i == 0:
            check(small, result)
    spent_large, result = thread_seconds(call, make(large) if make else large)
    check(large, result)
    assert spent_large <= slack * spent_small, (
        f"size {large}: {spent_large:.4f} s; {ratio} runs at size {small}: {spent_small:.4f} s"
    )


def assert_bounded(call, small, large, repeat=20, slack=4):
    """call(large) costs about what call(small) does, for a cost that must not
    follow the size; both are short, so each counts the least of `repeat`
    runs. Returns the two results."""
    costs, results = [], []
    for size in (small, large):
        runs = [thread_seconds(call, size) for _ in range(repeat)]
        costs.append(min(spent for spent, _ in runs))
        results.append(runs[-1][1])
    assert costs[1] <= slack * costs[0], f"size {large}: {costs[1]:.6f} s; size {small}: {costs[0]:.6f} s"
    return results
