#pragma once

// The object behind the Python class ndarray, its type, and the steps every other part
// uses: wrapping a native array (create_class_object), the ndarray check and the
// conversion of array errors.

#include "array/array.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/frame.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace corvantile {

// Where the elements of a strided view live: inside the root owner's memory, at data,
// with these signed byte strides.
struct Strided {
    Ref root;
    std::byte* data = nullptr;
    std::array<std::int64_t, MAX_NDIM> strides{};
    // The root was made for this view alone (a result kept in its operand's memory
    // order): the view reports no base, as an array owning its elements does.
    bool owns_root = false;
};

struct ElementLayout;  // export.hpp

// An ndarray instance.
struct PyArray {
    PyObject_HEAD
    AnyArray value;                  // for a strided view, its contiguous shadow
    std::optional<Strided> strided;  // present only on a strided view
    std::atomic<PyObject*> shape_tuple;  // the shape as last handed out (owned), or null
    // A NumPy view of the elements kept for the next call declined to NumPy (owned, its
    // base cleared while kept), or null; the NumPy bridge alone reads and sets it.
    std::atomic<PyObject*> numpy_view;

    // A strided view gathers its base memory into its shadow, which is allocated by the
    // first refresh (std::bad_alloc may propagate); other arrays: no-op. Call before
    // reading elements natively.
    void refresh();
    // The address in the base memory of one element of a strided view: nothing when the
    // number of indices is not ndim; IndexError for an index outside its axis.
    python::Result<std::optional<std::byte*>> strided_element_at(std::span<const std::int64_t> indices) const;

    // The first element's address and the element strides of the memory the array really
    // uses (a strided view's base memory); defined in export.hpp.
    ElementLayout element_layout() noexcept;

    static PyArray* of(PyObject* object) noexcept { return reinterpret_cast<PyArray*>(object); }
    PyObject* object() noexcept { return reinterpret_cast<PyObject*>(this); }
};

namespace python {

// The ndarray type, made once on first need.
Result<PyTypeObject*> ndarray_type();

namespace detail {
// The ndarray type once made; read inline by every entry's ndarray check.
inline std::atomic<PyTypeObject*> NDARRAY_TYPE_SEEN{nullptr};
bool is_ndarray_subtype(PyObject* object);
PyTypeObject* make_ndarray_type_or_panic();
}  // namespace detail

// The same for callers that cannot return the error: it is printed and becomes the
// internal failure "failed to create type object for `ndarray`".
inline PyTypeObject* ndarray_type_or_panic() {
    if (PyTypeObject* type = detail::NDARRAY_TYPE_SEEN.load(std::memory_order_relaxed)) return type;
    return detail::make_ndarray_type_or_panic();
}

// Whether object is an ndarray (or of a subtype).
inline bool is_ndarray(PyObject* object) {
    return Py_TYPE(object) == detail::NDARRAY_TYPE_SEEN.load(std::memory_order_relaxed) ||
           detail::is_ndarray_subtype(object);
}
// The ndarray check: object as an ndarray, or the cast error
// "'{type}' object is not an instance of 'ndarray'".
Result<PyArray*> as_ndarray(PyObject* object);

// Wraps a native array (and, for a strided view, its descriptor) in a new ndarray.
Result<Ref> create_class_object(AnyArray&& value, std::optional<Strided>&& strided = std::nullopt);
// The same for an instance of `type`, the ndarray type or a subtype (the constructor).
Result<Ref> create_instance(PyTypeObject* type, AnyArray&& value, std::optional<Strided>&& strided = std::nullopt);
// A new ndarray holding an owned array of `dims` whose elements are not written yet;
// `data` receives its buffer, which the caller fills before the object is used. The
// result is built in place (kernels that write their output here skip the moves of a
// finished array). T is double, std::int64_t or Bool.
template <class T>
Result<Ref> create_unwritten(const ArrayDims& dims, T*& data);
// A new ndarray viewing base's elements from `offset` under `dims`, kept alive by
// `root_owner`; built in place like create_unwritten (checks of Array<T>::view).
template <Element T>
Result<Ref> create_view(const Array<T>& base, std::uint64_t offset, const ArrayDims& dims, Owner root_owner);

// A new contiguous view of `kind` under `dims` at `data`, inside the memory of the
// root owner whose reference `owner` holds.
Result<Ref> create_borrowed(ElementKind kind, std::byte* data, const ArrayDims& dims, Owner owner);
// A new strided view of `kind` under `dims` whose first element is at `data`, inside the
// memory of `root` (which it keeps alive), with these byte strides. Its shadow is not
// filled until the first refresh, which the native reads that do not walk the base memory
// in place make; a small view's shadow lies in the view's own object, a larger one is
// allocated by that refresh.
Result<Ref> create_strided(ElementKind kind, const ArrayDims& dims, PyObject* root, std::byte* data,
                           std::span<const std::int64_t> strides);

// An array error as the Python exception to raise: IndexError for the index variants,
// ValueError otherwise.
Error array_error(ArrayError error);

// Lets the array core take and drop references to the owners of borrowed memory.
void install_owner_hooks() noexcept;

// A method or slot body that takes `PyArray&` is called only with an ndarray; any
// other object raises the cast error.
template <>
struct SlotArg<PyArray&> {
    using C = PyObject*;
    static bool check(PyObject* object) {
        if (is_ndarray(object)) return true;
        Error::not_an_instance(object, "ndarray", true).raise();
        return false;
    }
    static PyArray& get(PyObject* object) noexcept { return *PyArray::of(object); }
};
template <>
struct SlotArg<const PyArray&> : SlotArg<PyArray&> {};

}  // namespace python
}  // namespace corvantile

// ndarray(shape, dtype=None, buffer=None, offset=0, strides=None, order=None): zeros of a
// native element kind, or float64 data copied from a buffer. Never a view, never NumPy.
namespace corvantile::python {

// The body of the type's tp_new slot.
Result<Ref> construct_ndarray(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace corvantile::python
