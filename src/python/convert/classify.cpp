#include "python/convert/classify.hpp"

#include "python/convert/buffer.hpp"
#include "python/runtime/interned.hpp"
#include "python/object/pyarray.hpp"
#include "python/object/strided.hpp"

#include <climits>
#include <string_view>

namespace corvantile::python {

namespace {

constinit Interned S_LEN{"__len__"};
constinit Interned S_INDEX{"__index__"};
constinit Interned S_DTYPE{"dtype"};
constinit Interned S_ARRAY_INTERFACE{"__array_interface__"};
constinit Interned S_ARRAY{"__array__"};

PyArray* ndarray_or_null(PyObject* obj) noexcept {
    auto type = ndarray_type();
    if (!type) return nullptr;  // the error value is dropped with the result
    PyTypeObject* t = *type;
    if (Py_TYPE(obj) == t || PyType_IsSubtype(Py_TYPE(obj), t)) return PyArray::of(obj);
    return nullptr;
}

// hasattr: a failed lookup is false; any other error stays set and counts as `on_error`.
bool has_attr(PyObject* obj, Interned& name, bool on_error) noexcept {
    auto s = name.get();
    if (!s) {
        std::move(s.error()).raise();
        return on_error;
    }
    const int r = PyObject_HasAttrWithError(obj, *s);
    return r < 0 ? on_error : r == 1;
}

// Drops the error of a failed conversion when it is an ordinary Exception; anything
// else (KeyboardInterrupt, SystemExit) stays set.
void drop_ordinary() noexcept {
    if (PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
}

// False for NumPy scalars of complex or unsigned kind and for floats wider than float64;
// true for everything else (objects without a dtype included).
bool numpy_scalar_is_native(PyObject* obj) noexcept {
    if (!std::string_view(Py_TYPE(obj)->tp_name).starts_with("numpy.")) return true;
    auto dtype_name = S_DTYPE.get();
    if (!dtype_name) {
        PyErr_Clear();
        return true;
    }
    PyObject* dtype = nullptr;
    if (PyObject_GetOptionalAttr(obj, *dtype_name, &dtype) <= 0) {
        PyErr_Clear();
        return true;
    }
    Ref owned_dtype = Ref::steal(dtype);
    Ref kind = Ref::steal(PyObject_GetAttrString(dtype, "kind"));
    Ref itemsize = Ref::steal(PyObject_GetAttrString(dtype, "itemsize"));
    if (!kind || !itemsize || !PyUnicode_Check(kind.get())) {
        PyErr_Clear();
        return true;
    }
    const long size = PyLong_AsLong(itemsize.get());
    if (size == -1 && PyErr_Occurred()) PyErr_Clear();
    if (PyUnicode_EqualToUTF8(kind.get(), "c") || PyUnicode_EqualToUTF8(kind.get(), "u")) return false;
    return !(PyUnicode_EqualToUTF8(kind.get(), "f") && size > 8);
}

// Whether the type is a NumPy scalar type (numpy.generic among its bases).
bool numpy_scalar_type(PyTypeObject* type) noexcept {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        const auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (std::string_view(base->tp_name) == "numpy.generic") return true;
    }
    return false;
}

}  // namespace

std::optional<double> python_real(PyObject* obj) noexcept {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    if (!PyFloat_Check(obj) && !PyLong_Check(obj)) return std::nullopt;
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return v;
}

std::optional<double> Operand::scalar_f64() const noexcept {
    if (auto* f = get_if<FloatScalar>()) return f->value;
    if (auto* i = get_if<IntScalar>()) return static_cast<double>(i->value);
    if (auto* b = get_if<BoolScalar>()) return b->value ? 1.0 : 0.0;
    return std::nullopt;
}

namespace {

// classify, and with AnyNumber the value of an assignment: any object with __index__ or
// a float value is a number there, as NumPy converts it when it stores it.
template <bool AnyNumber, bool InPlace = false>
Operand classify_as(PyObject* obj) {
    if (PyArray* a = ndarray_or_null(obj)) {
        if constexpr (InPlace) {
            if (auto view = in_place_layout(*a)) {
                if (auto* f = a->value.get_if<double>()) return {Operand::F64Array{f, *view}};
                return {Operand::OtherArray{&a->value, *view}};
            }
        }
        a->refresh();
        if (auto* f = a->value.get_if<double>()) return {Operand::F64Array{f}};
        return {Operand::OtherArray{&a->value}};
    }
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyFloat_Type) return {Operand::FloatScalar{PyFloat_AS_DOUBLE(obj)}};
    if (PyType_IsSubtype(type, &PyFloat_Type)) {
        double v = PyFloat_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return {Operand::Unsupported{}};
        }
        return {Operand::FloatScalar{v}};
    }
    if (type == &PyBool_Type) return {Operand::BoolScalar{obj == Py_True}};
    if (PyType_HasFeature(type, Py_TPFLAGS_LONG_SUBCLASS)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow == 0 && !(v == -1 && PyErr_Occurred())) return {Operand::IntScalar{v}};
        PyErr_Clear();
        double d = PyLong_AsDouble(obj);
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return {Operand::Unsupported{}};
        }
        return {Operand::FloatScalar{d, true}};
    }
    // Beyond Python's own numbers only NumPy scalars count as operands: any other object
    // (Decimal, Fraction, one with __index__ or __float__) is NumPy's, which makes an
    // object operand of it where Python's arithmetic decides.
    if (!AnyNumber && !numpy_scalar_type(type)) return {Operand::Unsupported{}};
    if (has_attr(obj, S_LEN, true)) return {Operand::Unsupported{}};
    // Complex numbers are not floats (float() would drop the imaginary part).
    if (PyType_IsSubtype(type, &PyComplex_Type)) return {Operand::Unsupported{}};
    // NumPy's complex and unsigned scalars keep NumPy's promotion (int64 with uint64 is
    // float64), and a long double would lose its precision as a float64.
    if (!numpy_scalar_is_native(obj)) return {Operand::Unsupported{}};
    if (has_attr(obj, S_INDEX, false)) {
        Ref index = Ref::steal(PyNumber_Index(obj));
        if (index) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
            if (overflow == 0 && !(v == -1 && PyErr_Occurred())) return {Operand::IntScalar{v}};
        }
        drop_ordinary();
    }
    if (PyErr_Occurred()) return {Operand::Unsupported{}};
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) {
        drop_ordinary();
        return {Operand::Unsupported{}};
    }
    return {Operand::FloatScalar{d}};
}

}  // namespace

Operand classify(PyObject* obj) { return classify_as<false>(obj); }

Operand classify_stored(PyObject* obj) { return classify_as<true, true>(obj); }

Operand classify_in_place(PyObject* obj) { return classify_as<false, true>(obj); }

bool numpy_handles(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyComplex_Type ||
        PyType_HasFeature(type, Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS) ||
        PyType_IsSubtype(type, &PyComplex_Type)) {
        return true;
    }
    // A number of a kind the native side does not take (Decimal, Fraction, an object with
    // __index__ or __float__): NumPy computes with it as an object.
    if (const PyNumberMethods* number = type->tp_as_number;
        number != nullptr && (number->nb_index != nullptr || number->nb_float != nullptr)) {
        return true;
    }
    if (has_attr(obj, S_ARRAY_INTERFACE, false)) return true;
    return !PyErr_Occurred() && has_attr(obj, S_ARRAY, false);
}

const AnyArray* any_of(PyObject* obj) {
    PyArray* a = ndarray_or_null(obj);
    if (a == nullptr) return nullptr;
    a->refresh();
    return &a->value;
}

const Array<double>* f64_of(PyObject* obj) {
    const AnyArray* a = any_of(obj);
    return a != nullptr ? a->get_if<double>() : nullptr;
}

walk::Strided read_layout(PyArray& a) {
    if (const std::optional<walk::Strided> view = in_place_layout(a)) return *view;
    a.refresh();
    const ArrayDims& dims = a.value.dims();
    walk::Strided s;
    s.ndim = dims.ndim();
    s.data = static_cast<std::byte*>(a.value.raw_data());
    for (std::size_t k = 0; k < s.ndim; ++k) {
        s.shape[k] = dims.shape_slots()[k];
        s.strides[k] = static_cast<std::int64_t>(dims.stride_slots()[k]);
    }
    return s;
}

std::optional<BoolMask> bool_mask(PyObject* obj) {
    if (PyArray* v = ndarray_or_null(obj); v != nullptr && v->strided) {
        // A view's values copied from where they lie.
        const Array<Bool>* b = v->value.get_if<Bool>();
        if (b == nullptr) return std::nullopt;
        try {
            const auto shape = b->shape();
            BoolMask mask{std::vector<Bool>(b->len()), {shape.begin(), shape.end()}};
            if (b->len() != 0) walk::copy<Bool>(walk_layout(*v), mask.values.data());
            return mask;
        } catch (const std::bad_alloc&) {
            return std::nullopt;
        }
    }
    if (const AnyArray* a = any_of(obj)) {
        const Array<Bool>* b = a->get_if<Bool>();
        if (b == nullptr) return std::nullopt;
        try {
            auto shape = b->shape();
            auto values = b->elements();
            return BoolMask{{values.begin(), values.end()}, {shape.begin(), shape.end()}};
        } catch (const std::bad_alloc&) {
            return std::nullopt;
        }
    }
    return numpy_bool_buffer(obj);
}

std::optional<BoolMask> numpy_bool_buffer(PyObject* obj) noexcept {
    if (!PyObject_CheckBuffer(obj)) return std::nullopt;
    auto buffer = BufferView::get(obj, PyBUF_FULL_RO);
    if (!buffer) return std::nullopt;  // the exporter's error is dropped with the result
    const BufferView& b = *buffer;
    if (b.ndim() < 1 || !b.has_layout() || !b.c_contiguous() || b.format() != "?" ||
        b.view().itemsize != 1) {
        return std::nullopt;
    }
    try {
        BoolMask mask;
        for (Py_ssize_t n : b.shape()) mask.shape.push_back(static_cast<std::uint64_t>(n));
        const auto* bytes = static_cast<const unsigned char*>(b.view().buf);
        mask.values.reserve(b.item_count());
        for (std::size_t i = 0; i < b.item_count(); ++i) mask.values.push_back(to_bool(bytes[i] != 0));
        return mask;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

}  // namespace corvantile::python
