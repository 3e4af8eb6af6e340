#include "lib/functions.hpp"

#include "array/loops.hpp"
#include "array/walk_map.hpp"
#include "array/walk_zip.hpp"
#include "array/walk_copy.hpp"

#include "python/runtime/args.hpp"
#include "python/convert/classify.hpp"
#include "python/numpy/fallback.hpp"
#include "python/runtime/interned.hpp"
#include "python/object/pyarray.hpp"
#include "python/object/strided.hpp"
#include "python/object/view_map.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace corvantile::python {

namespace {

constexpr Param JOIN_PARAMS[] = {{"arrays", ParamKind::Either, true}, {"axis"}};
constexpr Signature CONCATENATE_SIGNATURE{"concatenate", JOIN_PARAMS, false, true};
constexpr Signature STACK_SIGNATURE{"stack", JOIN_PARAMS, false, true};
constexpr Param WHERE_PARAMS[] = {{"condition", ParamKind::Either, true}, {"x"}, {"y"}};
constexpr Signature WHERE_SIGNATURE{"where", WHERE_PARAMS};

constinit Interned S_NONZERO{"nonzero"};

// ---- concatenate and stack ----------------------------------------------------------------

// The items of a native join: every one an ndarray, with the axis as an integer. Views
// (in_place) are read where they lie: their `arrays` give only shape and kind.
struct JoinOperands {
    Ref list;  // the list made from a sequence that is neither a list nor a tuple
    std::vector<PyObject*> objects;
    std::vector<const AnyArray*> arrays;
    std::vector<AnyArray> gathered;  // views' elements, for the joins of the core
    std::int64_t axis = 0;
    bool in_place = false;

    // Every item's elements in one block, for the joins of the core: views' copied from
    // where they lie.
    void gather_views() {
        gathered.reserve(objects.size());  // arrays point into it
        for (std::size_t i = 0; i < objects.size(); ++i) {
            const PyArray& a = *PyArray::of(objects[i]);
            if (!a.strided) continue;
            gathered.push_back(gather(a));
            arrays[i] = &gathered.back();
        }
        in_place = false;
    }
};

// Nothing when the call is not one to join natively; no error is left pending.
std::optional<JoinOperands> join_operands(PyObject* arrays, PyObject* axis, PyObject* kwargs) {
    JoinOperands ops;
    if (axis != nullptr) {
        const long long value = PyLong_AsLongLong(axis);
        if (value == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return std::nullopt;
        }
        ops.axis = value;
    }
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) return std::nullopt;

    PyObject* seq = arrays;
    if (!PyList_Check(arrays) && !PyTuple_Check(arrays)) {
        if (!PySequence_Check(arrays) || PyUnicode_Check(arrays)) return std::nullopt;
        ops.list = Ref::steal(PySequence_List(arrays));
        if (!ops.list) {
            PyErr_Clear();
            return std::nullopt;
        }
        seq = ops.list.get();
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    if (n == 0) return std::nullopt;
    PyObject** items = PySequence_Fast_ITEMS(seq);
    ops.objects.assign(items, items + n);
    for (PyObject* item : ops.objects) {
        if (!is_ndarray(item)) return std::nullopt;
        PyArray& a = *PyArray::of(item);
        if (in_place_layout(a)) {
            ops.in_place = true;
        } else {
            a.refresh();
        }
        ops.arrays.push_back(&a.value);
    }
    return ops;
}

// numpy.<name>(arrays, **kwargs, axis=axis or 0).
Result<Ref> join_by_numpy(std::string_view name, PyObject* arrays, PyObject* axis, PyObject* kwargs) {
    auto keywords = check(kwargs != nullptr ? PyDict_Copy(kwargs) : PyDict_New());
    if (!keywords) return keywords;
    Ref zero;
    if (axis == nullptr) {
        zero = Ref::steal(PyLong_FromLong(0));
        if (!zero) return failure();
        axis = zero.get();
    }
    if (auto r = check_status(PyDict_SetItemString(keywords->get(), "axis", axis)); !r) return failure(std::move(r.error()));
    return fallback::call(name, {arrays}, keywords->get());
}

// Each item as a flat view of its elements, kept alive by the item.
std::vector<AnyArray> flat_views(const JoinOperands& ops) {
    std::vector<AnyArray> parts;
    parts.reserve(ops.arrays.size());
    for (std::size_t i = 0; i < ops.arrays.size(); ++i) {
        ops.arrays[i]->visit([&]<class T>(const Array<T>& a) {
            const std::uint64_t n = a.len();
            parts.emplace_back(Array<T>::view(a, 0, std::span(&n, 1), Owner::adopt(Py_NewRef(ops.objects[i]))));
        });
    }
    return parts;
}

// The order of the result's axes in memory, outermost first, for a join of `total`
// elements from KEEP_ORDER_FROM on (smaller ones: C order), as NumPy lays its joins out:
// an insertion sort of the axes by falling stride magnitude over every item, where an
// item's axis of length 1 (a stacked item's new axis at `inserted`) decides nothing and
// items that disagree keep the C order of the pair.
std::array<std::size_t, MAX_NDIM> shared_order(const JoinOperands& ops, std::size_t nd, std::uint64_t total,
                                               std::optional<std::size_t> inserted) {
    std::array<std::size_t, MAX_NDIM> perm{};
    for (std::size_t k = 0; k < nd; ++k) perm[k] = k;
    if (total < KEEP_ORDER_FROM || nd < 2) return perm;
    std::vector<Layout> items;
    items.reserve(ops.objects.size());
    for (PyObject* item : ops.objects) {
        Layout l = Layout::of(*PyArray::of(item));
        if (inserted) {
            for (std::size_t k = nd - 1; k > *inserted; --k) {
                l.shape[k] = l.shape[k - 1];
                l.strides[k] = l.strides[k - 1];
            }
            l.shape[*inserted] = 1;
            l.strides[*inserted] = 0;
        }
        items.push_back(l);
    }
    using walk::magnitude;
    for (std::size_t i = 1; i < nd; ++i) {
        const std::size_t axis = perm[i];
        std::size_t place = i;
        for (std::size_t j = i; j-- > 0;) {
            bool decided = false, swap = false;
            for (const Layout& l : items) {
                if (l.shape[axis] == 1 || l.shape[perm[j]] == 1) continue;
                if (magnitude(l.strides[axis]) <= magnitude(l.strides[perm[j]])) {
                    swap = false;  // any disagreement keeps C order
                } else if (!decided) {
                    swap = true;
                }
                decided = true;
            }
            if (!decided) continue;
            if (!swap) break;
            place = j;
        }
        for (std::size_t k = i; k > place; --k) perm[k] = perm[k - 1];
        perm[place] = axis;
    }
    return perm;
}

// The join of ops's items into a new array of `shape` along its axis ax, each item copied
// from where its elements lie. With the axes taken in the order `perm` (the result's
// memory order), item j fills run_j consecutive elements of every stretch of shape[ax] *
// (elements of the axes after ax) of the result, run_j being its own length on ax (or 1
// where `stacked`: ax is the new axis) times those elements. A 1-D result joins every item
// whole (a flat join). Null where the items differ in kind.
Result<Ref> join_where_they_lie(const JoinOperands& ops, std::span<const std::uint64_t> shape, std::size_t ax,
                                bool stacked) {
    const ElementKind kind = ops.arrays[0]->kind();
    for (const AnyArray* a : ops.arrays) {
        if (a->kind() != kind) return Ref{};
    }
    auto dims = ArrayDims::make(shape, itemsize_of(kind));
    if (!dims) return Ref{};
    const std::size_t nd = shape.size();
    const std::array<std::size_t, MAX_NDIM> perm =
        shared_order(ops, nd, dims->size(), stacked ? std::optional<std::size_t>(ax) : std::nullopt);
    const bool c_order = std::is_sorted(perm.begin(), perm.begin() + nd);
    std::size_t at = 0;  // ax's place in perm
    while (perm[at] != ax) ++at;
    std::uint64_t inner = 1;
    for (std::size_t k = at + 1; k < nd; ++k) inner *= shape[perm[k]];
    const std::uint64_t pitch = shape[ax] * inner;
    return ops.arrays[0]->visit([&]<class T>(const Array<T>&) -> Result<Ref> {
        T* out = nullptr;
        const std::uint64_t n = dims->size();
        auto r = c_order ? create_unwritten<T>(*dims, out)
                         : create_unwritten<T>(ArrayDims::c_of_valid(std::span(&n, 1), sizeof(T)), out);
        if (!r) return r;
        // The item's axes in perm's order (a stacked item's new axis: length 1); a flat
        // join's items whole.
        const auto layout_of = [&](PyObject* item) {
            const Layout where = Layout::of(*PyArray::of(item));
            walk::Strided s;
            s.data = where.data;
            s.ndim = nd;
            for (std::size_t k = 0; k < nd && !(nd == 1 && !stacked); ++k) {
                std::size_t from = perm[k];
                if (stacked && from == ax) {
                    s.shape[k] = 1;
                    continue;
                }
                if (stacked && from > ax) --from;
                s.shape[k] = where.shape[from];
                s.strides[k] = where.strides[from];
            }
            if (nd == 1) {
                s.ndim = stacked ? 0 : where.ndim;
                s.shape = where.shape;
                s.strides = where.strides;
            }
            const std::uint64_t run = nd == 1 ? s.size() : (stacked ? 1 : where.shape[ax]) * inner;
            return std::pair(s, run);
        };
        // Around the cache where the join as a whole passes the loops' size for that (not
        // counted where no layout could: an element reads a line at most).
        std::uint64_t moved = 0;
        if (n * (sizeof(T) + loops::LINE_BYTES) >= loops::STREAM_BYTES) {
            for (PyObject* item : ops.objects) moved += walk::copy_bytes<T>(layout_of(item).first);
        }
        const bool stream = moved >= loops::STREAM_BYTES;
        std::uint64_t offset = 0;
        for (PyObject* item : ops.objects) {
            const auto [s, run] = layout_of(item);
            if (run != 0) walk::copy_runs_direct<T>(s, out + offset, run, pitch, stream);
            offset += run;
        }
        if (c_order) return r;
        // The result: a strided view over that memory, its axes in perm's order.
        std::array<std::int64_t, MAX_NDIM> strides{};
        std::int64_t step = sizeof(T);
        for (std::size_t k = nd; k-- > 0;) {
            strides[perm[k]] = step;
            step *= static_cast<std::int64_t>(shape[perm[k]]);
        }
        auto view = create_strided(kind, *dims, r->get(), reinterpret_cast<std::byte*>(out), std::span(strides.data(), nd));
        if (view) PyArray::of(view->get())->strided->owns_root = true;
        return view;
    });
}

// The shape of a native concatenation along `axis`, or nothing where the core's checks
// (or NumPy) should answer.
std::optional<Shape> joined_shape(const JoinOperands& ops, std::int64_t axis) {
    const auto first = ops.arrays[0]->shape();
    const auto nd = static_cast<std::int64_t>(first.size());
    if (nd == 0 || axis < -nd || axis >= nd) return std::nullopt;
    const auto ax = static_cast<std::size_t>(axis < 0 ? axis + nd : axis);
    Shape shape(first);
    shape[ax] = 0;
    for (const AnyArray* a : ops.arrays) {
        const auto s = a->shape();
        if (s.size() != first.size()) return std::nullopt;
        for (std::size_t d = 0; d < s.size(); ++d) {
            if (d != ax && s[d] != first[d]) return std::nullopt;
        }
        if (__builtin_add_overflow(shape[ax], s[ax], &shape[ax])) return std::nullopt;
    }
    return shape;
}

// An explicit axis None joins the flattened items.
Result<Ref> concatenate_body(PyObject* arrays, PyObject* axis, PyObject* kwargs) {
    const bool flat = axis == Py_None;
    auto ops = join_operands(arrays, flat ? nullptr : axis, kwargs);
    if (!ops) return join_by_numpy("concatenate", arrays, axis, kwargs);
    if (ops->in_place) {
        std::optional<Shape> shape;
        if (flat) {
            std::uint64_t total = 0;
            bool overflow = false;
            for (const AnyArray* a : ops->arrays) overflow |= __builtin_add_overflow(total, a->len(), &total);
            if (!overflow) shape = Shape(std::span<const std::uint64_t>(&total, 1));
        } else {
            shape = joined_shape(*ops, ops->axis);
        }
        if (shape) {
            const auto nd = static_cast<std::int64_t>(shape->size());
            const auto ax = static_cast<std::size_t>(flat ? 0 : ops->axis < 0 ? ops->axis + nd : ops->axis);
            auto r = join_where_they_lie(*ops, *shape, ax, false);
            if (!r || *r) return r;
        }
        ops->gather_views();
    }
    std::vector<AnyArray> flats;
    if (flat) {
        flats = flat_views(*ops);
        for (std::size_t i = 0; i < flats.size(); ++i) ops->arrays[i] = &flats[i];
    }
    auto joined = AnyArray::concatenate(ops->arrays, ops->axis);
    // A failed check is left to NumPy, whose error carries the array indices in its text
    // and is an AxisError for an axis out of range.
    if (!joined || !*joined) return join_by_numpy("concatenate", arrays, axis, kwargs);
    return create_class_object(std::move(**joined));
}

Result<Ref> stack_body(PyObject* arrays, PyObject* axis, PyObject* kwargs) {
    auto ops = join_operands(arrays, axis, kwargs);
    if (!ops) return join_by_numpy("stack", arrays, axis, kwargs);
    const auto first = ops->arrays[0]->shape();
    for (const AnyArray* a : ops->arrays) {
        if (!std::ranges::equal(a->shape(), first)) return join_by_numpy("stack", arrays, axis, kwargs);
    }
    const auto n = static_cast<std::int64_t>(first.size());
    if (ops->axis < -(n + 1) || ops->axis > n) return join_by_numpy("stack", arrays, axis, kwargs);
    const auto p = static_cast<std::size_t>(ops->axis < 0 ? ops->axis + n + 1 : ops->axis);

    std::vector<std::uint64_t> shape(first.begin(), first.end());
    shape.insert(shape.begin() + static_cast<std::ptrdiff_t>(p), 1);
    if (shape.size() > MAX_NDIM) return join_by_numpy("stack", arrays, axis, kwargs);
    if (auto dims = ArrayDims::make(shape, itemsize_of(ops->arrays[0]->kind())); !dims) {
        return failure(array_error(std::move(dims.error())));
    }
    if (ops->in_place) {
        shape[p] = ops->arrays.size();
        auto r = join_where_they_lie(*ops, shape, p, true);
        if (!r || *r) return r;
        shape[p] = 1;
        ops->gather_views();
    }
    // Each item under the new shape: a view of its elements, kept alive by the item.
    std::vector<AnyArray> parts;
    parts.reserve(ops->arrays.size());
    for (std::size_t i = 0; i < ops->arrays.size(); ++i) {
        ops->arrays[i]->visit([&]<class T>(const Array<T>& a) {
            parts.emplace_back(Array<T>::view(a, 0, shape, Owner::adopt(Py_NewRef(ops->objects[i]))));
        });
    }
    std::vector<const AnyArray*> pointers;
    for (const AnyArray& part : parts) pointers.push_back(&part);
    auto joined = AnyArray::concatenate(pointers, static_cast<std::int64_t>(p));
    if (!joined) return failure(array_error(std::move(joined.error())));
    if (!*joined) return join_by_numpy("stack", arrays, axis, kwargs);
    return create_class_object(std::move(**joined));
}

// ---- where -----------------------------------------------------------------------------

// One side of a native where: where the float64 elements of an array of the mask's shape
// lie, or one value.
using Side = std::variant<walk::Strided, double>;

bool is_numpy_scalar(PyObject* obj) noexcept {
    return std::string_view(Py_TYPE(obj)->tp_name).starts_with("numpy.");
}

// An operand as one side of a float64 where. Only operands that NumPy also reads as
// float64 (or as integers, which promote to it) are taken: a float32 scalar or an object
// with __float__ would give NumPy another result dtype.
std::optional<Side> side_of(PyObject* obj, const Operand& op, std::span<const std::uint64_t> shape, bool& floating) {
    if (auto* f = op.get_if<Operand::F64Array>()) {
        if (!std::ranges::equal(f->array->shape(), shape)) return std::nullopt;
        floating = true;
        if (f->view) return Side{*f->view};
        return Side{walk::c_layout(f->array->data(), shape.data(), shape.size(), sizeof(double))};
    }
    if (auto* f = op.get_if<Operand::FloatScalar>()) {
        if (!PyFloat_Check(obj) && !PyLong_Check(obj)) return std::nullopt;
        floating = true;
        return Side{f->value};
    }
    if (auto* i = op.get_if<Operand::IntScalar>()) {
        if (!PyLong_Check(obj) && !is_numpy_scalar(obj)) return std::nullopt;
        return Side{static_cast<double>(i->value)};
    }
    return std::nullopt;
}

// A new array of T under the mask's shape: x's element where the mask is true, else y's.
// From KEEP_ORDER_FROM elements laid out in the memory order the operands share (as
// NumPy's), and walked in it.
template <class T>
Result<std::optional<Ref>> select_new(const walk::Strided& mask, std::span<const std::uint64_t> shape,
                                      const std::variant<walk::Strided, T>& x,
                                      const std::variant<walk::Strided, T>& y) {
    auto dims = ArrayDims::make(shape, sizeof(T));
    if (!dims) return failure(array_error(std::move(dims.error())));
    // One value is a layout that repeats it.
    T values[2] = {};
    const auto layout = [&](const std::variant<walk::Strided, T>& side, T& value) {
        if (const auto* s = std::get_if<walk::Strided>(&side)) return *s;
        value = std::get<T>(side);
        return walk::broadcast_to(walk::c_layout(&value, nullptr, 0, sizeof(T)), shape.data(), shape.size());
    };
    const walk::Strided xs = layout(x, values[0]), ys = layout(y, values[1]);
    T* out = nullptr;
    const std::uint64_t n = dims->size();
    if (n >= KEEP_ORDER_FROM) {
        const auto perm = walk::result_order<3>({mask, xs, ys});
        if (auto laid = in_axis_order<T>(*dims, perm, out)) {
            if (!*laid) return failure(std::move(laid->error()));
            auto r = std::move(**laid);
            walk::select<T>(walk::permuted(mask, perm), walk::permuted(xs, perm), walk::permuted(ys, perm), out);
            return std::optional<Ref>(std::move(r));
        }
    }
    auto result = create_unwritten<T>(*dims, out);
    if (!result) return failure(std::move(result.error()));
    walk::select<T>(mask, xs, ys, out);
    return std::optional<Ref>(std::move(*result));
}

// The native where of a mask and two operands, or nothing. Strided views (mask or sides)
// are read where they lie.
Result<std::optional<Ref>> choose(PyObject* condition, PyObject* x, PyObject* y) {
    std::optional<BoolMask> copied;
    std::span<const std::uint64_t> shape;
    walk::Strided mask;
    if (is_ndarray(condition)) {
        PyArray& c = *PyArray::of(condition);
        const Array<Bool>* b = c.value.get_if<Bool>();
        if (b == nullptr) return std::nullopt;
        const auto view = in_place_layout(c);
        if (!view && c.strided) c.refresh();
        shape = b->shape();
        mask = view ? *view : walk::c_layout(b->data(), shape.data(), shape.size(), sizeof(Bool));
    } else {
        copied = numpy_bool_buffer(condition);
        // A NumPy mask may have more axes than a native array.
        if (!copied || copied->shape.size() > MAX_NDIM) return std::nullopt;
        shape = copied->shape;
        mask = walk::c_layout(copied->values.data(), shape.data(), shape.size(), sizeof(Bool));
    }
    const Operand xop = classify_in_place(x);
    if (xop.is<Operand::Unsupported>() && PyErr_Occurred()) return failure();
    const Operand yop = classify_in_place(y);
    if (yop.is<Operand::Unsupported>() && PyErr_Occurred()) return failure();
    bool floating = false;
    std::optional<Side> xs = side_of(x, xop, shape, floating);
    std::optional<Side> ys = side_of(y, yop, shape, floating);
    if (!xs || !ys || !floating) return std::nullopt;
    return select_new<double>(mask, shape, *xs, *ys);
}

}  // namespace

Result<Ref> where_(PyObject* condition, PyObject* x, PyObject* y) {
    if ((x == nullptr) != (y == nullptr)) {
        return failure(Error::value_error("either both or neither of x and y should be given"));
    }
    if (x == nullptr) {
        if (!is_ndarray(condition)) return fallback::call("where", {condition});
        auto name = S_NONZERO.get();
        if (!name) return failure(std::move(name.error()));
        return check(PyObject_CallMethodNoArgs(condition, *name));
    }
    auto native = choose(condition, x, y);
    if (!native) return failure(std::move(native.error()));
    if (*native) return std::move(**native);
    return fallback::call("where", {condition, x, y});
}

Result<Ref> concatenate_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<2>(CONCATENATE_SIGNATURE, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    return concatenate_body((*bound)[0], (*bound)[1], bound->kwargs.get());
}

Result<Ref> stack_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<2>(STACK_SIGNATURE, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    return stack_body((*bound)[0], (*bound)[1], bound->kwargs.get());
}

Result<Ref> where_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<3>(WHERE_SIGNATURE, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    return where_((*bound)[0], bound->unless_none(1), bound->unless_none(2));
}

}  // namespace corvantile::python
