"""Times statements on corvantile and on NumPy in one process.

Each case is a setup and a statement written against `xp`, the module under
test, and optionally a statement of its own for the reference side (NumPy's
stable argsort, say). Both sides get the same inputs; repeats are interleaved and the minimum
of several repeats is kept, so machine noise hurts both sides alike. Prints ns
per call and the ratio NumPy / corvantile (above 1: corvantile is faster).

    python3 benchmarks/run.py [substring ...]   # only cases whose name matches
"""

import os
import re
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
    # The first call pays one-off costs (fresh memory touched, caches filled by the other
    # side): calibrated on it, a 1 ms statement could be timed one call at a time.
    timer.timeit(1)
    number = 1
    while True:
        if timer.timeit(number) >= TARGET_SECONDS or number >= 1 << 24:
            return number
        number *= 4


def measure(name, setup, stmt, reference=None, partner=None):
    """Times corvantile and NumPy, and corvantile on a partner case's (setup, stmt) if given."""
    timers = {}
    for label, xp in (("corvantile", corvantile), ("numpy", numpy)):
        env = {"xp": xp, "np": numpy}
        exec(setup, env)
        own = reference if label == "numpy" and reference is not None else stmt
        timers[label] = timeit.Timer(own, globals=env)
    if partner is not None:
        env = {"xp": corvantile, "np": numpy}
        exec(partner[0], env)
        timers["partner"] = timeit.Timer(partner[1], globals=env)
    numbers = {label: calibrate(t) for label, t in timers.items()}
    best = {label: float("inf") for label in timers}
    for _ in range(REPEATS):
        for label, t in timers.items():
            best[label] = min(best[label], t.timeit(numbers[label]) / numbers[label])
    if partner is not None:
        return best["corvantile"] * 1e9, best["numpy"] * 1e9, best["partner"] * 1e9
    return best["corvantile"] * 1e9, best["numpy"] * 1e9


_SORT_CASE = re.compile(r"^(large )?sort (f64|i64)( mixed| ties)? (\S+)$")
_PARTNER_KIND = {"f64": "i64", "i64": "f64", " mixed": " ties", " ties": " mixed", None: ""}


def sort_partner(name):
    """For a sort case, the same sort of the other element kind at the same length, if listed."""
    match = _SORT_CASE.match(name)
    if not match:
        return None
    large, kind, data, length = match.groups()
    other = f"{large or ''}sort {_PARTNER_KIND[kind]}{_PARTNER_KIND[data]} {length}"
    return next(((c[1], c[2]) for c in CASES if c[0] == other), None)


def sort_method(name):
    """The sort corvantile runs for a sort case, as the module reports it (through the floor library)."""
    if not os.path.exists(os.environ.get("CORVANTILE_BENCH_FLOOR", "")):
        return "?"
    import ctypes
    method = ctypes.CDLL(os.environ["CORVANTILE_BENCH_FLOOR"]).floor_sort_method
    method.restype = ctypes.c_char_p
    method.argtypes = (ctypes.c_int, ctypes.c_size_t)
    length = int(float(name.rsplit(" ", 1)[1]))
    return method(1 if " f64" in name else 0, length).decode()


def numpy_sort_target(found):
    """The target NumPy's float64 and int64 sort dispatches to: the highest one found on this
    CPU that its library holds a vectorised quicksort for (read from the library's symbols)."""
    import numpy._core._multiarray_umath as umath
    try:
        with open(umath.__file__, "rb") as f:
            built = {t.decode() for t in re.findall(rb"QSort_([A-Z0-9_]+?)I[dl]EEvPT_l", f.read())}
    except OSError:
        return "unknown"
    vectorised = [f for f in found if f in built]
    return vectorised[-1] if vectorised else "none (not vectorised)"


def numpy_road(setup, stmt):
    """Whether corvantile hands the statement to NumPy: runs it once with the fallback
    module's functions wrapped (a replaced function is honoured), counting the calls."""
    from corvantile import _fallback
    names = ("call", "call_method", "getitem", "setitem", "inplace", "argsort_descending", "compare")
    originals = {n: getattr(_fallback, n) for n in names}
    called = []

    def counting(f):
        def wrapper(*args, **kw):
            called.append(f)
            return f(*args, **kw)
        return wrapper

    env = {"xp": corvantile, "np": numpy}
    exec(setup, env)
    try:
        for n, f in originals.items():
            setattr(_fallback, n, counting(f))
        exec(stmt, env)
    finally:
        for n, f in originals.items():
            setattr(_fallback, n, f)
    return bool(called)


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
            f"dispatch found {' '.join(found)} (highest {found[-1]}), sort dispatch {numpy_sort_target(found)}; "
            f"Highway dispatch {highway}")


def main(argv):
    print(f"corvantile from {os.path.dirname(corvantile.__file__)}")
    print(dispatch_line())
    # The wide group runs only when asked for.
    selected = [c for c in CASES if any(s in c[0] for s in argv[1:])] if argv[1:] else \
        [c for c in CASES if not c[0].startswith("wide.")]
    print(f"{'case':<40} {'corvantile ns':>14} {'numpy ns':>12} {'numpy/cv':>9} {'added ns':>9}")
    small, large, road, large_road, floor, mid = [], [], [], [], [], []
    views = {}  # the views group by size
    for name, *case in selected:
        partner = sort_partner(name)
        cv_ns, np_ns, *partner_ns = measure(name, *case, **({"partner": partner} if partner else {}))
        # A declined call's cost is what it adds to NumPy's own time.
        added = f" {cv_ns - np_ns:>9.0f}" if name.startswith("road ") else ""
        if partner_ns:
            # The sorts: corvantile's own float64 / int64 time at this length, and its sort.
            f64_i64 = cv_ns / partner_ns[0] if " f64" in name else partner_ns[0] / cv_ns
            added = f"  f64/i64 {f64_i64:.2f}  {sort_method(name)}"
        grouped = name.startswith(("views.", "wide."))
        handed = grouped and numpy_road(case[0], case[1])
        if handed:
            added = "  (NumPy computes it)"
        print(f"{name:<40} {cv_ns:>14.1f} {np_ns:>12.1f} {np_ns / cv_ns:>9.2f}{added}")
        ratio = np_ns / cv_ns
        if grouped:
            # Forms that NumPy computes are reported apart: they can't beat NumPy.
            size = name.split()[0].replace(".", " ", 1) + (" NumPy roads" if handed else "")
            views.setdefault(size, []).append((ratio, name.split(" ", 1)[1]))
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
        print(f"{size}: n={len(group)} median {median(group):.2f} min {min(group)[0]:.2f} ({min(group)[1]})")
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
