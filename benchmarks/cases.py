"""Benchmark cases: (name, setup, statement[, reference statement]), written against `xp`."""

import os

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
# int64 floor division, remainder and in-place operations are handed to NumPy: they
# count as road cases.
_INT_ROAD = {"a // b", "a % b", "a += b"}
for _n, _label in ((8, "8"), (1_000_000, "1e6")):
    for _kind, _dot in (("f64", "."), ("i64", "")):
        for _name, _stmt in _OPERATOR_STATEMENTS:
            _road = "road " if _kind == "i64" and _name in _INT_ROAD else ""
            CASES.append((f"{_road}op {_name} {_kind} {_label}", _OPERATOR_SETUP.format(start=0, n=_n, dot=_dot),
                          _stmt))
    CASES.append((f"op a & b bool {_label}", _BOOL_SETUP.format(n=_n), "a & b"))
    CASES.append((f"op a &= b i64 {_label}", _OPERATOR_SETUP.format(start=0, n=_n, dot=""), "x = a; x &= b"))
    CASES.append((f"op a &= b bool {_label}", _BOOL_SETUP.format(n=_n), "x = a; x &= b"))

# Whole-array reductions.
for _setup, _label in ((SMALL, "8"), (LARGE, "1e6")):
    for _stmt in ("a.sum()", "a.mean()"):
        CASES.append((f"reduce {_stmt} f64 {_label}", _setup, _stmt))

# The sorts at every size ("sort" selects them; the 1e6 cases are among the large ones):
# float64 and int64, the sort and the stable argsort against NumPy's stable argsort.
_SORT_SETUP = {
    "f64": "a = xp.asarray(np.random.default_rng(1).standard_normal({n}))",
    "i64": "a = xp.asarray(np.random.default_rng(1).integers(-2**62, 2**62, {n}))",
}
for _n, _label in ((8, "8"), (1000, "1e3"), (10_000, "1e4"), (100_000, "1e5")):
    for _kind, _setup in _SORT_SETUP.items():
        CASES += [
            (f"sort {_kind} {_label}", _setup.format(n=_n), "xp.sort(a)"),
            (f"argsort stable {_kind} {_label}", _setup.format(n=_n), "xp.argsort(a)",
             "np.argsort(a, kind='stable')"),
        ]
# The data of a typical float sort: standard normal with 2% zeros of each sign, 0.2% NaNs of
# three payloads and 1% ties; int64 over the whole range with 1% ties. The 1e6 ones are large.
_SORT_MIXED_SETUP = {
    "f64 mixed": ("r = np.random.default_rng(1); x = r.standard_normal({n}); k = r.permutation({n}); "
                  "z, m, t = {n} // 50, {n} // 500, {n} // 100; x[k[:z]] = 0.0; x[k[z:2 * z]] = -0.0; "
                  "x[k[2 * z:2 * z + m]] = np.array([0x7FF8000000000000, 0xFFF8000000000123, 0x7FF0000000000001], "
                  "dtype=np.uint64).view(np.float64)[np.arange(m) % 3]; "
                  "x[k[-t:]] = x[k[-2 * t:-t]]; a = xp.asarray(x)"),
    "i64 ties": ("r = np.random.default_rng(1); x = r.integers(-2**63, 2**63 - 1, {n}, endpoint=True); "
                 "k = r.permutation({n}); t = {n} // 100; x[k[-t:]] = x[k[-2 * t:-t]]; a = xp.asarray(x)"),
}
for _n, _label in ((1000, "1e3"), (10_000, "1e4"), (100_000, "1e5"), (1_000_000, "1e6")):
    for _kind, _setup in _SORT_MIXED_SETUP.items():
        CASES.append((f"{'large ' if _n == 1_000_000 else ''}sort {_kind} {_label}", _setup.format(n=_n), "xp.sort(a)"))
# A sentinel far from dense values: the argsort's words drop low key bits and sort the run again.
CASES.append(("argsort stable i64 sentinels 1e6",
              "x = np.random.default_rng(1).permutation(1_000_000); x[::1000] = -2**63; a = xp.asarray(x)",
              "xp.argsort(a)", "np.argsort(a, kind='stable')"))

# Large arrays of the functions computed through the C library are judged against a
# plain C loop over the same function (the floor cases), not against NumPy.
_CLIB = {"8": "", "1e6": " (C library)"}

# The binary module functions: arithmetic through the operator engine, maths natively.
for _label, _setup in (("8", SMALL), ("1e6", LARGE)):
    CASES += [
        (f"bin add f64 scalar {_label}", _setup, "xp.add(a, 2.0)"),
        (f"bin maximum f64 {_label}", _setup, "xp.maximum(a, b)"),
        (f"bin maximum f64 scalar {_label}", _setup, "xp.maximum(a, 3.0)"),
        (f"bin arctan2 f64 {_label}{_CLIB[_label]}", _setup, "xp.arctan2(a, b)"),
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
    ("small a.ndim 8", SMALL, "a.ndim"),
    ("small a.size 8", SMALL, "a.size"),
    ("small a.dtype 8", SMALL, "a.dtype"),
    ("small a.itemsize 8", SMALL, "a.itemsize"),
    ("small a.nbytes 8", SMALL, "a.nbytes"),
    ("small a.strides 8", SMALL, "a.strides"),
    ("small a.reshape(2, -1) 8", SMALL, "a.reshape(2, -1)"),
]

# The unary functions and the float predicates.
for _label, _setup in (("8", SMALL), ("1e6", LARGE)):
    CASES += [
        (f"unary sin f64 {_label}{_CLIB[_label]}", _setup, "xp.sin(a)"),
        (f"unary sqrt f64 {_label}", _setup, "xp.sqrt(a)"),
        (f"pred isnan f64 {_label}", _setup, "xp.isnan(a)"),
    ]

# Large arrays: extremes, comparisons, selection, sorting and the bandwidth-bound folds.
_RANDOM = "a = xp.asarray(np.random.default_rng(1).standard_normal(1_000_000)); " \
          "b = xp.asarray(np.random.default_rng(2).standard_normal(1_000_000))"
_RANDOM_INT = "a = xp.asarray(np.random.default_rng(1).integers(-2**62, 2**62, 1_000_000))"
_MATRIX = "m2 = xp.asarray(np.random.default_rng(1).standard_normal((1000, 1000)))"
CASES += [
    ("large a.max() f64 1e6", _RANDOM, "a.max()"),
    ("large a.min() f64 1e6", _RANDOM, "a.min()"),
    ("large a.argmax() f64 1e6", _RANDOM, "a.argmax()"),
    ("large a.argmin() f64 1e6", _RANDOM, "a.argmin()"),
    ("large m2.max(axis=0) f64 1e6", _MATRIX, "m2.max(axis=0)"),
    ("large m2.max(axis=1) f64 1e6", _MATRIX, "m2.max(axis=1)"),
    ("large a < b f64 1e6", _RANDOM, "a < b"),
    ("large a == b f64 1e6", _RANDOM, "a == b"),
    ("large maximum f64 1e6", _RANDOM, "xp.maximum(a, b)"),
    ("large minimum f64 1e6", _RANDOM, "xp.minimum(a, b)"),
    ("large a * 2.0 f64 1e6", _RANDOM, "a * 2.0"),
    ("large where f64 1e6", _RANDOM + "; c = a < b", "xp.where(c, a, b)"),
    ("large sort f64 1e6", _RANDOM, "xp.sort(a)"),
    ("large argsort stable f64 1e6", _RANDOM, "xp.argsort(a)", "np.argsort(a, kind='stable')"),
    ("large sort i64 1e6", _RANDOM_INT, "xp.sort(a)"),
    ("large argsort stable i64 1e6", _RANDOM_INT, "xp.argsort(a)", "np.argsort(a, kind='stable')"),
    ("large a.sum() f64 1e6", _RANDOM, "a.sum()"),
    ("large a.var() f64 1e6", _RANDOM, "a.var()"),
    ("large a.std() f64 1e6", _RANDOM, "a.std()"),
    ("large a.cumsum() f64 1e6", _RANDOM, "a.cumsum()"),
    ("large dot f64 1e6", _RANDOM, "xp.dot(a, b)"),
    # Two large results alive at once: the allocator's reuse of freed blocks, not the loops.
    ("large a * b + a f64 1e6", _RANDOM, "a * b + a"),
]

# The functions computed through the C library against the same function in a plain C
# loop into a new array (the reference side), when the build made that loop.
if os.path.exists(os.environ.get("CORVANTILE_BENCH_FLOOR", "")):
    _FLOOR = _RANDOM + "; import ctypes, os; _lib = ctypes.CDLL(os.environ['CORVANTILE_BENCH_FLOOR']); " \
        "_x = np.asarray(a); _p, _n = ctypes.c_void_p(_x.ctypes.data), ctypes.c_size_t(len(_x))"
    for _f in ("sin", "exp"):
        _loop = f"_o = np.empty_like(_x); _lib.floor_{_f}(_p, ctypes.c_void_p(_o.ctypes.data), _n)"
        CASES.append((f"floor {_f} f64 1e6 (C loop)", _FLOOR, f"xp.{_f}(a)", _loop))
    _loop = "_o = np.empty_like(_x); _lib.floor_atan2(_p, _q, ctypes.c_void_p(_o.ctypes.data), _n)"
    CASES.append(("floor arctan2 f64 1e6 (C loop)", _FLOOR + "; _q = ctypes.c_void_p(np.asarray(b).ctypes.data)",
                  "xp.arctan2(a, b)", _loop))

# The road to NumPy: calls the native side declines ("road" selects them; the run also
# prints what each adds to NumPy's own time).
_ROAD_SETUP = (
    "i = xp.asarray(np.arange(1, 9)); j = xp.asarray(np.arange(2, 10)); "
    "A = xp.asarray(np.arange(9.0).reshape(3, 3)); B = xp.asarray(np.arange(1.0, 10.0).reshape(3, 3)); "
    "a = xp.asarray(np.arange(8.0).reshape(2, 4)); o = xp.asarray(np.zeros((2, 4))); "
    "x = np.float64(1); y = np.float64(2); n = np.arange(8.0)"
)
CASES += [
    ("road i // j i64 8", _ROAD_SETUP, "i // j"),
    ("road dot(A, B) 3x3", _ROAD_SETUP, "xp.dot(A, B)"),
    ("road A @ B 3x3", _ROAD_SETUP, "A @ B"),
    ("road a.sum(axis=0, keepdims=True)", _ROAD_SETUP, "a.sum(axis=0, keepdims=True)"),
    ("road sin(a, out=o)", _ROAD_SETUP, "xp.sin(a, out=o)"),
    ("road cumsum(a, axis=0)", _ROAD_SETUP, "xp.cumsum(a, axis=0)"),
    ("road arctan2(float64, float64)", _ROAD_SETUP, "xp.arctan2(x, y)"),
    ("road argmax(numpy array)", _ROAD_SETUP, "xp.argmax(n)"),
]

# Views of large arrays and their 8-element twins ("views" selects them): transposes, reversed
# and stepped slices, column blocks, last-axis reductions, the float-to-int cast and predicates.
_VIEW_SETUP = ("a = xp.asarray(np.random.default_rng(1).standard_normal({n})); "
               "M = a.reshape({rows}, -1)")
_VIEW_STATEMENTS = [
    "M.T.copy()", "M.T + 1.0", "M.T.sum()", "M.T.max()", "a[::-1] + 0.0", "a[::2] * 1.0",
    "a[::2].copy()", "M[:, ::2].sum()", "M[:, :{half}] * 2.0", "M.sum(axis=1)", "M.mean(axis=1)",
    "a.astype('int64')", "xp.isfinite(a)", "xp.signbit(a)", "xp.isnan(a)", "xp.isinf(a)",
]
for _n, _rows, _label in ((1_000_000, 1000, "1e6"), (8, 2, "8")):
    for _stmt in _VIEW_STATEMENTS:
        _stmt = _stmt.format(half=_n // _rows // 2)
        CASES.append((f"views {_stmt} {_label}", _VIEW_SETUP.format(n=_n, rows=_rows), _stmt))
# The sum of a transpose keeps its logical order of additions, where NumPy's reads the
# memory in order: it is also judged against reading the transpose's memory (lines, in
# no element order) and against delivering its elements in logical order, both from
# memory placed by corvantile's allocator, as its own sum's is.
if os.path.exists(os.environ.get("CORVANTILE_BENCH_FLOOR", "")):
    for _floor, _what in (("lines", "memory read"), ("elements", "logical-order read")):
        CASES.append((f"floor views M.T.sum() 1e6 ({_what})",
                      _VIEW_SETUP.format(n=1_000_000, rows=1000) + "; import ctypes, os; "
                      f"_read = ctypes.CDLL(os.environ['CORVANTILE_BENCH_FLOOR']).floor_transpose_{_floor}; "
                      "_read.restype = ctypes.c_double; import corvantile as _cv; _F = _cv.asarray(np.asarray(M)); "
                      "_p = ctypes.c_void_p(np.asarray(_F).ctypes.data)",
                      "M.T.sum()", "_read(_p, ctypes.c_size_t(1000), ctypes.c_size_t(1000))"))
    # The same floor for the views group's own transpose's mean (its total's road), for the
    # 3-D permutation (eight planes of A3.T, one line of A3, gathered at a time) and for a
    # transpose taken every other row.
    _FLOOR_VIEW = ("{a} = xp.asarray(np.random.default_rng(1).random({shape}) + 0.5); import ctypes, os; "
                   "_lib = ctypes.CDLL(os.environ['CORVANTILE_BENCH_FLOOR']); import corvantile as _cv; "
                   "_p = ctypes.c_void_p(np.asarray(_cv.asarray(np.asarray({a}))).ctypes.data)")
    CASES.append(("floor views A.T.mean() 1e6 (logical-order read)",
                  _FLOOR_VIEW.format(a="A", shape=(1000, 1000)) + "; _lib.floor_transpose_elements.restype = ctypes.c_double",
                  "A.T.mean()", "_lib.floor_transpose_elements(_p, ctypes.c_size_t(1000), ctypes.c_size_t(1000))"))
    CASES.append(("floor views A3.T.sum() 1e6 (logical-order read)",
                  _FLOOR_VIEW.format(a="A3", shape=(100, 100, 100)) + "; _lib.floor_permute_elements.restype = ctypes.c_double",
                  "A3.T.sum()", "_lib.floor_permute_elements(_p, *(ctypes.c_size_t(100),) * 3)"))
    # A transpose taken every other row: two lines of each base row a group of eight rows.
    CASES.append(("floor views A.T[::2].sum() 1e6 (logical-order read)",
                  _FLOOR_VIEW.format(a="A", shape=(1000, 2000)) + "; _lib.floor_stepped_transpose_elements.restype = ctypes.c_double",
                  "A.T[::2].sum()", "_lib.floor_stepped_transpose_elements(_p, ctypes.c_size_t(1000), ctypes.c_size_t(2000))"))

# Mid-size arrays, in cache ("mid" selects them): element-wise, reductions, casts and views.
_MID_SETUP = ("a = xp.asarray(np.random.default_rng(1).standard_normal({n})); "
              "b = xp.asarray(np.random.default_rng(2).standard_normal({n}) + 3.0); "
              "i = xp.asarray(np.random.default_rng(3).integers(-1000, 1000, {n})); "
              "M = a.reshape(10, -1)")
_MID_STATEMENTS = [
    "a + b", "a - 1.0", "a * b", "a / b", "a ** 2", "-a", "abs(a)", "a < b", "a == 1.0",
    "i + i", "i * 3", "xp.maximum(a, b)", "xp.sqrt(b)", "xp.exp(a)", "xp.round(a, 2)",
    "xp.where(a < b, a, b)", "xp.isnan(a)", "xp.isfinite(a)",
    "a.sum()", "a.mean()", "a.max()", "a.argmax()", "a.var()", "i.sum()", "a.cumsum()",
    "M.sum(axis=1)", "M.sum(axis=0)", "M.max(axis=1)", "xp.dot(a, b)",
    "a.astype('int64')", "i.astype('float64')", "a.copy()",
    "a[::-1].copy()", "a[::2] * 1.0", "M.T.copy()", "M.T + 1.0", "a[::-1] + 0.0",
    "xp.sort(a)", "xp.argsort(a)",
]
for _n, _label in ((1000, "1e3"), (10_000, "1e4")):
    for _stmt in _MID_STATEMENTS:
        _ref = "np.argsort(a, kind='stable')" if _stmt == "xp.argsort(a)" else None
        _case = (f"mid {_stmt} {_label}", _MID_SETUP.format(n=_n), _stmt)
        CASES.append(_case + ((_ref,) if _ref else ()))

# The views group ("views." selects it, "views.8", "views.1e4", "views.1e6" one size): every
# kernel family over every kind of view, generated. A cell is (family, view kind); its element
# kind rotates over the family's kinds from cell to cell and from size to size, so that each
# family meets each of its element kinds at every size. All cells run at 8 and 1e4 elements,
# half of them at 1e6 (alternating kinds from family to family), to keep the group to a few
# minutes. The views are made in the statement, as code does; X, Y are views of two bases, C of
# a bool base.
_GEN = {
    "f64": "np.random.default_rng({seed}).random({shape}) + 0.5",
    "i64": "np.random.default_rng({seed}).integers(0, 1000, {shape})",
    "bool": "np.random.default_rng({seed}).random({shape}) < 0.5",
}
# size -> (rows, columns) of a 2-D view and the axes of a 3-D one.
_VIEW_SHAPES = {"8": ((2, 4), (2, 2, 2)), "1e4": ((100, 100), (20, 25, 20)), "1e6": ((1000, 1000), (100, 100, 100))}


def _view_kinds(label):
    """kind -> {form: (base shape, X template, Y template)}: forms "nd" (the kind's own), "mat"
    (two or more axes) and "vec" (one axis); {0} is the base's name."""
    (r, c), cube = _VIEW_SHAPES[label]
    n = r * c
    return {
        "T": {"nd": ((r, c), "{0}.T")},
        "rev": {"nd": ((n,), "{0}[::-1]"), "mat": ((r, c), "{0}[::-1, ::-1]")},
        "step": {"nd": ((2 * n,), "{0}[::2]"), "mat": ((r, 2 * c), "{0}[:, ::2]")},
        "cols": {"nd": ((r, 2 * c), "{0}[:, :%d]" % c)},
        # transpose(2, 0, 1) is NumPy's (it returns a NumPy array): .T is the permutation made natively.
        "perm3": {"nd": (cube, "{0}.T")},
        "vov": {"nd": ((r, 2 * c), "{0}.T[::2]"), "vec": ((2 * n,), "{0}[::2][::-1]")},
        # Two operands over one base, overlapping.
        "pair": {"nd": ((n + 1,), "{0}[1:]", "{0}[:-1]")},
    }


_VIEW_KIND_ORDER = ["T", "rev", "step", "cols", "perm3", "vov", "pair"]
# family -> (form, two operands, {element kind: statement}); "mat"/"vec" families need that
# form, the others take the kind's own. Views of two operands include "pair".
_F, _I, _B = "f64", "i64", "bool"
_VIEW_FAMILIES = {
    # maps
    "sqrt": ("nd", False, {_F: "xp.sqrt({X})", _I: "xp.sqrt({X})"}),
    "isnan": ("nd", False, {_F: "xp.isnan({X})"}),
    "astype": ("nd", False, {_F: "{X}.astype('int64')", _I: "{X}.astype('float64')", _B: "{X}.astype('float64')"}),
    "clip": ("nd", False, {_F: "{X}.clip(0.75, 1.25)", _I: "{X}.clip(250, 750)"}),
    "abs": ("nd", False, {_F: "abs({X})", _I: "abs({X})"}),
    "negative": ("nd", False, {_F: "-{X}", _I: "-{X}", _B: "~{X}"}),
    # zips
    "scalar": ("nd", False, {_F: "{X} * 2.0", _I: "{X} + 1"}),
    "arith": ("nd", True, {_F: "{X} * {Y}", _I: "{X} + {Y}"}),
    "compare": ("nd", True, {_F: "{X} > {Y}", _I: "{X} > {Y}", _B: "{X} > {Y}"}),
    "bitwise": ("nd", True, {_I: "{X} & {Y}", _B: "{X} & {Y}"}),
    "maximum": ("nd", True, {_F: "xp.maximum({X}, {Y})", _I: "xp.maximum({X}, {Y})"}),
    "copysign": ("nd", True, {_F: "xp.copysign({X}, {Y})"}),
    "where": ("nd", True, {k: "xp.where({C}, {X}, {Y})" for k in (_F, _I, _B)}),
    # folds
    "sum": ("nd", False, {k: "{X}.sum()" for k in (_F, _I, _B)}),
    "sum0": ("mat", False, {_F: "{X}.sum(axis=0)", _I: "{X}.sum(axis=0)"}),
    "sum1": ("mat", False, {_F: "{X}.sum(axis=1)", _I: "{X}.sum(axis=1)"}),
    "max1": ("mat", False, {_F: "{X}.max(axis=1)", _I: "{X}.max(axis=1)"}),
    "argmax": ("nd", False, {_F: "{X}.argmax()", _I: "{X}.argmax()"}),
    "any": ("nd", False, {_B: "{X}.any()"}),  # decided at the first elements
    "all": ("nd", False, {_F: "{X}.all()"}),  # reads them all
    "mean": ("nd", False, {_F: "{X}.mean()"}),
    "var": ("nd", False, {_F: "{X}.var()"}),
    "cumsum": ("nd", False, {_F: "{X}.cumsum()", _I: "{X}.cumsum()"}),
    "dot": ("vec", True, {_F: "xp.dot({X}, {Y})", _I: "xp.dot({X}, {Y})"}),
    # copies
    "copy": ("nd", False, {k: "{X}.copy()" for k in (_F, _I, _B)}),
    "ravel": ("nd", False, {k: "{X}.ravel()" for k in (_F, _I, _B)}),
    "reshape": ("mat", False, {k: "{X}.reshape(-1)" for k in (_F, _I, _B)}),
    "flatten": ("nd", False, {k: "{X}.flatten()" for k in (_F, _I, _B)}),
    "concatenate": ("nd", True, {k: "xp.concatenate([{X}, {Y}])" for k in (_F, _I, _B)}),
    "stack": ("nd", True, {k: "xp.stack([{X}, {Y}])" for k in (_F, _I, _B)}),
    # selection and sorting
    "mask": ("nd", False, {k: "{X}[{C}]" for k in (_F, _I, _B)}),
    "take": ("nd", False, {k: "{X}[I]" for k in (_F, _I, _B)}),
    "sort": ("nd", False, {_F: "xp.sort({X})", _I: "xp.sort({X})"}),
}


def _kind_operands(forms, form):
    """(base shape, X template, Y template) of a view kind for a family of the given form, or None
    where the kind has no such form: its own serves where its axes fit."""
    if form not in forms:
        axes = len(forms["nd"][0])
        if not (axes >= 2 if form == "mat" else axes == 1):
            return None
        form = "nd"
    shape, *views = forms[form]
    return shape, views[0], views[-1]


def _bases(element, shape):
    """Names of the two bases for a shape and the setup that makes them."""
    a, b = ("A3", "B3") if len(shape) == 3 else ("A", "B")
    return a, b, (f"{a} = xp.asarray({_GEN[element].format(seed=1, shape=shape)}); "
                  f"{b} = xp.asarray({_GEN[element].format(seed=2, shape=shape)})")


def _views_group():
    cases = []
    for z, label in enumerate(("8", "1e4", "1e6")):
        kinds = _view_kinds(label)
        for f, (form, two, statements) in enumerate(_VIEW_FAMILIES.values()):
            made = 0
            for k, kind in enumerate(_VIEW_KIND_ORDER):
                operands = _kind_operands(kinds[kind], form)
                if (kind == "pair" and not two) or operands is None:
                    continue
                if label == "1e6" and (f + k) % 2:
                    continue
                shape, x, y = operands
                elements = list(statements)
                element = elements[(made + z) % len(elements)]
                made += 1
                a, b, setup = _bases(element, shape)
                m = "K3" if len(shape) == 3 else "K"
                stmt = statements[element].format(X=x.format(a), Y=y.format(a if x != y else b), C=x.format(m))
                setup += f"; {m} = xp.asarray({_GEN['bool'].format(seed=3, shape=shape)})"
                if "I]" in stmt:
                    setup += f"; I = xp.asarray(np.random.default_rng(4).integers(0, len({x.format(a)}), " \
                             f"len({x.format(a)})))"
                case = (f"views.{label} {stmt} {element}", setup, stmt)
                if "reshape" in stmt and _numpy_reshape_is_view(shape, x):
                    # corvantile's reshape of a strided view copies where NumPy's can return a
                    # view: NumPy's side then makes the same contiguous copy.
                    case += (stmt + ".copy()",)
                cases.append(case)
    return cases


def _numpy_reshape_is_view(shape, view):
    import numpy
    base = numpy.zeros(shape)
    return numpy.shares_memory(eval(view.format("base")).reshape(-1), base)


CASES += _views_group()


# The wide group (make bench BENCH_ARGS=wide, about 20 minutes, never by default): at 1e4, every
# statement below over every view kind that has its form, to measure the families on
# statements the views group does not sample. Reported like the views group, NumPy's roads
# apart.
_WIDE = {
    "nd": {_F: ["xp.floor({X})", "xp.isfinite({X})", "xp.signbit({X})", "xp.round({X})", "xp.square({X})", "{X} - 1.0",
                "1.0 / {X}", "{X} ** 2", "{X} > 1.0", "{X} == 1.0", "{X}.prod()", "{X}.min()", "{X}.argmin()", "{X}.std()",
                "{X}.any()", "{X}.cumprod()", "{X}.max()", "xp.abs({X})", "{X}.astype(bool)", "xp.negative({X})",
                "{X} // 2.0", "{X} % 2.0"],
           _I: ["{X} * 3", "{X} - 1", "{X} > 5", "{X} == 5", "{X}.min()", "{X}.max()", "{X}.argmin()", "{X}.prod()",
                "{X}.any()", "{X}.all()", "{X}.mean()", "{X} << 1", "{X} >> 1", "{X} & 7", "~{X}", "{X}.astype(bool)",
                "xp.square({X})", "{X}.std()", "{X} * 2.0", "{X}.sum()"],
           _B: ["{X}.all()", "{X}.sum()", "{X}.astype('int64')", "{X} ^ True", "{X}.max()", "{X}.argmax()", "{X}.mean()"]},
    "two": {_F: ["{X} - {Y}", "{X} / {Y}", "{X} + {Y}", "{X} <= {Y}", "{X} == {Y}", "xp.minimum({X}, {Y})",
                 "xp.hypot({X}, {Y})", "xp.fmax({X}, {Y})"],
            _I: ["{X} - {Y}", "{X} * {Y}", "{X} | {Y}", "{X} ^ {Y}", "{X} == {Y}", "{X} < {Y}", "xp.minimum({X}, {Y})",
                 "{X} != {Y}"],
            _B: ["{X} | {Y}", "{X} ^ {Y}", "{X} == {Y}", "{X} != {Y}"]},
    "mat": {_F: ["{X}.mean(axis=0)", "{X}.max(axis=0)", "{X}.min(axis=1)", "{X}.argmax(axis=1)", "{X}.prod(axis=0)",
                 "{X}.var(axis=1)", "{X}.cumsum(axis=0)", "{X}.cumsum(axis=1)", "{X}.any(axis=0)"],
            _I: ["{X}.min(axis=0)", "{X}.argmin(axis=0)", "{X}.sum(axis=1)", "{X}.cumsum(axis=1)", "{X}.max(axis=0)"],
            _B: ["{X}.any(axis=1)", "{X}.all(axis=0)", "{X}.sum(axis=0)"]},
}


def _wide_group():
    cases = []
    kinds = _view_kinds("1e4")
    for kind in _VIEW_KIND_ORDER:
        for family, per_element in _WIDE.items():
            operands = _kind_operands(kinds[kind], "mat" if family == "mat" else "nd")
            if (kind == "pair" and family != "two") or operands is None:
                continue
            shape, x, y = operands
            for element, statements in per_element.items():
                a, b, setup = _bases(element, shape)
                for statement in statements:
                    stmt = statement.format(X=x.format(a), Y=y.format(a if x != y else b))
                    cases.append((f"wide.1e4 {stmt} {element}", setup, stmt))
    return cases


CASES += _wide_group()
