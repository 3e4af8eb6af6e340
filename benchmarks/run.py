"""Times statements on corvantile and on NumPy in one process.

Each case is a setup and a statement written against `xp`, the module under
test, and optionally a statement of its own for the reference side (NumPy's
stable argsort, say). Both sides get the same inputs; repeats are interleaved and the minimum
of several repeats is kept, so machine noise hurts both sides alike. Prints ns
per call and the ratio NumPy / corvantile (above 1: corvantile is faster).

    python3 benchmarks/run.py [substring ...]   # only cases whose name matches
"""

import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# A build other than release keeps its package in a directory of its own.
if os.environ.get("CORVANTILE_PKG_ROOT"):
    sys.path.insert(0, os.environ["CORVANTILE_PKG_ROOT"])

import numpy  # noqa: E402

import corvantile  # noqa: E402

from cases import CASES  # noqa: E402

REPEATS = 7
TARGET_SECONDS = 0.02  # per repeat


def calibrate(timer):
    number = 1
    while True:
        if timer.timeit(number) >= TARGET_SECONDS or number >= 1 << 24:
            return number
        number *= 4


def measure(name, setup, stmt, reference=None):
    timers = {}
    for label, xp in (("corvantile", corvantile), ("numpy", numpy)):
        env = {"xp": xp, "np": numpy}
        exec(setup, env)
        own = reference if label == "numpy" and reference is not None else stmt
        timers[label] = timeit.Timer(own, globals=env)
    numbers = {label: calibrate(t) for label, t in timers.items()}
    best = {label: float("inf") for label in timers}
    for _ in range(REPEATS):
        for label, t in timers.items():
            best[label] = min(best[label], t.timeit(numbers[label]) / numbers[label])
    return best["corvantile"] * 1e9, best["numpy"] * 1e9


def median(group):
    ratios = sorted(r for r, _ in group)
    mid = len(ratios) // 2
    return ratios[mid] if len(ratios) % 2 else (ratios[mid - 1] + ratios[mid]) / 2


def dispatch_line():
    """The CPU, and the SIMD targets NumPy's and Highway's run-time dispatch chose on it."""
    info = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                info.setdefault(key.strip(), value.strip())
    except OSError:
        pass
    cpu = f"{info.get('model name', 'unknown CPU')} (family {info.get('cpu family', '?')} model {info.get('model', '?')})"
    # The SIMD entries numpy.show_runtime() prints, from the same source.
    from numpy._core._multiarray_umath import __cpu_baseline__, __cpu_dispatch__, __cpu_features__
    found = [f for f in __cpu_dispatch__ if __cpu_features__.get(f)] or ["none"]
    highway = "not built"
    if os.path.exists(os.environ.get("CORVANTILE_BENCH_FLOOR", "")):
        import ctypes
        target = ctypes.CDLL(os.environ["CORVANTILE_BENCH_FLOOR"]).floor_hwy_target
        target.restype = ctypes.c_char_p
        highway = target().decode()
    return (f"CPU {cpu}; NumPy {numpy.__version__} SIMD baseline {' '.join(__cpu_baseline__)}, "
            f"dispatch found {' '.join(found)} (highest {found[-1]}); Highway dispatch {highway}")


def main(argv):
    print(f"corvantile from {os.path.dirname(corvantile.__file__)}")
    print(dispatch_line())
    selected = [c for c in CASES if not argv[1:] or any(s in c[0] for s in argv[1:])]
    print(f"{'case':<40} {'corvantile ns':>14} {'numpy ns':>12} {'numpy/cv':>9} {'added ns':>9}")
    small, large, road, large_road, floor, mid = [], [], [], [], [], []
    views = {}  # the views group by size
    for name, *case in selected:
        cv_ns, np_ns = measure(name, *case)
        # A declined call's cost is what it adds to NumPy's own time.
        added = f" {cv_ns - np_ns:>9.0f}" if name.startswith("road ") else ""
        print(f"{name:<40} {cv_ns:>14.1f} {np_ns:>12.1f} {np_ns / cv_ns:>9.2f}{added}")
        ratio = np_ns / cv_ns
        if name.startswith("views."):
            views.setdefault(name.split()[0][len("views."):], []).append((ratio, name.split(" ", 1)[1]))
        elif name.startswith("road ") and " 1e6" in name:
            large_road.append((ratio, name))  # NumPy's own time dwarfs what the road adds
        elif name.startswith("road "):
            road.append((cv_ns - np_ns, name))
        elif name.startswith("floor "):
            floor.append((ratio, name))
        elif name.startswith("mid "):
            # The sorts and the C-library functions are judged elsewhere.
            if not any(s in name for s in ("sort(", "exp(")):
                mid.append((ratio, name))
        elif name.endswith(" 8"):
            small.append((ratio, name))
        elif " 1e6" in name and "(C library)" not in name:
            large.append((ratio, name))
    for group, label in ((small, "8-element"), (mid, "1e3/1e4")):
        if group:
            print(f"{label} cases: {len(group)}, median {median(group):.2f}, lowest {min(group)[0]:.2f} ({min(group)[1]})")
    for size, group in views.items():
        print(f"views {size}: n={len(group)} median {median(group):.2f} min {min(group)[0]:.2f} ({min(group)[1]})")
    if large:
        print(f"1e6 cases: {len(large)}, lowest {min(large)[0]:.2f} ({min(large)[1]})")
    if floor:
        print(f"floor cases: {len(floor)}, lowest {min(floor)[0]:.2f} of their floor ({min(floor)[1]})")
    if large_road:
        print(f"1e6 road cases: {len(large_road)}, lowest {min(large_road)[0]:.2f} ({min(large_road)[1]})")
    if road:
        print(f"road cases: {len(road)}, most added {max(road)[0]:.0f} ns ({max(road)[1]})")


if __name__ == "__main__":
    main(sys.argv)
