"""Small helpers shared by the benchmark scripts."""
import statistics
import time


def median_time(fn, repeats=7, number=1):
    """Median wall time of `number` calls of fn, over `repeats` repeats, in seconds per call."""
    fn()  # warm up
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - start) / number)
    return statistics.median(times)


def paired_times(fa, fb, repeats=41):
    """Median times of fa and fb measured alternately in one run, so that both see the same
    machine load: the fair way to state one as a multiple of the other."""
    fa(), fb()
    ta, tb = [], []
    for _ in range(repeats):
        for f, out in ((fa, ta), (fb, tb)):
            start = time.perf_counter()
            f()
            out.append(time.perf_counter() - start)
    return statistics.median(ta), statistics.median(tb)


def fmt_time(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds * 1e9:.3g} ns"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)
