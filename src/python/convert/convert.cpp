#include "python/convert/convert.hpp"

#include "python/convert/buffer.hpp"
#include "python/convert/classify.hpp"
#include "python/runtime/interned.hpp"
#include "python/convert/nested.hpp"
#include "python/object/pyarray.hpp"
#include "python/object/strided.hpp"

#include <bit>
#include <climits>
#include <vector>

namespace corvantile::python {

namespace {

constinit Interned S_NUMPY{"numpy"};
constinit Interned S_NDIM{"ndim"};
constinit Interned S_DTYPE{"dtype"};
constinit Interned S_ARRAY_INTERFACE{"__array_interface__"};

std::optional<AnyArray> NOT_CONVERTED() { return std::nullopt; }

// Which element kind a buffer format (with an optional byte-order prefix) holds
// natively; nothing for every other format, and for a byte order that is not native.
std::optional<ElementKind> wide_kind(std::string_view format) {
    char prefix = 0;
    char code = 0;
    if (format.size() == 1) {
        code = format[0];
    } else if (format.size() == 2) {
        prefix = format[0];
        code = format[1];
    } else {
        return std::nullopt;
    }
    constexpr bool little = std::endian::native == std::endian::little;
    const bool native_sizes = prefix == 0 || prefix == '@';
    const bool standard_sizes =
        prefix == '=' || (prefix == '<' && little) || ((prefix == '>' || prefix == '!') && !little);
    if (native_sizes) {
        if (code == 'd') return ElementKind::F64;
        if (code == 'q' || (code == 'l' && sizeof(long) == 8) || (code == 'n' && sizeof(Py_ssize_t) == 8)) {
            return ElementKind::I64;
        }
    } else if (standard_sizes) {
        if (code == 'd') return ElementKind::F64;
        if (code == 'q') return ElementKind::I64;
    }
    return std::nullopt;
}

// The elements of a float64 or int64 buffer, copied in C order.
template <Element T>
Converted<AnyArray> copy_buffer(BufferView& b) {
    std::vector<std::uint64_t> shape;
    shape.reserve(b.ndim());
    for (Py_ssize_t n : b.shape()) shape.push_back(static_cast<std::uint64_t>(n));
    const std::size_t count = b.item_count();
    Storage<T> storage = Storage<T>::uninit(count);
    if (count != 0 &&
        PyBuffer_ToContiguous(storage.ptr(), &b.view(), static_cast<Py_ssize_t>(count * sizeof(T)), 'C') != 0) {
        return failure();
    }
    auto a = Array<T>::from_storage(std::move(storage), shape);
    if (!a) return failure(array_error(std::move(a.error())));
    return std::optional<AnyArray>(std::move(*a));
}

// The buffer road of from_buffer_any.
Converted<AnyArray> from_buffer(PyObject* obj) {
    if (!PyObject_CheckBuffer(obj)) return NOT_CONVERTED();
    {
        auto buffer = BufferView::get(obj, PyBUF_FULL_RO);
        if (!buffer) return NOT_CONVERTED();  // the exporter's error is dropped
        // The data is copied bytewise, so no alignment is asked of the exporter.
        const auto kind = buffer->view().itemsize == 8 && buffer->has_layout()
                              ? wide_kind(buffer->format())
                              : std::nullopt;
        if (kind == ElementKind::F64) return copy_buffer<double>(*buffer);
        if (kind == ElementKind::I64) return copy_buffer<std::int64_t>(*buffer);
    }
    auto mask = numpy_bool_buffer(obj);
    if (!mask) return NOT_CONVERTED();
    auto a = Array<Bool>::from_vec(std::move(mask->values), mask->shape);
    if (!a) return failure(array_error(std::move(a.error())));
    return std::optional<AnyArray>(std::move(*a));
}

// The value of attribute "ndim" as a size; nothing (error dropped) when it has none.
std::optional<std::size_t> ndim_attr(PyObject* obj) {
    auto name = S_NDIM.get();
    if (!name) {
        PyErr_Clear();
        return std::nullopt;
    }
    Ref ndim = Ref::steal(PyObject_GetAttr(obj, *name));
    if (ndim) {
        Ref index = Ref::steal(PyNumber_Index(ndim.get()));
        if (index) {
            std::size_t n = PyLong_AsSize_t(index.get());
            if (!(n == static_cast<std::size_t>(-1) && PyErr_Occurred())) return n;
        }
    }
    PyErr_Clear();
    return std::nullopt;
}

// A 0-d NumPy object of a native kind, read through its Python conversions.
Converted<AnyArray> from_zero_dim(PyObject* obj) {
    auto dtype_name = S_DTYPE.get();
    if (!dtype_name) return failure(std::move(dtype_name.error()));
    Ref dtype = Ref::steal(PyObject_GetAttr(obj, *dtype_name));
    if (!dtype) {
        PyErr_Clear();
        return NOT_CONVERTED();
    }
    auto kind_obj = check(PyObject_GetAttrString(dtype.get(), "kind"));
    if (!kind_obj) return failure(std::move(kind_obj.error()));
    const char* kind = PyUnicode_AsUTF8(kind_obj->get());
    if (kind == nullptr) return failure();
    auto size_obj = check(PyObject_GetAttrString(dtype.get(), "itemsize"));
    if (!size_obj) return failure(std::move(size_obj.error()));
    std::size_t itemsize = PyLong_AsSize_t(size_obj->get());
    if (itemsize == static_cast<std::size_t>(-1) && PyErr_Occurred()) return failure();

    // The data is read by value, so the byte order does not matter here.
    std::optional<ElementKind> native;
    for (const KindFacts& f : KINDS) {
        if (std::string_view(kind) == std::string_view(&f.numpy_kind, 1) && itemsize == f.itemsize) native = f.kind;
    }
    if (native == ElementKind::I64) {
        auto value = check(PyObject_CallMethod(obj, "__int__", nullptr));
        if (!value) return failure(std::move(value.error()));
        long long v = PyLong_AsLongLong(value->get());
        if (v == -1 && PyErr_Occurred()) return failure();
        return std::optional<AnyArray>(Array<std::int64_t>::scalar(v));
    }
    if (native == ElementKind::F64) {
        double v = PyFloat_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred()) return failure();
        return std::optional<AnyArray>(Array<double>::scalar(v));
    }
    if (native == ElementKind::Bool) {
        int t = PyObject_IsTrue(obj);
        if (t < 0) return failure();
        return std::optional<AnyArray>(Array<Bool>::scalar(to_bool(t == 1)));
    }
    return NOT_CONVERTED();
}

}  // namespace

// numpy.asarray(obj, **kwargs).
Result<Ref> numpy_asarray(PyObject* obj, PyObject* kwargs) {
    auto asarray = numpy_attr("asarray");
    if (!asarray) return asarray;
    Ref args = Ref::steal(PyTuple_Pack(1, obj));
    if (!args) return failure();
    return check(PyObject_Call(asarray->get(), args.get(), kwargs));
}

Result<Ref> import_numpy() {
    auto name = S_NUMPY.get();
    if (!name) return failure(std::move(name.error()));
    return check(PyImport_Import(*name));
}

Result<Ref> numpy_attr(const char* name) {
    auto numpy = import_numpy();
    if (!numpy) return numpy;
    return check(PyObject_GetAttrString(numpy->get(), name));
}

Converted<AnyArray> native_array(PyObject* obj) {
    if (is_ndarray(obj) && PyArray::of(obj)->strided) return std::optional<AnyArray>(gather(*PyArray::of(obj)));
    if (const AnyArray* a = any_of(obj)) return std::optional<AnyArray>(a->clone());
    PyTypeObject* type = Py_TYPE(obj);
    if (PyType_HasFeature(type, Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS)) {
        return nested_sequence(obj);
    }
    if (PyFloat_Check(obj)) {
        double v = PyFloat_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred()) return failure();
        return std::optional<AnyArray>(Array<double>::scalar(v));
    }
    if (type == &PyBool_Type) return std::optional<AnyArray>(Array<Bool>::scalar(to_bool(obj == Py_True)));
    if (PyType_HasFeature(type, Py_TPFLAGS_LONG_SUBCLASS)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (overflow != 0) return NOT_CONVERTED();  // NumPy decides big ints
        if (v == -1 && PyErr_Occurred()) return failure();
        return std::optional<AnyArray>(Array<std::int64_t>::scalar(v));
    }
    if (PyObject_CheckBuffer(obj)) return from_buffer_any(obj);
    return NOT_CONVERTED();
}

Converted<AnyArray> from_buffer_any(PyObject* obj) {
    if (auto ndim = ndim_attr(obj)) {
        if (*ndim == 0) return from_zero_dim(obj);
        if (*ndim > MAX_NDIM) return NOT_CONVERTED();
    }
    return from_buffer(obj);
}

Converted<Array<double>> from_f64_buffer(PyObject* obj) {
    auto any = from_buffer_any(obj);
    if (!any) return failure(std::move(any.error()));
    if (*any) {
        if (auto* f = (*any)->get_if<double>()) return std::optional<Array<double>>(std::move(*f));
        return std::optional<Array<double>>((*any)->to_f64());
    }
    auto ndim = ndim_attr(obj);
    if (!ndim || *ndim != 0) return std::optional<Array<double>>();
    double v;
    if (PyFloat_CheckExact(obj)) {
        v = PyFloat_AS_DOUBLE(obj);
    } else {
        v = PyFloat_AsDouble(obj);
        if (v == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return std::optional<Array<double>>();
        }
    }
    return std::optional<Array<double>>(Array<double>::scalar(v));
}

Result<Array<double>> array_from_any(PyObject* obj) {
    auto native = native_array(obj);
    if (!native) return failure(std::move(native.error()));
    if (*native) {
        if (auto* f = (*native)->get_if<double>()) return std::move(*f);
        return (*native)->to_f64();
    }
    Ref kwargs = Ref::steal(Py_BuildValue("{s:s}", "dtype", "float64"));
    if (!kwargs) return failure();
    auto result = numpy_asarray(obj, kwargs.get());
    if (!result) return failure(std::move(result.error()));
    auto converted = from_f64_buffer(result->get());
    if (!converted) return failure(std::move(converted.error()));
    if (!*converted) return failure(Error::type_error("could not convert input to a float64 array"));
    return std::move(**converted);
}

Result<Ref> array_or_numpy(PyObject* obj) {
    auto native = native_array(obj);
    if (!native) return failure(std::move(native.error()));
    if (*native) return create_class_object(std::move(**native));
    auto result = numpy_asarray(obj, nullptr);
    if (!result) return result;
    return wrap_result(std::move(*result));
}

Result<Ref> wrap_result(Ref result) {
    if (is_ndarray(result.get())) return result;
    auto name = S_ARRAY_INTERFACE.get();
    if (!name) return failure(std::move(name.error()));
    int has = PyObject_HasAttrWithError(result.get(), *name);
    if (has < 0) return failure();
    if (has == 0) return result;
    auto converted = from_buffer_any(result.get());
    if (!converted) return failure(std::move(converted.error()));
    if (!*converted) return result;
    return create_class_object(std::move(**converted));
}

}  // namespace corvantile::python
