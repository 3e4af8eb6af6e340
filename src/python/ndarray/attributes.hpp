#pragma once

// The everyday Python face of an ndarray: read-only attributes, conversions to Python
// truth values and numbers, text, copying, pickling, item assignment and the unary
// operators. The bodies run through entry<> from the type's tables.

#include "python/object/pyarray.hpp"

namespace corvantile::python {

// ---- getters ----------------------------------------------------------------------------
Result<Ref> get_shape(PyArray& self, void*);
Result<Ref> get_strides(PyArray& self, void*);
Result<Ref> get_dtype(PyArray& self, void*);
Result<Ref> get_base(PyArray& self, void*);
Result<Ref> class_for_isinstance(PyArray& self, void*);

inline constexpr const char BASE_DOC[] = "The array whose memory this one shares, None when it owns its data.";
inline constexpr const char CLASS_FOR_ISINSTANCE_DOC[] =
    "`numpy.ndarray`, so that `isinstance(a, numpy.ndarray)` is True.\n"
    "`isinstance` first looks at the real type (still `corvantile.ndarray`,\n"
    "which is what `type(a)`, NumPy's C code and protocol dispatch see) and\n"
    "then at `__class__`, the way mocks and proxies pass such checks.\n"
    "Library code that gates on `isinstance(x, np.ndarray)` takes its array\n"
    "branch, where corvantile offers ndarray's attributes and methods.";

// The class attribute __array_priority__ (1000.0), set on the type when it is made.
inline constexpr double ARRAY_PRIORITY = 1000.0;
Result<> add_class_attributes(PyTypeObject* type);

// ---- conversions and text ---------------------------------------------------------------
Result<bool> truth(PyArray& self);
// Inline: the slot's frame folds it in.
inline Result<Py_ssize_t> length(PyArray& self) {
    const ArrayDims& dims = self.value.dims();
    if (dims.ndim() == 0) return failure(Error::type_error("len() of unsized object"));
    return static_cast<Py_ssize_t>(dims.shape_slots()[0]);
}
Result<Ref> to_int(PyArray& self);
Result<Ref> to_float(PyArray& self);
Result<Ref> to_index(PyArray& self);
Result<Ref> to_complex(PyArray& self, PyObject*);
Result<Ref> repr(PyArray& self);
Result<Ref> str(PyArray& self);
// Iteration walks the first axis through __getitem__; a 0-d array cannot be iterated.
Result<Ref> iterate(PyArray& self);

// ---- copying and pickling ---------------------------------------------------------------
Result<Ref> copy(PyArray& self, PyObject*);
Result<Ref> deepcopy(PyArray& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Result<Ref> reduce(PyArray& self, PyObject*);

inline constexpr const char COMPLEX_DOC[] = "__complex__($self)\n--\n\n";
inline constexpr const char COPY_DOC[] = "__copy__($self)\n--\n\n";
inline constexpr const char DEEPCOPY_DOC[] = "__deepcopy__($self, _memo)\n--\n\n";
inline constexpr const char REDUCE_DOC[] = "__reduce__($self)\n--\n\n";

// ---- item assignment ----------------------------------------------------------------------
// mp_ass_subscript: a[key] = value (value null: del a[key]).
Result<> assign_item(PyArray& self, PyObject* key, PyObject* value);

}  // namespace corvantile::python
