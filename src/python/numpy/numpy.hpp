#pragma once

// NumPy, reached on first use: the handles kept in one-time cells and the three
// makers of NumPy scalars.

#include "array/storage.hpp"
#include "python/runtime/error.hpp"

#include <cstdint>
#include <optional>

namespace corvantile::python {

// NumPy's PyArray_Scalar: (data, descriptor, base) -> new scalar or null with an error.
using ScalarFunction = PyObject* (*)(void* data, PyObject* descr, PyObject* base);

// The fast road to NumPy scalars, present only after its self-test passed.
struct NumpyScalars {
    ScalarFunction scalar = nullptr;
    Ref float64_descr;
    Ref int64_descr;
    Ref true_;
    Ref false_;

    // A new scalar of descr's type from the 8 bytes at value.
    static Result<Ref> make(ScalarFunction scalar, const void* value, PyObject* descr);
};

// The fast road, loading and testing it on the first call of the process.
const std::optional<NumpyScalars>& numpy_scalars();
// Builds and tests the fast road; empty on any failure (no error stays set).
std::optional<NumpyScalars> load_numpy_scalars();

// numpy.float64(value), numpy.int64(value), numpy.True_ / numpy.False_.
Result<Ref> np_float(double value);
Result<Ref> np_i64(std::int64_t value);
Result<Ref> np_bool(bool value);

// The NumPy scalar of one element, by its kind's type.
inline Result<Ref> numpy_scalar(double value) { return np_float(value); }
inline Result<Ref> numpy_scalar(std::int64_t value) { return np_i64(value); }
inline Result<Ref> numpy_scalar(Bool value) { return np_bool(is_true(value)); }

// The slow road alone: calling the NumPy scalar types.
Result<Ref> np_float_slow(double value);
Result<Ref> np_i64_slow(std::int64_t value);
Result<Ref> np_bool_slow(bool value);

// The leading fields of a NumPy array object in the ABI version the load checks.
struct NumpyArrayFields {
    PyObject_HEAD
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
    PyObject* weakreflist;
};
inline NumpyArrayFields& numpy_fields(PyObject* array) noexcept { return *reinterpret_cast<NumpyArrayFields*>(array); }

// NumPy's array maker from its C API: zero-copy NumPy arrays over memory we own.
struct NumpyArrays {
    using NewFromDescr = PyObject* (*)(PyTypeObject* type, PyObject* descr, int ndim, const Py_ssize_t* shape,
                                       const Py_ssize_t* strides, void* data, int flags, PyObject* owner);
    using SetBase = int (*)(PyObject* array, PyObject* base);

    NewFromDescr new_from_descr = nullptr;
    SetBase set_base = nullptr;
    PyTypeObject* ndarray = nullptr;  // kept alive by numpy's module
    Ref float64_descr;
    Ref int64_descr;
    Ref bool_descr;

    // A writeable NumPy array over data (byte strides), whose base is `owner` (a new
    // reference is taken). descr is one of the three above.
    Result<Ref> view(PyObject* descr, int ndim, const Py_ssize_t* shape, const Py_ssize_t* strides, void* data,
                     PyObject* owner) const;
};

// The array maker, loaded on the first call of the process; empty when NumPy's table is
// not one we know.
const std::optional<NumpyArrays>& numpy_arrays();

// The class numpy.ndarray (a new reference).
Result<Ref> numpy_ndarray();

}  // namespace corvantile::python
