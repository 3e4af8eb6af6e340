#include "lib/functions.hpp"

#include "python/runtime/args.hpp"
#include "python/convert/classify.hpp"
#include "python/convert/convert.hpp"
#include "python/numpy/fallback.hpp"
#include "python/runtime/module.hpp"
#include "python/object/pyarray.hpp"

#include <algorithm>
#include <array>
#include <format>
#include <string>
#include <string_view>

namespace corvantile::python {

namespace {

constexpr Param ARRAY_PARAMS[] = {{"object", ParamKind::Either, true}, {"dtype"}};
constexpr Signature ARRAY_SIGNATURE{"array", ARRAY_PARAMS, false, true};

constexpr Param ASARRAY_PARAMS[] = {
    {"object", ParamKind::Either, true},
    {"dtype"},
    {"copy", ParamKind::KeywordOnly},
    {"device", ParamKind::KeywordOnly},
    {"order", ParamKind::KeywordOnly},
};
constexpr Signature ASARRAY_SIGNATURE{"asarray", ASARRAY_PARAMS};

// The UTF-8 text of a str object.
Result<std::string_view> text_of(PyObject* str) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(str, &size);
    if (text == nullptr) return failure();
    return std::string_view(text, static_cast<std::size_t>(size));
}

// The text written as a double-quoted string literal with escapes.
std::string quoted(PyObject* str) {
    std::string out = "\"";
    const Py_ssize_t n = PyUnicode_GetLength(str);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_ReadChar(str, i);
        switch (c) {
            case '\\': out += "\\\\"; continue;
            case '"': out += "\\\""; continue;
            case '\t': out += "\\t"; continue;
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case 0: out += "\\0"; continue;
            default: break;
        }
        if (!Py_UNICODE_ISPRINTABLE(c)) {
            out += std::format("\\u{{{:x}}}", static_cast<std::uint32_t>(c));
            continue;
        }
        // Back to UTF-8.
        char buf[4];
        std::size_t len;
        if (c < 0x80) {
            buf[0] = static_cast<char>(c);
            len = 1;
        } else if (c < 0x800) {
            buf[0] = static_cast<char>(0xC0 | (c >> 6));
            buf[1] = static_cast<char>(0x80 | (c & 0x3F));
            len = 2;
        } else if (c < 0x10000) {
            buf[0] = static_cast<char>(0xE0 | (c >> 12));
            buf[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            buf[2] = static_cast<char>(0x80 | (c & 0x3F));
            len = 3;
        } else {
            buf[0] = static_cast<char>(0xF0 | (c >> 18));
            buf[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            buf[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            buf[3] = static_cast<char>(0x80 | (c & 0x3F));
            len = 4;
        }
        out.append(buf, len);
    }
    out += '"';
    return out;
}

// {"dtype": dtype} or {} when dtype is absent.
Result<Ref> dtype_kwargs(PyObject* dtype) {
    auto kwargs = check(PyDict_New());
    if (!kwargs) return kwargs;
    if (dtype != nullptr) {
        if (auto r = check_status(PyDict_SetItemString(kwargs->get(), "dtype", dtype)); !r) {
            return failure(std::move(r.error()));
        }
    }
    return kwargs;
}

Result<Ref> new_f64_ndarray(PyObject* object) {
    auto a = array_from_any(object);
    if (!a) return failure(std::move(a.error()));
    return create_class_object(std::move(*a));
}

// Whether the requested dtype (null = absent) is the element kind of the native array.
Result<bool> dtype_matches(const AnyArray& a, PyObject* dtype) {
    if (dtype == nullptr) return true;
    auto kind = native_kind(dtype);
    if (!kind) return failure(std::move(kind.error()));
    return *kind == a.kind();
}

Result<Ref> call_copy(PyObject* object) {
    return check(PyObject_CallMethod(object, "copy", nullptr));
}

// The three-valued copy keyword: None or absent, False, True.
Result<std::optional<bool>> copy_flag(PyObject* copy) {
    if (copy == nullptr || copy == Py_None) return std::optional<bool>();
    auto b = extract_bool(copy);
    if (!b) return failure(std::move(b.error()).for_argument("copy"));
    return std::optional<bool>(*b);
}

}  // namespace

Result<> check_device(PyObject* device) {
    if (device == nullptr || device == Py_None) return {};
    auto text = check(PyObject_Str(device));
    if (!text) return failure(std::move(text.error()));
    auto view = text_of(text->get());
    if (!view) return failure(std::move(view.error()));
    if (*view == "cpu") return {};
    return failure(Error::value_error(
        std::format("Unsupported device {}: corvantile arrays live on the CPU", quoted(text->get()))));
}

Result<Ref> numpy_array(PyObject* object, PyObject* dtype) {
    auto kwargs = dtype_kwargs(dtype);
    if (!kwargs) return kwargs;
    return numpy_asarray(object, kwargs->get());
}

// Whether NumPy might view the object's memory without copying: a buffer exporter or an
// object of NumPy's array protocols. Lookup errors count as no.
bool may_share_memory(PyObject* object) {
    if (PyObject_CheckBuffer(object)) return true;
    for (const char* name : {"__array_interface__", "__array_struct__", "__array__", "__dlpack__"}) {
        int has = PyObject_HasAttrStringWithError(object, name);
        if (has < 0) PyErr_Clear();
        if (has == 1) return true;
    }
    return false;
}

namespace {

// An order NumPy accepts: None or one of its four letters in either case.
bool valid_order(PyObject* order) {
    if (order == nullptr || order == Py_None) return true;
    if (!PyUnicode_CheckExact(order) || PyUnicode_GET_LENGTH(order) != 1) return false;
    const Py_UCS4 c = PyUnicode_READ_CHAR(order, 0);
    return c < 128 && std::string_view("CFAKcfak").contains(static_cast<char>(c));
}

// numpy.asarray(object, dtype=, copy=, order=) with the keywords given (copy always, as
// None when absent). A native kind comes back native unless NumPy returned the object.
Result<Ref> numpy_asarray_road(PyObject* object, PyObject* dtype, std::optional<bool> copy, PyObject* order,
                               bool native) {
    auto kwargs = dtype_kwargs(dtype != nullptr ? dtype : Py_None);
    if (!kwargs) return kwargs;
    PyObject* copy_value = !copy ? Py_None : (*copy ? Py_True : Py_False);
    if (auto r = check_status(PyDict_SetItemString(kwargs->get(), "copy", copy_value)); !r) {
        return failure(std::move(r.error()));
    }
    if (order != nullptr) {
        if (auto r = check_status(PyDict_SetItemString(kwargs->get(), "order", order)); !r) {
            return failure(std::move(r.error()));
        }
    }
    auto result = numpy_asarray(object, kwargs->get());
    if (!result || !native || result->get() == object) return result;
    return wrap_result(std::move(*result));
}

}  // namespace

Result<Ref> asarray(PyObject* object, PyObject* dtype, std::optional<bool> copy, PyObject* device,
                    PyObject* order) {
    if (auto r = check_device(device); !r) return failure(std::move(r.error()));
    if (called_from_dunder_array()) return numpy_array(object, dtype);
    // NumPy's error for an order it does not know.
    if (!valid_order(order)) return numpy_asarray_road(object, dtype, copy, order, false);

    // An ndarray's kind is known without reading its elements (a view's stay where they lie).
    if (const AnyArray* a = is_ndarray(object) ? &PyArray::of(object)->value : nullptr) {
        auto match = dtype_matches(*a, dtype);
        if (!match) return failure(std::move(match.error()));
        if (*match) return copy == true ? call_copy(object) : Ref::borrow(object);
    }

    if (copy == false) {
        // Sharing is all that is allowed: anything that may expose its memory goes to
        // NumPy, which shares it or refuses; never a private copy.
        if (!is_ndarray(object) && !may_share_memory(object)) {
            return failure(Error::value_error("Unable to avoid copy while creating an array as requested."));
        }
        return numpy_asarray_road(object, dtype, copy, order, false);
    }

    if (dtype == nullptr) {
        auto r = array_or_numpy(object);
        if (!r) return r;
        // NumPy's array came back: a copy or a layout asked for is NumPy's to make.
        const bool asked = (copy == true && r->get() == object) || (order != nullptr && order != Py_None);
        if (asked && !is_ndarray(r->get())) return numpy_asarray_road(object, nullptr, copy, order, false);
        return r;
    }
    auto kind = native_kind(dtype);
    if (!kind) return failure(std::move(kind.error()));
    if (*kind == ElementKind::F64) return new_f64_ndarray(object);
    // Only a native kind comes back native; NumPy's other dtypes stay NumPy's.
    return numpy_asarray_road(object, dtype, copy, order, kind->has_value());
}

Result<Ref> array_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<2>(ARRAY_SIGNATURE, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    PyObject* object = (*bound)[0];
    PyObject* dtype = bound->unless_none(1);
    if (called_from_dunder_array()) return numpy_array(object, dtype);

    if (bound->kwargs && PyDict_GET_SIZE(bound->kwargs.get()) > 0) {
        auto kwargs = check(PyDict_Copy(bound->kwargs.get()));
        if (!kwargs) return kwargs;
        if (dtype != nullptr) {
            if (auto r = check_status(PyDict_SetItemString(kwargs->get(), "dtype", dtype)); !r) {
                return failure(std::move(r.error()));
            }
        }
        return fallback::call("array", {object}, kwargs->get());
    }
    if (dtype == nullptr) return array_or_numpy(object);
    auto f64 = is_float64_or_none(dtype);
    if (!f64) return failure(std::move(f64.error()));
    if (*f64) return new_f64_ndarray(object);
    auto kwargs = dtype_kwargs(dtype);
    if (!kwargs) return kwargs;
    return fallback::call("array", {object}, kwargs->get());
}

Result<Ref> asarray_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<5>(ASARRAY_SIGNATURE, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    auto copy = copy_flag((*bound)[2]);
    if (!copy) return failure(std::move(copy.error()));
    return asarray((*bound)[0], bound->unless_none(1), *copy, bound->unless_none(3), bound->unless_none(4));
}

}  // namespace corvantile::python
