#pragma once

// Sorting any Python operand into the forms the native code computes with. A failed
// lookup or an ordinary failed conversion is discarded; any other error met on the way
// (KeyboardInterrupt from __getattr__) stays set for the caller to raise.

#include "array/array.hpp"
#include "array/walk.hpp"
#include "python/runtime/ref.hpp"

#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

namespace corvantile {
struct PyArray;
}

namespace corvantile::python {

// What classify makes of an object. The array variants borrow the ndarray's value
// (already refreshed): valid while the caller holds the object. From classify_in_place,
// a strided view read in place carries its layout instead, and its value gives only the
// shape and element kind.
struct Operand {
    struct F64Array {
        const Array<double>* array;
        std::optional<walk::Strided> view{};
        const walk::Strided* in_place() const noexcept { return view ? &*view : nullptr; }
    };
    struct OtherArray {  // int64 or bool
        const AnyArray* array;
        std::optional<walk::Strided> view{};
        const walk::Strided* in_place() const noexcept { return view ? &*view : nullptr; }
    };
    struct FloatScalar {
        double value;
        // Read from a Python int outside int64: only float64 arithmetic may take it
        // (NumPy keeps such ints exact against int64 and bool arrays).
        bool big_int = false;
    };
    struct IntScalar {
        std::int64_t value;
    };
    struct BoolScalar {
        bool value;
    };
    struct Unsupported {};

    using Variant =
        std::variant<F64Array, OtherArray, FloatScalar, IntScalar, BoolScalar, Unsupported>;
    Variant v;

    template <class T>
    bool is() const noexcept {
        return std::holds_alternative<T>(v);
    }
    template <class T>
    const T* get_if() const noexcept {
        return std::get_if<T>(&v);
    }
    template <class F>
    decltype(auto) visit(F&& f) const {
        return std::visit(std::forward<F>(f), v);
    }
    bool is_scalar() const noexcept {
        return is<FloatScalar>() || is<IntScalar>() || is<BoolScalar>();
    }
    // A scalar operand as float64 (bool 0.0 / 1.0, int rounded to nearest).
    std::optional<double> scalar_f64() const noexcept;
};

// A boolean mask: one value per element in C order, and its shape.
struct BoolMask {
    std::vector<Bool> values;
    std::vector<std::uint64_t> shape;
};

// Sorts obj into an Operand; an ndarray is refreshed first. Unsupported, with the error
// set, when an error must propagate. Scalars are Python floats, ints and bools (and their
// subclasses) and NumPy scalars; every other object is Unsupported, whatever it converts to.
// Complex numbers (NumPy complex scalars too), NumPy unsigned-integer scalars and NumPy
// floats wider than float64 are Unsupported. A Python int outside int64 is a FloatScalar with big_int set: paths
// that compute in int64 or bool must send that form to NumPy.
Operand classify(PyObject* obj);
// classify for the kernels that read strided operands where they lie: a strided view of
// IN_PLACE_FROM elements or more is not refreshed and carries its layout (smaller ones
// are refreshed, their shadow being cheaper to read).
Operand classify_in_place(PyObject* obj);
// classify_in_place for a value stored into an array (item assignment, fill): any other
// object with __index__ (an IntScalar) or a float value (a FloatScalar) is a number too, as
// NumPy converts it.
Operand classify_stored(PyObject* obj);

// Whether an operand the native side does not take should go to NumPy (complex, lists,
// tuples, array-likes, numbers of other kinds) rather than give NotImplemented. An error
// other than a failed lookup stays set.
bool numpy_handles(PyObject* obj) noexcept;

// A Python float or int (or subclass) as float64; nothing for any other object or when
// the conversion fails, with no exception left pending. Other numbers (NumPy scalars,
// Decimal) are NumPy's to take, as its result dtype follows them.
std::optional<double> python_real(PyObject* obj) noexcept;

// The array of an ndarray (a strided view's refreshed shadow: callers gather views
// themselves), or null for any other object.
const AnyArray* any_of(PyObject* obj);
// The float64 array of a float64 ndarray (refreshed first), or null.
const Array<double>* f64_of(PyObject* obj);

// Where an ndarray's elements lie for the walks: a strided view's base memory (a small
// view's shadow, refreshed), else its own storage under its C strides.
walk::Strided read_layout(PyArray& a);

// A boolean mask from a bool ndarray or a C-contiguous "?" buffer. Never raises.
std::optional<BoolMask> bool_mask(PyObject* obj);
// A boolean mask from a C-contiguous buffer of format "?" with at least one axis.
std::optional<BoolMask> numpy_bool_buffer(PyObject* obj) noexcept;

}  // namespace corvantile::python
