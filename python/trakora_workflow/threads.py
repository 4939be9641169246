"""Frames worked on side by side: reading, filtering and the native kernels run without the
interpreter lock, so threads of one process overlap them."""
from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor
from typing import Callable, Iterable, TypeVar

T = TypeVar("T")
R = TypeVar("R")

MAX_THREADS = 8


def thread_count() -> int:
    """The cores this process may use, at most MAX_THREADS, or TRAKORA_NUM_THREADS when it is
    set (1: one frame at a time)."""
    wanted = os.environ.get("TRAKORA_NUM_THREADS", "").strip()
    if wanted.isdigit() and int(wanted) > 0:
        return min(MAX_THREADS, int(wanted))
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = os.cpu_count() or 1
    return max(1, min(MAX_THREADS, cores))


def map_threads(work: Callable[[T], R], items: Iterable[T]) -> list[R]:
    """`[work(item) for item in items]`, the items worked on by up to `thread_count()`
    threads; the first failure in item order is raised."""
    items = list(items)
    threads = min(thread_count(), len(items))
    if threads <= 1:
        return [work(item) for item in items]
    with ThreadPoolExecutor(threads, thread_name_prefix="trakora") as pool:
        return list(pool.map(work, items))
