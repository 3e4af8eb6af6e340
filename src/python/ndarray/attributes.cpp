#include "python/ndarray/attributes.hpp"

#include "python/runtime/args.hpp"
#include "python/convert/dtype.hpp"
#include "python/numpy/numpy.hpp"
#include "array/folds.hpp"
#include "python/object/strided.hpp"
#include "python/object/view_map.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <variant>

namespace corvantile::python {

namespace {

template <class Int>
Result<Ref> int_tuple(std::span<const Int> values) {
    auto t = check(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!t) return t;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item;
        if constexpr (std::is_signed_v<Int>) {
            item = PyLong_FromLongLong(values[i]);
        } else {
            item = PyLong_FromUnsignedLongLong(values[i]);
        }
        if (item == nullptr) return failure();
        PyTuple_SET_ITEM(t->get(), static_cast<Py_ssize_t>(i), item);
    }
    return t;
}

Result<Ref> numpy_call(const char* function, PyObject* argument) {
    auto numpy = check(PyImport_ImportModule("numpy"));
    if (!numpy) return numpy;
    auto f = check(PyObject_GetAttrString(numpy->get(), function));
    if (!f) return f;
    return check(PyObject_CallOneArg(f->get(), argument));
}

using Scalar = std::variant<double, std::int64_t, Bool>;

// The single element of an array whose element count is 1 (refreshed first), whatever
// its number of axes; nothing for any other array.
std::optional<Scalar> single_element(PyArray& self) {
    if (self.value.len() != 1) return std::nullopt;
    // A view's one element read where it lies.
    const std::byte* at = self.strided ? self.strided->data : static_cast<const std::byte*>(self.value.raw_data());
    return self.value.visit([at]<class T>(const Array<T>&) -> Scalar { return walk::load<T>(at); });
}

double as_double(const Scalar& e) {
    return std::visit([](auto x) { return folds::as_double(x); }, e);
}

Error not_scalar() { return Error::type_error("only length-1 arrays can be converted to Python scalars"); }

constexpr Param DEEPCOPY_PARAMS[] = {{"_memo", ParamKind::Either, true}};
constexpr Signature DEEPCOPY{"ndarray.__deepcopy__", DEEPCOPY_PARAMS};

}  // namespace

// ---- getters ----------------------------------------------------------------------------

// The tuple is kept and handed out again until the shape changes.
Result<Ref> get_shape(PyArray& self, void*) {
    if (PyObject* kept = self.shape_tuple.load(std::memory_order_acquire)) return Ref::borrow(kept);
    auto t = int_tuple(self.value.shape());
    if (!t) return t;
    PyObject* expected = nullptr;
    if (self.shape_tuple.compare_exchange_strong(expected, t->get(), std::memory_order_acq_rel)) Py_INCREF(t->get());
    return t;
}

Result<Ref> get_strides(PyArray& self, void*) {
    const std::size_t n = self.value.ndim();
    if (self.strided) return int_tuple(std::span<const std::int64_t>(self.strided->strides.data(), n));
    return int_tuple(self.value.dims().strides());
}

Result<Ref> get_dtype(PyArray& self, void*) {
    auto d = numpy_dtype_of(self.value.kind());
    if (!d) return failure(std::move(d.error()));
    return Ref::borrow(*d);
}

Result<Ref> get_base(PyArray& self, void*) {
    if (self.strided) return self.strided->owns_root ? Ref::borrow(Py_None) : self.strided->root.clone();
    if (self.value.is_borrowed()) return Ref::borrow(static_cast<PyObject*>(self.value.owner().get()));
    return Ref::borrow(Py_None);
}

Result<Ref> class_for_isinstance(PyArray&, void*) { return numpy_ndarray(); }

Result<> add_class_attributes(PyTypeObject* type) {
    auto priority = check(PyFloat_FromDouble(ARRAY_PRIORITY));
    if (!priority) return failure(std::move(priority.error()));
    return check_status(
        PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), "__array_priority__", priority->get()));
}

// ---- conversions and text ---------------------------------------------------------------

Result<bool> truth(PyArray& self) {
    auto e = single_element(self);
    if (!e) {
        return failure(Error::value_error(
            "The truth value of an array with more than one element is ambiguous. Use a.any() or a.all()"));
    }
    return std::visit(
        []<class T>(T x) -> bool {
            if constexpr (std::is_same_v<T, Bool>) {
                return is_true(x);
            } else {
                return x != T{0};  // NaN is true, -0.0 false
            }
        },
        *e);
}

Result<Ref> to_int(PyArray& self) {
    auto e = single_element(self);
    if (!e) return failure(not_scalar());
    return std::visit(
        []<class T>(T x) -> Result<Ref> {
            if constexpr (std::is_same_v<T, double>) {
                // Exact, as int() of the float: NaN and infinities raise.
                return check(PyLong_FromDouble(x));
            } else if constexpr (std::is_same_v<T, Bool>) {
                return check(PyLong_FromLong(is_true(x) ? 1 : 0));
            } else {
                return check(PyLong_FromLongLong(x));
            }
        },
        *e);
}

Result<Ref> to_float(PyArray& self) {
    auto e = single_element(self);
    if (!e) return failure(not_scalar());
    return check(PyFloat_FromDouble(as_double(*e)));
}

Result<Ref> to_complex(PyArray& self, PyObject*) {
    auto e = single_element(self);
    if (!e) return failure(not_scalar());
    return check(PyComplex_FromDoubles(as_double(*e), 0.0));
}

Result<Ref> to_index(PyArray& self) {
    if (self.value.kind() == ElementKind::I64) {
        if (auto e = single_element(self)) return check(PyLong_FromLongLong(std::get<std::int64_t>(*e)));
    }
    return failure(Error::type_error("only integer scalar arrays can be converted to a scalar index"));
}

Result<Ref> repr(PyArray& self) {
    auto a = numpy_call("asarray", self.object());
    if (!a) return a;
    return check(PyObject_Repr(a->get()));
}

Result<Ref> str(PyArray& self) {
    auto a = numpy_call("asarray", self.object());
    if (!a) return a;
    return check(PyObject_Str(a->get()));
}

Result<Ref> iterate(PyArray& self) {
    if (self.value.ndim() == 0) return failure(Error::type_error("iteration over a 0-d array"));
    return check(PySeqIter_New(self.object()));
}

// ---- copying and pickling ---------------------------------------------------------------

Result<Ref> copy(PyArray& self, PyObject*) {
    if (const std::optional<walk::Strided> layout = in_place_layout(self)) {
        return copy_view(self.value, *layout, self.value.shape());
    }
    self.refresh();
    return create_class_object(self.value.clone());
}

Result<Ref> deepcopy(PyArray& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<1>(DEEPCOPY, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    return copy(self, nullptr);
}

Result<Ref> reduce(PyArray& self, PyObject*) {
    auto core = check(PyImport_ImportModule("corvantile._core"));
    if (!core) return core;
    auto rebuild = check(PyObject_GetAttrString(core->get(), "array"));
    if (!rebuild) return rebuild;
    auto data = numpy_call("array", self.object());
    if (!data) return data;
    return check(Py_BuildValue("(O(O))", rebuild->get(), data->get()));
}

}  // namespace corvantile::python
