#include "python/object/pyarray.hpp"

#include <memory>

namespace corvantile::python {

namespace {

// A new, unconstructed instance of `type`. The exact class is neither collected nor
// given a dict, and every member is constructed right after, so it skips the zeroing
// of the generic allocation.
PyObject* allocate_instance(PyTypeObject* type) noexcept {
    if (type != ndarray_type_or_panic()) return type->tp_alloc(type, 0);
    void* memory = PyObject_Malloc(sizeof(PyArray));
    if (memory == nullptr) return PyErr_NoMemory();
    return PyObject_Init(static_cast<PyObject*>(memory), type);
}

}  // namespace

Result<Ref> create_class_object(AnyArray&& value, std::optional<Strided>&& strided) {
    return create_instance(ndarray_type_or_panic(), std::move(value), std::move(strided));
}

Result<Ref> create_instance(PyTypeObject* type, AnyArray&& value, std::optional<Strided>&& strided) {
    PyObject* object = allocate_instance(type);
    if (object == nullptr) return failure();  // the caller still owns value and strided
    PyArray* a = PyArray::of(object);
    std::construct_at(&a->value, std::move(value));
    std::construct_at(&a->strided, std::move(strided));
    std::construct_at(&a->shape_tuple, nullptr);
    std::construct_at(&a->numpy_view, nullptr);
    return Ref::steal(object);
}

template <class T>
Result<Ref> create_unwritten(const ArrayDims& dims, T*& data) {
    Storage<T> storage = Storage<T>::uninit(dims.size());
    PyObject* object = allocate_instance(ndarray_type_or_panic());
    if (object == nullptr) return failure();
    PyArray* a = PyArray::of(object);
    data = storage.ptr();
    ::new (&a->value) AnyArray(Array<T>::from_parts(std::move(storage), dims));
    ::new (&a->strided) std::optional<Strided>();
    ::new (&a->shape_tuple) std::atomic<PyObject*>(nullptr);
    ::new (&a->numpy_view) std::atomic<PyObject*>(nullptr);
    return Ref::steal(object);
}
template Result<Ref> create_unwritten<double>(const ArrayDims&, double*&);
template Result<Ref> create_unwritten<std::int64_t>(const ArrayDims&, std::int64_t*&);
template Result<Ref> create_unwritten<Bool>(const ArrayDims&, Bool*&);

template <Element T>
Result<Ref> create_view(const Array<T>& base, std::uint64_t offset, const ArrayDims& dims, Owner root_owner) {
    PyObject* object = allocate_instance(ndarray_type_or_panic());
    if (object == nullptr) return failure();
    PyArray* a = PyArray::of(object);
    ::new (&a->value) AnyArray(Array<T>::view(base, offset, dims, std::move(root_owner)));
    ::new (&a->strided) std::optional<Strided>();
    ::new (&a->shape_tuple) std::atomic<PyObject*>(nullptr);
    ::new (&a->numpy_view) std::atomic<PyObject*>(nullptr);
    return Ref::steal(object);
}
template Result<Ref> create_view<double>(const Array<double>&, std::uint64_t, const ArrayDims&, Owner);
template Result<Ref> create_view<std::int64_t>(const Array<std::int64_t>&, std::uint64_t, const ArrayDims&, Owner);
template Result<Ref> create_view<Bool>(const Array<Bool>&, std::uint64_t, const ArrayDims&, Owner);

namespace {

// f.template operator()<T>() for the element type T of kind.
template <class F>
void with_element_type(ElementKind kind, F&& f) {
    switch (kind) {
        case ElementKind::F64: f.template operator()<double>(); break;
        case ElementKind::I64: f.template operator()<std::int64_t>(); break;
        case ElementKind::Bool: f.template operator()<Bool>(); break;
    }
}

}  // namespace

Result<Ref> create_borrowed(ElementKind kind, std::byte* data, const ArrayDims& dims, Owner owner) {
    PyObject* object = allocate_instance(ndarray_type_or_panic());
    if (object == nullptr) return failure();
    PyArray* a = PyArray::of(object);
    with_element_type(kind, [&]<class T>() {
        ::new (&a->value) AnyArray(Array<T>::borrowed(reinterpret_cast<T*>(data), dims, std::move(owner)));
    });
    ::new (&a->strided) std::optional<Strided>();
    ::new (&a->shape_tuple) std::atomic<PyObject*>(nullptr);
    ::new (&a->numpy_view) std::atomic<PyObject*>(nullptr);
    return Ref::steal(object);
}

Result<Ref> create_strided(ElementKind kind, const ArrayDims& dims, Strided&& strided) {
    PyObject* object = allocate_instance(ndarray_type_or_panic());
    if (object == nullptr) return failure();
    PyArray* a = PyArray::of(object);
    with_element_type(kind, [&]<class T>() {
        ::new (&a->value) AnyArray(Array<T>::from_parts(Storage<T>::deferred(dims.size()), dims));
    });
    ::new (&a->strided) std::optional<Strided>(std::move(strided));
    ::new (&a->shape_tuple) std::atomic<PyObject*>(nullptr);
    ::new (&a->numpy_view) std::atomic<PyObject*>(nullptr);
    return Ref::steal(object);
}

Error array_error(ArrayError error) {
    return Error::make(error.is_index_error() ? PyExc_IndexError : PyExc_ValueError, error.message());
}

void install_owner_hooks() noexcept {
    set_owner_hooks(OwnerHooks{
        [](void* owner) { Py_INCREF(static_cast<PyObject*>(owner)); },
        [](void* owner) { release_reference(static_cast<PyObject*>(owner)); },
    });
}

}  // namespace corvantile::python
