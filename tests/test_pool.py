"""The worker pool, through private hooks that run it over lists of integers: first match, ordered
filter, filter with texts, and stable sort, compared with Python's own scan, filter and sorted.
`force_parallel=True` hands even small inputs to the helper threads in many small chunks."""

import os
import random
import signal
import sys
import threading
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tabrix  # noqa: F401  (registers tabrix._testing)

hooks = sys.modules["tabrix._testing"]

INT32 = st.integers(-(2**31), 2**31 - 1)


def expected(values, target, limit):
    return (
        next((i for i, v in enumerate(values) if v == target), len(values)),
        [i for i, v in enumerate(values) if v < limit],
        [str(v) for v in values if v < limit],
        sorted(range(len(values)), key=values.__getitem__),
    )


def results(values, target, limit, force):
    return (
        hooks.pool_find_first(values, target, force),
        hooks.pool_filter(values, limit, force),
        hooks.pool_filter_map(values, limit, force),
        hooks.pool_sort(values, force),
    )


def check(values, target, limit, force):
    assert results(values, target, limit, force) == expected(values, target, limit)


def helpers_take_work(attempts=500):
    """Runs forced calls until a helper thread has run chunks; each result is checked too."""
    before = hooks.pool_stats()[1]
    values = [1] * 200_000
    for attempt in range(attempts):
        at = (attempt * 7919) % len(values)
        values[at] = 0
        assert hooks.pool_find_first(values, 0, True) == at
        values[at] = 1
        if hooks.pool_stats()[1] > before:
            return True
    return False


# Forced hand-off cuts n items into min(n, 64) chunks; 640 items put a boundary every 10.
CASES = {
    "empty": ([], 0, 0),
    "one item, match": ([7], 7, 8),
    "one item, no match": ([7], 8, 7),
    "match first": ([3] + [1] * 639, 3, 2),
    "match last": ([1] * 639 + [3], 3, 2),
    "match at chunk boundary": ([1] * 50 + [3] + [1] * 589, 3, 2),
    "match before chunk boundary": ([1] * 49 + [3] + [1] * 590, 3, 2),
    "later chunks match too": ([0] * 300 + [5] + [5] * 339, 5, 5),
    "no match": (list(range(640)), -1, -(2**31)),
    "all match": ([4] * 640, 4, 5),
    "all ties": ([9] * 1000, 9, 10),
    "descending with extremes": ([2**31 - 1] + list(range(700, -700, -1)) + [-(2**31)], 0, 0),
    "few distinct keys": ([i % 3 for i in range(2000)], 2, 1),
}


@pytest.mark.parametrize("force", [False, True], ids=["inline", "forced"])
@pytest.mark.parametrize("values,target,limit", CASES.values(), ids=CASES.keys())
def test_results_match_python(values, target, limit, force):
    check(values, target, limit, force)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.integers(-5, 5) | INT32, max_size=400), st.integers(-6, 6), st.integers(-6, 6))
def test_random_lists_with_forced_hand_off(values, target, limit):
    check(values, target, limit, True)


@pytest.mark.parametrize("at", [0, 1, 149_999, 299_999, None])
def test_large_inputs_go_to_the_pool_unforced(at):
    # 300,000 items at the hooks' 10 ns each are worth handing off without forcing.
    rng = random.Random(at)
    values = [rng.randrange(1, 1000) for _ in range(300_000)]
    if at is not None:
        values[at] = 0
    check(values, 0, 500, False)


def test_helpers_really_take_work():
    helpers, _ = hooks.pool_stats()
    assert helpers >= 1
    assert helpers_take_work()


def test_many_python_threads_at_once():
    errors = []

    def worker(seed):
        rng = random.Random(seed)
        try:
            for _ in range(30):
                values = [rng.randrange(50) for _ in range(rng.randrange(5000))]
                target, limit = rng.randrange(60), rng.randrange(60)
                if results(values, target, limit, True) != expected(values, target, limit):
                    errors.append((seed, values, target, limit))
        except BaseException as e:  # noqa: BLE001  (reported below)
            errors.append((seed, e))

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "a pool call never returned"
    assert errors == []


def wait_for_child(pid, timeout):
    """The child's exit status; a child still running after `timeout` seconds is killed."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    pytest.fail("the forked child hung")


def child_uses_pool():
    """In a forked child: fresh helpers must take work, and results must be right."""
    rng = random.Random(5)
    for _ in range(5):
        values = [rng.randrange(20) for _ in range(3000)]
        if results(values, 7, 9, True) != expected(values, 7, 9):
            return 1
    return 0 if helpers_take_work() else 2


@pytest.mark.filterwarnings("ignore:.*use of fork\\(\\) may lead to deadlocks:DeprecationWarning")
@pytest.mark.parametrize("busy_thread", [False, True], ids=["idle", "while-another-thread-searches"])
def test_fork_after_hand_off(busy_thread):
    assert helpers_take_work()
    stop = threading.Event()
    failures = []

    def keep_searching():
        rng = random.Random(1)
        while not stop.is_set():
            values = [rng.randrange(20) for _ in range(20_000)]
            if results(values, 3, 4, True) != expected(values, 3, 4):
                failures.append(values)

    searcher = threading.Thread(target=keep_searching)
    if busy_thread:
        searcher.start()
        time.sleep(0.05)
    try:
        pid = os.fork()
        if pid == 0:
            code = 3
            try:
                code = child_uses_pool()
            finally:
                os._exit(code)
        # The parent keeps working while the child runs.
        check([i % 11 for i in range(50_000)], 10, 5, True)
        assert wait_for_child(pid, timeout=120) == 0
        assert helpers_take_work()
    finally:
        stop.set()
        if busy_thread:
            searcher.join(timeout=120)
    assert failures == []
