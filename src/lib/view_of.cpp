#include "lib/functions.hpp"

#include "python/runtime/args.hpp"
#include "python/convert/buffer.hpp"
#include "python/object/strided.hpp"

#include <cstdint>
#include <optional>

namespace corvantile::python {

namespace {

constexpr Param PARAMS[] = {{"source", ParamKind::Either, true}, {"numpy_view", ParamKind::Either, true}};
constexpr Signature SIGNATURE{"_view_of", PARAMS};

// The layout of the buffer when it lies inside the root's memory, element-aligned and
// of the root's element type; nothing otherwise. The shape and strides come from a
// foreign exporter, so every step of the bounds arithmetic is overflow-checked and an
// overflow is a refusal.
std::optional<Layout> layout_inside(const Py_buffer& b, const PyArray& root) {
    const ElementKind kind = root.value.kind();
    const auto itemsize = static_cast<std::int64_t>(itemsize_of(kind));
    if (b.readonly) return std::nullopt;
    if (b.itemsize != itemsize) return std::nullopt;
    if (b.format == nullptr || std::string_view(b.format) != facts_of(kind).format) return std::nullopt;
    if (b.ndim < 0 || b.ndim > static_cast<int>(MAX_NDIM)) return std::nullopt;
    const auto ndim = static_cast<std::size_t>(b.ndim);
    if (ndim > 0 && b.shape == nullptr) return std::nullopt;
    if (b.suboffsets != nullptr) {
        for (std::size_t k = 0; k < ndim; ++k) {
            if (b.suboffsets[k] >= 0) return std::nullopt;  // indirect memory
        }
    }

    Layout layout;
    layout.ndim = ndim;
    layout.data = static_cast<std::byte*>(b.buf);
    // Without strides the exporter means C order.
    std::int64_t c_stride = itemsize;
    for (std::size_t k = ndim; k-- > 0;) {
        const Py_ssize_t len = b.shape[k];
        if (len <= 0) return std::nullopt;  // negative: malformed; zero: an empty view
        layout.shape[k] = static_cast<std::uint64_t>(len);
        if (b.strides != nullptr) {
            layout.strides[k] = b.strides[k];
        } else {
            layout.strides[k] = c_stride;
            if (__builtin_mul_overflow(c_stride, static_cast<std::int64_t>(len), &c_stride)) return std::nullopt;
        }
    }

    // Offsets of the lowest and highest addressed element from the first one.
    std::int64_t low = 0, high = 0;
    for (std::size_t k = 0; k < ndim; ++k) {
        const std::int64_t stride = layout.strides[k];
        if (stride % itemsize != 0) return std::nullopt;
        std::int64_t reach;
        if (__builtin_mul_overflow(static_cast<std::int64_t>(layout.shape[k] - 1), stride, &reach)) {
            return std::nullopt;
        }
        std::int64_t& side = reach < 0 ? low : high;
        if (__builtin_add_overflow(side, reach, &side)) return std::nullopt;
    }

    // The first element's offset inside the root's memory, then both ends.
    const auto root_start = reinterpret_cast<std::uintptr_t>(root.value.raw_data());
    const auto first = reinterpret_cast<std::uintptr_t>(b.buf);
    std::uint64_t root_bytes;
    if (__builtin_mul_overflow(root.value.len(), static_cast<std::uint64_t>(itemsize), &root_bytes)) {
        return std::nullopt;
    }
    if (first < root_start || first - root_start >= root_bytes) return std::nullopt;
    const auto offset = static_cast<std::int64_t>(first - root_start);  // < root_bytes, which fits
    std::int64_t lowest, highest, end;
    if (__builtin_add_overflow(offset, low, &lowest) || __builtin_add_overflow(offset, high, &highest) ||
        __builtin_add_overflow(highest, itemsize, &end)) {
        return std::nullopt;
    }
    if (lowest < 0 || static_cast<std::uint64_t>(end) > root_bytes || lowest % itemsize != 0) return std::nullopt;
    return layout;
}

}  // namespace

Result<Ref> view_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<2>(SIGNATURE, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    auto source = as_ndarray((*bound)[0]);
    if (!source) return failure(std::move(source.error()).for_argument("source"));

    Ref root_ref = Ref::borrow(root_owner(**source));
    auto root = as_ndarray(root_ref.get());
    if (!root) return failure(std::move(root.error()));

    // A strided root has no memory of its own to view, only a shadow.
    if ((*root)->strided) return Ref::borrow(Py_None);

    auto buffer = BufferView::get((*bound)[1], PyBUF_FULL_RO);
    if (!buffer) return Ref::borrow(Py_None);  // the exporter's error is dropped
    std::optional<Layout> layout = layout_inside(buffer->view(), **root);
    if (!layout) return Ref::borrow(Py_None);
    return view_from_layout(**root, *layout);
}

}  // namespace corvantile::python
