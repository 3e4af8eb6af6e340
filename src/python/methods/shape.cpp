#include "python/methods/methods.hpp"

#include "python/numpy/fallback.hpp"
#include "python/object/pyarray.hpp"
#include "python/object/strided.hpp"
#include "python/object/view_map.hpp"

#include <algorithm>
#include <format>
#include <memory_resource>
#include <optional>
#include <string>
#include <vector>

namespace corvantile::python {

namespace {

using Entries = std::pmr::vector<std::int64_t>;
using Sizes = std::pmr::vector<std::uint64_t>;

// Stack room for the lists of a call with a short shape request.
struct Arena {
    std::array<std::byte, 512> buffer;
    std::pmr::monotonic_buffer_resource resource{buffer.data(), buffer.size()};
};

Result<> append_entry(Entries& entries, PyObject* item) {
    const long v = PyLong_AsLong(item);
    if (v == -1 && PyErr_Occurred()) return failure();
    entries.push_back(v);
    return {};
}

// A shape request read as a sequence of int64 entries (anything with __index__ counts).
Result<> sequence_request(PyObject* object, Entries& entries) {
    if (PyUnicode_Check(object)) return failure(Error::type_error("Can't extract `str` to `Vec`"));
    if (!PySequence_Check(object)) {
        if (object == Py_None) return failure(Error::type_error("'None' is not an instance of 'Sequence'"));
        return failure(Error::type_error(
            std::format("'{}' object is not an instance of 'Sequence'", qualified_type_name(object))));
    }
    // Exact tuples and lists are walked directly, as their iterators would walk them (a
    // list is re-measured after each entry, whose __index__ may change it).
    if (PyTuple_CheckExact(object)) {
        entries.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(object)));
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(object); ++i) {
            if (auto r = append_entry(entries, PyTuple_GET_ITEM(object, i)); !r) return r;
        }
        return {};
    }
    if (PyList_CheckExact(object)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(object, i));
            if (auto r = append_entry(entries, item.get()); !r) return r;
        }
        return {};
    }
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) return failure();
    for (;;) {
        PyObject* raw = nullptr;
        const int got = PyIter_NextItem(iterator.get(), &raw);
        if (got < 0) return failure();
        if (got == 0) return {};
        Ref item = Ref::steal(raw);
        if (auto r = append_entry(entries, item.get()); !r) return r;
    }
}

// The request in list form, as the error texts show it: "[4, -1]".
std::string list_form(std::span<const std::int64_t> request) {
    std::string text = "[";
    for (std::size_t i = 0; i < request.size(); ++i) {
        if (i != 0) text += ", ";
        text += std::to_string(request[i]);
    }
    return text + "]";
}

Error cannot_reshape(std::uint64_t count, std::span<const std::int64_t> request) {
    return Error::value_error(std::format("cannot reshape array of size {} into shape {}", count, list_form(request)));
}

// Product of the non-negative entries (negative ones count as 1); nothing when it does
// not fit in 64 bits.
std::optional<std::uint64_t> known_product(std::span<const std::int64_t> request) noexcept {
    if (std::ranges::find(request, 0) != request.end()) return 0;
    std::uint64_t product = 1;
    for (std::int64_t entry : request) {
        if (entry < 0) continue;
        if (__builtin_mul_overflow(product, static_cast<std::uint64_t>(entry), &product)) return std::nullopt;
    }
    return product;
}

enum class Resolve { Reshape, Setter };

// The request with its unknown entry (any negative one) replaced by count / known product.
// A product beyond 64 bits can never match the element count: it is refused with the
// list-form text rather than wrapped.
Result<> resolve(std::span<const std::int64_t> request, std::uint64_t count, Resolve mode, Sizes& shape) {
    const auto unknowns = std::ranges::count_if(request, [](std::int64_t e) { return e < 0; });
    if (mode == Resolve::Reshape && unknowns > 1) {
        return failure(Error::value_error("can only specify one unknown dimension"));
    }
    const auto known = known_product(request);
    if (!known) return failure(cannot_reshape(count, request));
    shape.reserve(request.size());
    for (std::int64_t entry : request) {
        if (entry >= 0) {
            shape.push_back(static_cast<std::uint64_t>(entry));
        } else if (unknowns > 1 || *known == 0 || count % *known != 0) {
            return failure(cannot_reshape(count, request));
        } else {
            shape.push_back(count / *known);
        }
    }
    return {};
}

// The C dims of a resolved shape, after the size check (and the axis-count check, in the
// order each caller gives).
Result<ArrayDims> checked_dims(const PyArray& a, std::span<const std::uint64_t> shape,
                               std::span<const std::int64_t> request, Resolve mode) {
    const std::uint64_t count = a.value.len();
    const auto too_many = [&] { return failure(array_error(DimsError{shape.size()})); };
    if (mode == Resolve::Reshape && shape.size() > MAX_NDIM) return too_many();
    const auto product = array::checked_product(shape);
    if (!product) return failure(cannot_reshape(count, request));
    if (*product != count) return failure(array_error(ArrayError::SizeMismatch{*product, count}));
    if (shape.size() > MAX_NDIM) return too_many();
    auto dims = ArrayDims::make(shape, static_cast<std::uint8_t>(a.value.dims().itemsize()));
    if (!dims) return failure(array_error(std::move(dims.error())));
    return *dims;
}

// A view of all of a's elements under `dims` (a is not a strided view).
Result<Ref> storage_view(const PyArray& a, const ArrayDims& dims) {
    return a.value.visit([&]<class T>(const Array<T>& x) {
        return create_view(x, 0, dims, Owner::adopt(Py_NewRef(root_owner(a))));
    });
}

// A copy of a's elements under `shape` (as many elements): a view's read where they lie,
// a small one's through its shadow.
Result<Ref> reshaped_copy(PyArray& a, std::span<const std::uint64_t> shape) {
    if (const std::optional<walk::Strided> layout = in_place_layout(a)) {
        return copy_view(a.value, *layout, shape);
    }
    a.refresh();
    auto copy = a.value.reshape(shape);
    if (!copy) return failure(array_error(std::move(copy.error())));
    return create_class_object(std::move(*copy));
}

// The everyday request, a.reshape(2, -1) or a.reshape((2, -1)) in small exact ints that
// fit the element count: its shape read straight from the arguments. Nothing for any other
// request, which takes the general road (and its errors).
std::optional<Shape> simple_request(const CallArgs& args, std::uint64_t count) noexcept {
    PyObject* const* items = args.args;
    Py_ssize_t n = args.nargs;
    if (n == 1 && PyTuple_CheckExact(items[0])) {
        n = PyTuple_GET_SIZE(items[0]);
        items = &PyTuple_GET_ITEM(items[0], 0);
    }
    if (n == 0 || n > static_cast<Py_ssize_t>(MAX_NDIM)) return std::nullopt;
    Shape shape;
    std::uint64_t known = 1;
    std::size_t unknown = MAX_NDIM;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = items[i];
        if (!PyLong_CheckExact(item) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) {
            return std::nullopt;
        }
        const Py_ssize_t size = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item));
        if (size < 0) {
            if (unknown != MAX_NDIM) return std::nullopt;
            unknown = static_cast<std::size_t>(i);
            shape.push_back(0);
            continue;
        }
        shape.push_back(static_cast<std::uint64_t>(size));
        if (__builtin_mul_overflow(known, static_cast<std::uint64_t>(size), &known)) return std::nullopt;
    }
    if (unknown != MAX_NDIM) {
        if (known == 0 || count % known != 0) return std::nullopt;
        shape[unknown] = count / known;
    } else if (known != count) {
        return std::nullopt;
    }
    return shape;
}

}  // namespace

Result<Ref> reshape_method(PyArray& self, const CallArgs& args) {
    if (args.has_keywords()) return call_method_fallback(self, "reshape", args);
    if (const auto shape = simple_request(args, self.value.len())) {
        // A view's copy: exact ints run no code that could write the base meanwhile.
        if (self.strided) return reshaped_copy(self, shape->span());
        return storage_view(self, ArrayDims::c_of_valid(*shape, static_cast<std::uint8_t>(self.value.dims().itemsize())));
    }
    const Py_ssize_t nargs = args.nargs;
    Py_ssize_t n = nargs;
    // (An int has no length: no error raised and cleared for it.)
    if (nargs == 1 && !PyLong_CheckExact(args[0])) {
        const Py_ssize_t len = PyObject_Length(args[0]);
        if (len < 0) {
            PyErr_Clear();
        } else {
            n = len;
        }
    }
    if (n > static_cast<Py_ssize_t>(MAX_NDIM)) return call_method_fallback(self, "reshape", args);

    PyObject* first = nargs == 1 ? args[0] : nullptr;
    Arena arena;
    Entries request(&arena.resource);
    Sizes shape(&arena.resource);
    if (first != nullptr && !PyLong_Check(first)) {
        if (auto r = sequence_request(first, request); !r) return failure(std::move(r.error()));
    } else {
        // The positionals as the sizes, as a tuple of them would be walked.
        request.reserve(static_cast<std::size_t>(nargs));
        for (PyObject* item : args.positionals()) {
            if (auto r = append_entry(request, item); !r) return failure(std::move(r.error()));
        }
    }
    if (auto r = resolve(request, self.value.len(), Resolve::Reshape, shape); !r) return failure(std::move(r.error()));
    auto dims = checked_dims(self, shape, request, Resolve::Reshape);
    if (!dims) return failure(std::move(dims.error()));
    // Read after the request: its __index__ calls may write the base.
    if (self.strided) return reshaped_copy(self, shape);
    return storage_view(self, *dims);
}

Result<Ref> ravel_method(PyArray& self, const CallArgs& args) {
    auto native = c_order_only(args);
    if (!native) return failure(std::move(native.error()));
    if (!*native) return call_method_fallback(self, "ravel", args);
    const std::uint64_t flat[1] = {self.value.len()};
    if (self.strided) return reshaped_copy(self, flat);
    auto dims = ArrayDims::make(flat, static_cast<std::uint8_t>(self.value.dims().itemsize()));
    if (!dims) return failure(array_error(std::move(dims.error())));
    return storage_view(self, *dims);
}

Result<Ref> flatten_method(PyArray& self, const CallArgs& args) {
    auto native = c_order_only(args);
    if (!native) return failure(std::move(native.error()));
    if (!*native) return call_method_fallback(self, "flatten", args);
    const std::uint64_t flat[1] = {self.value.len()};
    return reshaped_copy(self, flat);
}

Result<Ref> transposed(PyArray& self) {
    const ArrayDims& dims = self.value.dims();
    const std::size_t n = dims.ndim();
    const auto& strides = self.strided ? self.strided->strides : dims.stride_slots();
    Layout reversed;
    reversed.data = self.strided ? self.strided->data : static_cast<std::byte*>(self.value.raw_data());
    reversed.ndim = n;
    for (std::size_t i = 0; i < n; ++i) {
        reversed.shape[i] = dims.shape_slots()[n - 1 - i];
        reversed.strides[i] = strides[n - 1 - i];
    }
    return view_from_layout(self, reversed);
}

Result<Ref> transpose_method(PyArray& self, const CallArgs& args) {
    const Py_ssize_t nargs = args.nargs;
    if (!args.has_keywords() && (nargs == 0 || (nargs == 1 && args[0] == Py_None))) {
        return transposed(self);
    }
    return call_method_fallback(self, "transpose", args);
}

Result<Ref> transpose_property(PyArray& self, void*) { return transposed(self); }

Result<> set_shape(PyArray& self, PyObject* value, void*) {
    if (value == nullptr) return failure(Error::make(PyExc_AttributeError, "property has no deleter"));
    if (self.strided) {
        return failure(Error::make(PyExc_AttributeError,
                                   "Incompatible shape for in-place modification. Use `.reshape()` to make a "
                                   "copy with the desired shape."));
    }
    Arena arena;
    Entries request(&arena.resource);
    Sizes shape(&arena.resource);
    const long single = PyLong_AsLong(value);
    if (single == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        if (auto r = sequence_request(value, request); !r) return failure(std::move(r.error()));
    } else {
        request.push_back(single);
    }
    if (auto r = resolve(request, self.value.len(), Resolve::Setter, shape); !r) return failure(std::move(r.error()));
    auto dims = checked_dims(self, shape, request, Resolve::Setter);
    if (!dims) return failure(std::move(dims.error()));
    self.value.set_dims(*dims);
    Ref::steal(self.shape_tuple.exchange(nullptr, std::memory_order_acq_rel)).reset();
    return {};
}

}  // namespace corvantile::python
