#include "python/object/pyarray.hpp"

#include <algorithm>
#include <memory>

namespace corvantile::python {

namespace {

// Small results, and the shadows of small views, keep their elements in the tail of their
// own object: one allocation and one free instead of two each. The tail starts at an
// aligned offset, and every tail is TAIL_BYTES long, so that these objects share one pool
// of the allocator: tails sized to their elements made calls on small views up to 12%
// slower (a pool that only short-lived objects use is emptied and set up anew).
constexpr std::size_t TAIL_OFFSET = (sizeof(PyArray) + 15) & ~std::size_t{15};
constexpr std::size_t TAIL_BYTES = 128;

// The one maker of ndarray objects: a new instance of `type` whose value `init(PyArray&)`
// constructs in place; the other members start empty. The exact class is neither
// collected nor given a dict, and every member is constructed here, so it skips the
// zeroing of the generic allocation; it may also be given the tail after the object.
template <class Init>
Result<Ref> build(PyTypeObject* type, Init&& init, bool with_tail = false) {
    PyObject* object;
    if (type == ndarray_type_or_panic()) [[likely]] {
        void* memory = PyObject_Malloc(with_tail ? TAIL_OFFSET + TAIL_BYTES : sizeof(PyArray));
        if (memory == nullptr) [[unlikely]] {
            PyErr_NoMemory();
            return failure();
        }
        object = PyObject_Init(static_cast<PyObject*>(memory), type);
    } else {
        object = type->tp_alloc(type, 0);
        if (object == nullptr) return failure();
    }
    PyArray* a = PyArray::of(object);
    ::new (&a->strided) std::optional<Strided>();
    ::new (&a->shape_tuple) std::atomic<PyObject*>(nullptr);
    ::new (&a->numpy_view) std::atomic<PyObject*>(nullptr);
    init(*a);
    return Ref::steal(object);
}

// Whether n elements of T (at least one) go in the tail.
template <class T>
constexpr bool fits_tail(std::uint64_t n) noexcept {
    return n != 0 && n <= TAIL_BYTES / sizeof(T);
}

template <class T>
T* tail_of(PyArray& a) noexcept {
    return reinterpret_cast<T*>(reinterpret_cast<std::byte*>(&a) + TAIL_OFFSET);
}

// f.template operator()<T>() for the element type T of kind.
template <class F>
decltype(auto) with_element_type(ElementKind kind, F&& f) {
    switch (kind) {
        case ElementKind::I64: return f.template operator()<std::int64_t>();
        case ElementKind::Bool: return f.template operator()<Bool>();
        default: return f.template operator()<double>();
    }
}

}  // namespace

Result<Ref> create_class_object(AnyArray&& value, std::optional<Strided>&& strided) {
    return create_instance(ndarray_type_or_panic(), std::move(value), std::move(strided));
}

// On failure the caller still owns value and strided.
Result<Ref> create_instance(PyTypeObject* type, AnyArray&& value, std::optional<Strided>&& strided) {
    auto object = build(type, [&](PyArray& a) { ::new (&a.value) AnyArray(std::move(value)); });
    if (object && strided) PyArray::of(object->get())->strided = std::move(strided);
    return object;
}

template <class T>
Result<Ref> create_unwritten(const ArrayDims& dims, T*& data) {
    const std::uint64_t n = dims.size();
    if (fits_tail<T>(n)) {
        return build(
            ndarray_type_or_panic(),
            [&](PyArray& a) {
                data = tail_of<T>(a);
                ::new (&a.value) AnyArray(Array<T>::from_parts(Storage<T>::embedded(data, n), dims));
            },
            true);
    }
    Storage<T> storage = Storage<T>::uninit(n);
    data = storage.ptr();
    return build(ndarray_type_or_panic(), [&](PyArray& a) {
        ::new (&a.value) AnyArray(Array<T>::from_parts(std::move(storage), dims));
    });
}
template Result<Ref> create_unwritten<double>(const ArrayDims&, double*&);
template Result<Ref> create_unwritten<std::int64_t>(const ArrayDims&, std::int64_t*&);
template Result<Ref> create_unwritten<Bool>(const ArrayDims&, Bool*&);

template <Element T>
Result<Ref> create_view(const Array<T>& base, std::uint64_t offset, const ArrayDims& dims, Owner root_owner) {
    return build(ndarray_type_or_panic(), [&](PyArray& a) {
        ::new (&a.value) AnyArray(Array<T>::view(base, offset, dims, std::move(root_owner)));
    });
}
template Result<Ref> create_view<double>(const Array<double>&, std::uint64_t, const ArrayDims&, Owner);
template Result<Ref> create_view<std::int64_t>(const Array<std::int64_t>&, std::uint64_t, const ArrayDims&, Owner);
template Result<Ref> create_view<Bool>(const Array<Bool>&, std::uint64_t, const ArrayDims&, Owner);

Result<Ref> create_borrowed(ElementKind kind, std::byte* data, const ArrayDims& dims, Owner owner) {
    return with_element_type(kind, [&]<class T>() {
        return build(ndarray_type_or_panic(), [&](PyArray& a) {
            ::new (&a.value) AnyArray(Array<T>::borrowed(reinterpret_cast<T*>(data), dims, std::move(owner)));
        });
    });
}

Result<Ref> create_strided(ElementKind kind, const ArrayDims& dims, PyObject* root, std::byte* data,
                           std::span<const std::int64_t> strides) {
    if (strides.size() > MAX_NDIM) internal_failure("strided view with more than MAX_NDIM axes");
    return with_element_type(kind, [&]<class T>() {
        // A small view's shadow lives in the tail of its object, as a small array's elements
        // do; a larger one is allocated by the first refresh.
        const std::uint64_t n = dims.size();
        const bool in_tail = fits_tail<T>(n);
        return build(
            ndarray_type_or_panic(),
            [&](PyArray& a) {
                Storage<T> shadow = in_tail ? Storage<T>::embedded(tail_of<T>(a), n) : Storage<T>::deferred(n);
                ::new (&a.value) AnyArray(Array<T>::from_parts(std::move(shadow), dims));
                Strided& view = a.strided.emplace();
                view.root = Ref::borrow(root);
                view.data = data;
                std::ranges::copy(strides, view.strides.begin());
            },
            in_tail);
    });
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
