#include "python/object/strided.hpp"

#include <algorithm>
#include <cstring>
#include <variant>

namespace corvantile {

namespace {

// Copies every element of a strided layout to or from a contiguous C-order block, one
// Size-byte element at a time. Offsets are kept as integers; a pointer is formed only
// for an element that exists.
template <std::size_t Size, bool Gather>
void transfer(std::byte* base, const std::int64_t* strides, const std::uint64_t* shape, std::size_t n,
              std::byte* flat) noexcept {
    if (n == 0) {
        if constexpr (Gather) {
            std::memcpy(flat, base, Size);
        } else {
            std::memcpy(base, flat, Size);
        }
        return;
    }
    for (std::size_t k = 0; k < n; ++k) {
        if (shape[k] == 0) return;
    }
    const std::size_t last = n - 1;
    const std::uint64_t inner = shape[last];
    const std::int64_t step = strides[last];
    std::array<std::uint64_t, MAX_NDIM> counter{};
    std::int64_t offset = 0;  // of the current row's first element
    for (;;) {
        // Offsets step only between existing elements: the stride of a length-1 axis may
        // be any value (a huge slice step), and one step past the end could overflow.
        std::int64_t at = offset;
        for (std::uint64_t i = 0;;) {
            if constexpr (Gather) {
                std::memcpy(flat, base + at, Size);
            } else {
                std::memcpy(base + at, flat, Size);
            }
            flat += Size;
            if (++i == inner) break;
            at += step;
        }
        // Next row: carry through the outer axes, last to first.
        if (!walk::odometer_next(counter, last, [&](std::size_t k) { return shape[k]; },
                                 [&](std::size_t k, std::int64_t times) { offset += times * strides[k]; })) {
            return;
        }
    }
}

// Views at least this large gather and scatter block by block (tiles for a transpose);
// smaller ones element by element, which costs less to set up.
constexpr std::uint64_t WALK_FROM = 64;

template <bool Gather>
void transfer_view(const PyArray& a, std::byte* flat) noexcept {
    const ArrayDims& dims = a.value.dims();
    std::byte* base = a.strided->data;
    const std::int64_t* strides = a.strided->strides.data();
    const std::uint64_t* shape = dims.shape_slots().data();
    const std::size_t n = dims.ndim();
    if (dims.size() >= WALK_FROM) {
        const walk::Strided layout = walk_layout(a);
        // Scattering by tiles changes which write lands last where elements overlap.
        if (Gather || walk::distinct(layout, dims.itemsize())) {
            a.value.visit([&]<class T>(const Array<T>&) {
                if constexpr (Gather) {
                    walk::copy<T>(layout, reinterpret_cast<T*>(flat));
                } else {
                    walk::assign<T>(layout, reinterpret_cast<const T*>(flat));
                }
            });
            return;
        }
    }
    if (dims.itemsize() == 1) {
        transfer<1, Gather>(base, strides, shape, n, flat);
    } else {
        transfer<8, Gather>(base, strides, shape, n, flat);
    }
}

}  // namespace

void PyArray::refresh() {
    if (!strided) return;
    value.materialize();
    transfer_view<true>(*this, static_cast<std::byte*>(value.raw_data()));
}

AnyArray gather(const PyArray& a) {
    return a.value.visit([&]<class T>(const Array<T>& shape) -> AnyArray {
        Array<T> x = Array<T>::from_parts(Storage<T>::uninit(shape.len()), shape.dims());
        if (x.len() != 0) transfer_view<true>(a, reinterpret_cast<std::byte*>(x.data()));
        return AnyArray(std::move(x));
    });
}

void scatter(PyArray& a, const void* flat) noexcept {
    if (a.value.len() != 0) transfer_view<false>(a, static_cast<std::byte*>(const_cast<void*>(flat)));
}

python::Result<std::optional<std::byte*>> PyArray::strided_element_at(
    std::span<const std::int64_t> indices) const {
    if (!strided) return std::optional<std::byte*>{};
    const ArrayDims& dims = value.dims();
    const std::size_t n = dims.ndim();
    if (indices.size() != n) return std::optional<std::byte*>{};
    std::int64_t offset = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const std::int64_t given = indices[k];
        const std::uint64_t len = dims.shape_slots()[k];
        // len fits in int64: the shadow's byte size does.
        std::int64_t i = given;
        if (i < 0) i += static_cast<std::int64_t>(len);
        if (i < 0 || static_cast<std::uint64_t>(i) >= len) {
            return python::failure(
                python::array_error(ArrayError::IndexOutOfBounds{given, static_cast<std::uint64_t>(k), len}));
        }
        offset += i * strided->strides[k];
    }
    return std::optional<std::byte*>{strided->data + offset};
}

walk::Strided walk_layout(const PyArray& a) noexcept {
    walk::Strided s;
    const ArrayDims& dims = a.value.dims();
    s.data = a.strided->data;
    s.ndim = dims.ndim();
    s.shape = dims.shape_slots();
    s.strides = a.strided->strides;
    return s;
}

Layout Layout::of(const PyArray& a) noexcept {
    Layout layout;
    const ArrayDims& dims = a.value.dims();
    layout.ndim = dims.ndim();
    layout.shape = dims.shape_slots();
    if (a.strided) {
        layout.data = a.strided->data;
        layout.strides = a.strided->strides;
    } else {
        layout.data = static_cast<std::byte*>(const_cast<void*>(a.value.raw_data()));
        layout.strides = dims.stride_slots();
    }
    return layout;
}

Layout Layout::select(const SelectionPlan& plan, std::span<const Selector> selectors) const {
    if (plan.ndim > MAX_NDIM) internal_failure("selection plan longer than MAX_NDIM");
    Layout out;
    out.data = data;
    for (std::size_t k = 0; k < plan.ndim; ++k) {
        const PlanItem& item = plan.items[k];
        if (item.count != 0) out.data += static_cast<std::int64_t>(item.start) * strides[k];
        const bool kept = k >= selectors.size() || std::holds_alternative<Selector::Slice>(selectors[k].item);
        if (!kept) continue;
        if (out.ndim == MAX_NDIM) internal_failure("selection with more than MAX_NDIM axes");
        out.shape[out.ndim] = item.count;
        // Wraps like NumPy's for a huge step, which only a length-0 or length-1 axis can have.
        out.strides[out.ndim] =
            static_cast<std::int64_t>(static_cast<std::uint64_t>(item.step) * static_cast<std::uint64_t>(strides[k]));
        ++out.ndim;
    }
    return out;
}

namespace python {

PyObject* root_owner(const PyArray& a) noexcept {
    if (a.strided) return a.strided->root.get();
    if (a.value.is_borrowed()) return static_cast<PyObject*>(a.value.owner().get());
    return const_cast<PyArray&>(a).object();
}

Result<Ref> view_from_layout(const PyArray& source, const Layout& layout) {
    if (layout.ndim > MAX_NDIM) internal_failure("layout with more than MAX_NDIM axes");
    const std::span<const std::uint64_t> shape(layout.shape.data(), layout.ndim);
    const ElementKind kind = source.value.kind();
    const auto itemsize = itemsize_of(kind);
    // One walk: is the layout empty, else is it C-contiguous (length-1 axes may carry any
    // stride)?
    bool empty = false, contiguous = true;
    std::int64_t expected = itemsize;
    for (std::size_t k = layout.ndim; k-- > 0;) {
        const std::uint64_t len = layout.shape[k];
        if (len == 0) {
            empty = true;
            break;
        }
        if (len == 1) continue;
        contiguous = contiguous && layout.strides[k] == expected;
        expected *= static_cast<std::int64_t>(len);
    }
    if (empty) {
        auto fresh = source.value.zeros_like(shape);
        if (!fresh) return failure(array_error(std::move(fresh.error())));
        return create_class_object(std::move(*fresh));
    }
    // A view never holds more elements than its source.
    const ArrayDims dims = ArrayDims::c_of_valid(shape, itemsize);
    PyObject* root = root_owner(source);
    if (contiguous) return create_borrowed(kind, layout.data, dims, Owner::adopt(Py_NewRef(root)));
    return create_strided(kind, dims, root, layout.data, std::span(layout.strides.data(), layout.ndim));
}

}  // namespace python
}  // namespace corvantile
