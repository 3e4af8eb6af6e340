#include "lib/functions.hpp"

#include "array/loops.hpp"
#include "array/walk_zip.hpp"

#include "python/runtime/args.hpp"
#include "python/convert/classify.hpp"
#include "python/numpy/fallback.hpp"
#include "python/runtime/interned.hpp"
#include "python/object/pyarray.hpp"
#include "python/object/strided.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
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

// The items of a native join: every one an ndarray (refreshed), with the axis as an integer.
struct JoinOperands {
    Ref list;  // the list made from a sequence that is neither a list nor a tuple
    std::vector<PyObject*> objects;
    std::vector<const AnyArray*> arrays;
    std::int64_t axis = 0;
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
        const AnyArray* a = any_of(item);
        if (a == nullptr) return std::nullopt;
        ops.arrays.push_back(a);
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

// An explicit axis None joins the flattened items.
Result<Ref> concatenate_body(PyObject* arrays, PyObject* axis, PyObject* kwargs) {
    const bool flat = axis == Py_None;
    auto ops = join_operands(arrays, flat ? nullptr : axis, kwargs);
    if (!ops) return join_by_numpy("concatenate", arrays, axis, kwargs);
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

    auto dims = ArrayDims::make(shape, 8);
    if (!dims) return failure(array_error(std::move(dims.error())));
    double* out = nullptr;
    auto result = create_unwritten<double>(*dims, out);
    if (!result) return failure(std::move(result.error()));
    // One value is a layout that repeats it.
    double values[2] = {};
    const auto layout = [&](const Side& side, double& value) {
        if (const auto* s = std::get_if<walk::Strided>(&side)) return *s;
        value = std::get<double>(side);
        return walk::broadcast_to(walk::c_layout(&value, nullptr, 0, sizeof(double)), shape.data(), shape.size());
    };
    walk::select<double>(mask, layout(*xs, values[0]), layout(*ys, values[1]), out);
    return std::optional<Ref>(std::move(*result));
}

}  // namespace

Result<Ref> where_(PyObject* condition, PyObject* x, PyObject* y) {
    if ((x == nullptr) != (y == nullptr)) {
        return failure(Error::value_error("either both or neither of x and y should be given"));
    }
    if (x == nullptr) {
        if (any_of(condition) == nullptr) return fallback::call("where", {condition});
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
