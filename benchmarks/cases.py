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

# Whole-array reductions.
for _setup, _label in ((SMALL, "8"), (LARGE, "1e6")):
    for _stmt in ("a.sum()", "a.mean()"):
        CASES.append((f"reduce {_stmt} f64 {_label}", _setup, _stmt))

# The binary module functions: arithmetic through the operator engine, maths natively.
for _label, _setup in (("8", SMALL), ("1e6", LARGE)):
    CASES += [
        (f"bin add f64 scalar {_label}", _setup, "xp.add(a, 2.0)"),
        (f"bin maximum f64 {_label}", _setup, "xp.maximum(a, b)"),
        (f"bin maximum f64 scalar {_label}", _setup, "xp.maximum(a, 3.0)"),
        (f"bin arctan2 f64 {_label}", _setup, "xp.arctan2(a, b)"),
    ]
CASES.append(("bin maximum float float", "", "xp.maximum(1.5, 2.5)"))

# Indexing and shape methods on 8 elements.
CASES += [
    ("index a[3] f64 8", SMALL, "a[3]"),
    ("index a[1:5] f64 8", SMALL, "a[1:5]"),
    ("reshape (2, 4) f64 8", SMALL, "a.reshape(2, 4)"),
]

# Views, attributes and casts on 8 elements ("small" selects them).
_M2 = SMALL + "; m2 = a.reshape(2, 4)"
CASES += [
    ("small a.astype('int64') 8", SMALL, "a.astype('int64')"),
    ("small a.astype(int) 8", SMALL, "a.astype(int)"),
    ("small a.astype(dtype) 8", SMALL + "; d = np.dtype('int64')", "a.astype(d)"),
    ("small a[::-1] 8", SMALL, "a[::-1]"),
    ("small m2.T 8", _M2, "m2.T"),
    ("small len(a) 8", SMALL, "len(a)"),
    ("small a[2] 8", SMALL, "a[2]"),
    ("small a[1:3] 8", SMALL, "a[1:3]"),
    ("small a.shape 8", SMALL, "a.shape"),
    ("small a.reshape(2, -1) 8", SMALL, "a.reshape(2, -1)"),
]

# The unary functions and the float predicates.
for _label, _setup in (("8", SMALL), ("1e6", LARGE)):
    CASES += [
        (f"unary sin f64 {_label}", _setup, "xp.sin(a)"),
        (f"unary sqrt f64 {_label}", _setup, "xp.sqrt(a)"),
        (f"pred isnan f64 {_label}", _setup, "xp.isnan(a)"),
    ]
