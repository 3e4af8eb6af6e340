"""Benchmark cases: (name, setup, statement), written against `xp`."""

SMALL = "a = xp.asarray(np.arange(8.0)); b = xp.asarray(np.arange(1.0, 9.0))"
LARGE = "a = xp.asarray(np.arange(1e6)); b = xp.asarray(np.arange(1.0, 1e6 + 1))"

CASES = [
    ("asarray list 8", "", "xp.asarray([1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0])"),
    ("add f64 8", SMALL, "xp.add(a, b)"),
    ("add f64 1e6", LARGE, "xp.add(a, b)"),
]

# The operators, on 8 and 1,000,000 elements of float64 and int64 ("op" selects them all).
_OPERATOR_SETUP = "a = xp.asarray(np.arange({start}, {n}{dot})); b = xp.asarray(np.arange(1{dot}, {n} + 1{dot}))"
_BOOL_SETUP = "a = xp.asarray(np.arange({n}) % 3 == 0); b = xp.asarray(np.arange({n}) % 2 == 0)"
_OPERATOR_STATEMENTS = [
    ("a + b", "a + b"),
    ("a + 1.0", "a + 1.0"),
    ("1.0 - a", "1.0 - a"),
    ("a * b", "a * b"),
    ("a / b", "a / b"),
    ("a // b", "a // b"),
    ("a % b", "a % b"),
    ("a ** 2.0", "a ** 2.0"),
    ("a < b", "a < b"),
    ("a == 1.0", "a == 1.0"),
    ("a += b", "x = a; x += b"),
]
for _n, _label in ((8, "8"), (1_000_000, "1e6")):
    for _kind, _dot in (("f64", "."), ("i64", "")):
        for _name, _stmt in _OPERATOR_STATEMENTS:
            CASES.append((f"op {_name} {_kind} {_label}", _OPERATOR_SETUP.format(start=0, n=_n, dot=_dot), _stmt))
    CASES.append((f"op a & b bool {_label}", _BOOL_SETUP.format(n=_n), "a & b"))
