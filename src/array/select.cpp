#include <cstring>
#include <format>

#include "array/array.hpp"
#include "array/walk.hpp"

namespace corvantile {

namespace {

// Wraps a negative index once against `size`; nothing when it falls outside [0, size).
std::optional<std::uint64_t> wrap_index(std::int64_t i, std::uint64_t size) noexcept {
    if (i < 0) {
        const std::uint64_t back = static_cast<std::uint64_t>(-(i + 1)) + 1;  // |i| without overflow
        if (back > size) return std::nullopt;
        return size - back;
    }
    const auto j = static_cast<std::uint64_t>(i);
    if (j >= size) return std::nullopt;
    return j;
}

// Length of range(start, stop, step); unsigned differences keep every int64 input defined.
std::uint64_t slice_count(const Selector::Slice& s) {
    const auto start = static_cast<std::uint64_t>(s.start), stop = static_cast<std::uint64_t>(s.stop);
    if (s.step > 0) {
        return s.stop > s.start ? (stop - start - 1) / static_cast<std::uint64_t>(s.step) + 1 : 0;
    }
    if (s.step < 0) {
        const std::uint64_t down = std::uint64_t{0} - static_cast<std::uint64_t>(s.step);
        return s.start > s.stop ? (start - stop - 1) / down + 1 : 0;
    }
    internal_failure("slice with step 0");
}

// A non-empty normalised slice stays inside its axis; anything else is a broken invariant.
void check_slice_in_axis(const Selector::Slice& s, std::uint64_t count, std::uint64_t size) {
    if (count == 0) return;
    __int128 last = static_cast<__int128>(s.start) + static_cast<__int128>(count - 1) * s.step;
    if (s.start < 0 || static_cast<std::uint64_t>(s.start) >= size || last < 0 ||
        last >= static_cast<__int128>(size)) {
        internal_failure("slice outside its axis");
    }
}

template <class... Fs>
struct overloaded : Fs... {
    using Fs::operator()...;
};

}  // namespace

namespace array {

std::expected<SelectionPlan, ArrayError> selection_plan(const ArrayDims& dims,
                                                        std::span<const Selector> selectors) {
    const std::size_t nd = dims.ndim();
    if (selectors.size() > nd) {
        return std::unexpected(ArrayError::TooManyIndices{selectors.size(), nd});
    }
    const auto shape = dims.shape();
    // Built in the returned object: the plan is large, and a copy would cost more than the walk.
    std::expected<SelectionPlan, ArrayError> result(std::in_place);
    SelectionPlan& plan = *result;
    plan.ndim = nd;
    for (std::size_t k = 0; k < nd; ++k) {
        const std::uint64_t size = shape[k];
        if (k >= selectors.size()) {
            plan.items[k] = {0, 1, size};
            plan.shape.push_back(size);
            continue;
        }
        std::optional<ArrayError> err;
        std::visit(overloaded{
                       [&](const Selector::Index& ix) {
                           if (auto j = wrap_index(ix.index, size)) {
                               plan.items[k] = {*j, 1, 1};
                           } else {
                               err = ArrayError::IndexOutOfBounds{ix.index, k, size};
                           }
                       },
                       [&](const Selector::Slice& s) {
                           const std::uint64_t count = slice_count(s);
                           check_slice_in_axis(s, count, size);
                           plan.items[k] = {static_cast<std::uint64_t>(s.start), s.step, count};
                           plan.shape.push_back(count);
                       },
                   },
                   selectors[k].item);
        if (err) {
            result = std::unexpected(std::move(*err));
            return result;
        }
    }
    return result;
}

template <Element T>
void gather(std::span<const T> data, const SelectionPlan& plan,
            std::span<const std::uint64_t> strides, std::size_t axis, std::uint64_t offset, T*& out) {
    if (axis >= plan.ndim || axis >= strides.size()) internal_failure("gather beyond the last axis");
    const PlanItem& it = plan.items[axis];
    if (it.count == 0) return;
    const std::uint64_t s = strides[axis];
    const std::uint64_t advance = static_cast<std::uint64_t>(it.step) * s;  // wraps for step < 0
    std::uint64_t pos = offset + it.start * s;
    if (axis + 1 == plan.ndim) {
        const std::uint64_t last = pos + (it.count - 1) * advance;
        if (pos >= data.size() || last >= data.size()) internal_failure("gather outside its source");
        const T* src = data.data();
        T* o = out;
        for (std::uint64_t i = 0; i < it.count; ++i, pos += advance) o[i] = src[pos];
        out = o + it.count;
        return;
    }
    for (std::uint64_t i = 0; i < it.count; ++i, pos += advance) {
        gather(data, plan, strides, axis + 1, pos, out);
    }
}

template void gather<double>(std::span<const double>, const SelectionPlan&,
                             std::span<const std::uint64_t>, std::size_t, std::uint64_t, double*&);
template void gather<std::int64_t>(std::span<const std::int64_t>, const SelectionPlan&,
                                   std::span<const std::uint64_t>, std::size_t, std::uint64_t,
                                   std::int64_t*&);
template void gather<Bool>(std::span<const Bool>, const SelectionPlan&,
                           std::span<const std::uint64_t>, std::size_t, std::uint64_t, Bool*&);

}  // namespace array

template <Element T>
std::expected<Array<T>, ArrayError> Array<T>::select(std::span<const Selector> selectors) const
    requires std::same_as<T, double>
{
    auto plan = selection_plan(selectors);
    if (!plan) return std::unexpected(std::move(plan.error()));
    const ArrayDims dims = ArrayDims::c_of_valid(plan->shape, ITEMSIZE);
    const std::uint64_t total = dims.size();
    Storage<double> out = Storage<double>::uninit(total);
    if (total != 0) {
        double* cursor = out.ptr();
        array::gather(elements(), *plan, dims_.element_strides(), 0, 0, cursor);
        if (cursor != out.ptr() + total) internal_failure("gather wrote a different count");
    }
    return Array(std::move(out), dims);
}

template std::expected<Array<double>, ArrayError> Array<double>::select(std::span<const Selector>) const;

// ---- AnyArray selection and joining ------------------------------------------------------

std::expected<AnyArray, ArrayError> AnyArray::take_leading(std::span<const std::int64_t> indices) const {
    return std::visit(
        [&]<class T>(const Array<T>& a) -> std::expected<AnyArray, ArrayError> {
            if (a.ndim() == 0) return std::unexpected(ArrayError::TooManyIndices{1, 0});
            const auto shape = a.shape();
            const std::uint64_t size = shape[0];
            std::uint64_t row = 1;
            for (std::size_t k = 1; k < shape.size(); ++k) row *= shape[k];
            // Validate every index before anything is allocated or copied.
            std::vector<std::uint64_t> rows(indices.size());
            for (std::size_t i = 0; i < indices.size(); ++i) {
                auto j = wrap_index(indices[i], size);
                if (!j) return std::unexpected(ArrayError::IndexOutOfBounds{indices[i], 0, size});
                rows[i] = *j;
            }
            Shape out_shape;
            out_shape.push_back(indices.size());
            for (std::size_t k = 1; k < shape.size(); ++k) out_shape.push_back(shape[k]);
            auto dims = ArrayDims::make(out_shape, Array<T>::ITEMSIZE);
            if (!dims) return std::unexpected(std::move(dims.error()));
            Storage<T> out = Storage<T>::uninit(dims->size());
            if (row != 0) {
                T* o = out.ptr();
                for (std::uint64_t j : rows) {
                    std::memcpy(o, a.data() + j * row, row * sizeof(T));
                    o += row;
                }
            }
            return AnyArray(Array<T>::from_parts(std::move(out), *dims));
        },
        v_);
}

std::expected<AnyArray, ArrayError> AnyArray::compress_flat(std::span<const Bool> mask) const {
    return std::visit(
        [&]<class T>(const Array<T>& a) -> std::expected<AnyArray, ArrayError> {
            if (mask.size() != a.len()) {
                return std::unexpected(ArrayError::from_message(std::format(
                    "boolean index did not match indexed array; size {} but corresponding boolean "
                    "size is {}",
                    a.len(), mask.size())));
            }
            std::uint64_t count = 0;
            for (Bool m : mask) count += is_true(m) ? 1 : 0;
            Storage<T> out = Storage<T>::uninit(count);
            T* o = out.ptr();
            const T* src = a.data();
            for (std::size_t i = 0; i < mask.size(); ++i) {
                if (is_true(mask[i])) *o++ = src[i];
            }
            const std::uint64_t shape[1] = {count};
            return AnyArray(Array<T>::from_parts(std::move(out), ArrayDims::c_of_valid(shape, Array<T>::ITEMSIZE)));
        },
        v_);
}

std::expected<std::optional<AnyArray>, ArrayError> AnyArray::concatenate(
    std::span<const AnyArray* const> arrays, std::int64_t axis) {
    using Result = std::expected<std::optional<AnyArray>, ArrayError>;
    if (arrays.empty()) return std::unexpected(ArrayError::from_message("need at least one array to concatenate"));
    const AnyArray& first = *arrays[0];
    for (const AnyArray* a : arrays) {
        if (a->kind() != first.kind()) return Result(std::nullopt);
    }
    const std::size_t nd = first.ndim();
    if (nd == 0) {
        return std::unexpected(ArrayError::from_message("zero-dimensional arrays cannot be concatenated"));
    }
    const auto snd = static_cast<std::int64_t>(nd);
    if (axis < -snd || axis >= snd) {
        return std::unexpected(ArrayError::from_message(
            std::format("axis {} is out of bounds for array of dimension {}", axis, nd)));
    }
    const std::size_t ax = static_cast<std::size_t>(axis < 0 ? axis + snd : axis);
    const auto shape0 = first.shape();
    std::uint64_t axis_total = 0;
    bool overflow = false;
    for (const AnyArray* a : arrays) {
        if (a->ndim() != nd) {
            return std::unexpected(ArrayError::from_message("all the input arrays must have same number of dimensions"));
        }
        const auto s = a->shape();
        for (std::size_t d = 0; d < nd; ++d) {
            if (d != ax && s[d] != shape0[d]) {
                return std::unexpected(ArrayError::from_message(std::format(
                    "all the input array dimensions except for the concatenation axis must match "
                    "exactly, but along dimension {}, sizes {} and {} differ",
                    d, shape0[d], s[d])));
            }
        }
        overflow |= __builtin_add_overflow(axis_total, s[ax], &axis_total);
    }
    if (overflow) return std::unexpected(ArrayError::too_big());
    Shape out_shape(shape0);
    out_shape[ax] = axis_total;
    std::uint64_t outer = 1, inner = 1;
    for (std::size_t d = 0; d < ax; ++d) outer *= shape0[d];
    for (std::size_t d = ax + 1; d < nd; ++d) inner *= shape0[d];

    return std::visit(
        [&]<class T>(const Array<T>&) -> Result {
            auto dims = ArrayDims::make(out_shape, Array<T>::ITEMSIZE);
            if (!dims) return std::unexpected(std::move(dims.error()));
            Storage<T> out = Storage<T>::uninit(dims->size());
            T* o = out.ptr();
            const std::uint64_t pitch = axis_total * inner;
            if (outer > 1 && pitch <= walk::SHORT_ROW) {
                // Blocks of a few elements (a stack along the last axis): each item's
                // elements put in their places at once, not a copy call per block.
                for (const AnyArray* a : arrays) {
                    const Array<T>& src = *a->get_if<T>();
                    const std::uint64_t block = src.shape()[ax] * inner;
                    if (block == 0) continue;
                    const T* from = src.data();
                    if (block == 1) {
                        for (std::uint64_t i = 0; i < outer; ++i) o[i * pitch] = from[i];
                    } else {
                        for (std::uint64_t i = 0; i < outer; ++i) {
                            walk::copy_short(reinterpret_cast<std::byte*>(o + i * pitch),
                                             reinterpret_cast<const std::byte*>(from + i * block), block * sizeof(T));
                        }
                    }
                    o += block;
                }
                return Result(AnyArray(Array<T>::from_parts(std::move(out), *dims)));
            }
            for (std::uint64_t i = 0; i < outer; ++i) {
                for (const AnyArray* a : arrays) {
                    const Array<T>& src = *a->get_if<T>();
                    const std::uint64_t block = src.shape()[ax] * inner;
                    if (block != 0) {
                        std::memcpy(o, src.data() + i * block, block * sizeof(T));
                        o += block;
                    }
                }
            }
            return Result(AnyArray(Array<T>::from_parts(std::move(out), *dims)));
        },
        first.variant());
}

}  // namespace corvantile
