"""Benchmark cases: (name, setup, statement), written against `xp`."""

SMALL = "a = xp.asarray(np.arange(8.0)); b = xp.asarray(np.arange(1.0, 9.0))"
LARGE = "a = xp.asarray(np.arange(1e6)); b = xp.asarray(np.arange(1.0, 1e6 + 1))"

CASES = [
    ("asarray list 8", "", "xp.asarray([1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0])"),
    ("add f64 8", SMALL, "xp.add(a, b)"),
    ("add f64 1e6", LARGE, "xp.add(a, b)"),
]
