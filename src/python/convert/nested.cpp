#include "python/convert/nested.hpp"

#include "python/object/pyarray.hpp"

#include <array>

namespace corvantile::python {

namespace {

constexpr std::string_view SHAPE_TYPE_ERROR = "shape must be an int or a sequence of ints";

// One size through the integer-index conversion (ints directly).
Result<std::uint64_t> size_of(PyObject* item) {
    Ref index;
    if (!PyLong_Check(item)) {
        index = Ref::steal(PyNumber_Index(item));
        if (!index) return failure();
        item = index.get();
    }
    std::size_t n = PyLong_AsSize_t(item);
    if (n == static_cast<std::size_t>(-1) && PyErr_Occurred()) return failure();
    return static_cast<std::uint64_t>(n);
}

// The shape of a sequence other than a tuple; any failure is the one TypeError.
Result<std::vector<std::uint64_t>> sequence_shape(PyObject* obj) {
    auto refuse = [] {
        PyErr_Clear();
        return failure(Error::type_error(SHAPE_TYPE_ERROR));
    };
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) return refuse();
    std::vector<std::uint64_t> shape;
    Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    shape.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 64)));
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) return refuse();
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        auto n = size_of(item.get());
        if (!n) return refuse();
        shape.push_back(*n);
    }
    if (PyErr_Occurred()) return refuse();
    return shape;
}

// What the walk collects: every element as float64, and as int64 until a float is met.
struct WalkState {
    std::vector<double> floats;
    std::vector<std::int64_t> ints;
    std::size_t ndim = 0;
    std::array<std::uint64_t, MAX_NDIM> shape{};
    bool saw_float = false;
    bool saw_int = false;
    bool saw_bool = false;
};

bool is_sequence(PyObject* obj) noexcept {
    return PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS);
}

// true: consistent so far; false: declined (no error pending); error: pass it on.
Result<bool> walk(PyObject* obj, std::size_t level, WalkState& st) {
    if (!is_sequence(obj)) return false;
    const bool is_list = PyList_Check(obj);
    const Py_ssize_t n = is_list ? PyList_GET_SIZE(obj) : PyTuple_GET_SIZE(obj);
    if (level == st.ndim) {
        // A new level: never deeper than MAX_NDIM, never below elements already taken.
        if (level >= MAX_NDIM || !st.floats.empty()) return false;
        st.shape[level] = static_cast<std::uint64_t>(n);
        st.ndim = level + 1;
    } else if (st.shape[level] != static_cast<std::uint64_t>(n)) {
        return false;
    }
    if (level == 0) {
        st.floats.reserve(static_cast<std::size_t>(n));
        st.ints.reserve(static_cast<std::size_t>(n));
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        // A float subclass's conversion may shrink the list under us.
        if (is_list && i >= PyList_GET_SIZE(obj)) break;
        PyObject* item = is_list ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i);
        PyTypeObject* type = Py_TYPE(item);
        double f;
        std::int64_t k;
        if (type == &PyFloat_Type) {
            f = PyFloat_AS_DOUBLE(item);
            k = 0;
            if (!(level + 1 == st.ndim)) return false;
            st.saw_float = true;
        } else if (type == &PyBool_Type) {
            if (!(level + 1 == st.ndim)) return false;
            k = item == Py_True ? 1 : 0;
            f = static_cast<double>(k);
            st.saw_bool = true;
        } else if (PyType_HasFeature(type, Py_TPFLAGS_LONG_SUBCLASS)) {
            if (!(level + 1 == st.ndim)) return false;
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
            if (overflow != 0) return false;
            if (v == -1 && PyErr_Occurred()) return failure();
            k = v;
            f = static_cast<double>(k);
            st.saw_int = true;
        } else if (PyType_IsSubtype(type, &PyFloat_Type)) {
            if (!(level + 1 == st.ndim)) return false;
            Ref hold = Ref::borrow(item);
            f = PyFloat_AsDouble(item);
            if (f == -1.0 && PyErr_Occurred()) return failure();
            k = 0;
            st.saw_float = true;
        } else {
            Ref hold = Ref::borrow(item);
            auto r = walk(item, level + 1, st);
            if (!r || !*r) return r;
            continue;
        }
        st.floats.push_back(f);
        if (!st.saw_float) st.ints.push_back(k);
    }
    return true;
}

template <Element T>
Result<std::optional<AnyArray>> build(std::vector<T> data, std::span<const std::uint64_t> shape) {
    auto a = Array<T>::from_vec(std::move(data), shape);
    if (!a) return failure(array_error(std::move(a.error())));
    return std::optional<AnyArray>(std::move(*a));
}

}  // namespace

Result<std::vector<std::uint64_t>> extract_shape(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    if (PyType_HasFeature(type, Py_TPFLAGS_LONG_SUBCLASS)) {
        auto n = size_of(obj);
        if (!n) return failure(std::move(n.error()));
        return std::vector<std::uint64_t>{*n};
    }
    if (PyType_HasFeature(type, Py_TPFLAGS_TUPLE_SUBCLASS)) {
        const Py_ssize_t len = PyTuple_GET_SIZE(obj);
        std::vector<std::uint64_t> shape;
        shape.reserve(static_cast<std::size_t>(len));
        for (Py_ssize_t i = 0; i < len; ++i) {
            auto n = size_of(PyTuple_GET_ITEM(obj, i));
            if (!n) return failure(std::move(n.error()));
            shape.push_back(*n);
        }
        return shape;
    }
    if (auto one = size_of(obj)) return std::vector<std::uint64_t>{*one};
    return sequence_shape(obj);
}

Result<std::optional<AnyArray>> nested_sequence(PyObject* obj) {
    WalkState st;
    auto ok = walk(obj, 0, st);
    if (!ok) return failure(std::move(ok.error()));
    if (!*ok) return std::optional<AnyArray>();
    std::span<const std::uint64_t> shape(st.shape.data(), st.ndim);
    const auto count = array::checked_product(shape);
    if (!count || *count != st.floats.size()) return std::optional<AnyArray>();  // ragged
    if (!st.saw_float && st.saw_int) return build(std::move(st.ints), shape);
    if (!st.saw_float && st.saw_bool) {
        std::vector<Bool> bools;
        bools.reserve(st.ints.size());
        for (std::int64_t v : st.ints) bools.push_back(to_bool(v != 0));
        return build(std::move(bools), shape);
    }
    return build(std::move(st.floats), shape);
}

}  // namespace corvantile::python
