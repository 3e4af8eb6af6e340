#include "array/walk.hpp"

#include <utility>

namespace corvantile::walk {

Strided simplify(const Strided& s) noexcept {
    if (s.size() == 0) return s;
    Strided out;
    out.data = s.data;
    for (std::size_t k = 0; k < s.ndim; ++k) {
        if (s.shape[k] == 1) continue;
        std::int64_t span = 0;
        const bool fits = !__builtin_mul_overflow(s.strides[k], static_cast<std::int64_t>(s.shape[k]), &span);
        if (out.ndim > 0 && fits && out.strides[out.ndim - 1] == span) {
            out.shape[out.ndim - 1] *= s.shape[k];
            out.strides[out.ndim - 1] = s.strides[k];
            continue;
        }
        out.shape[out.ndim] = s.shape[k];
        out.strides[out.ndim] = s.strides[k];
        ++out.ndim;
    }
    return out;
}

Strided memory_order(const Strided& s) noexcept {
    if (s.size() == 0) return s;
    Strided m = simplify(s);
    for (std::size_t k = 0; k < m.ndim; ++k) {
        if (m.strides[k] < 0) {
            m.data += static_cast<std::int64_t>(m.shape[k] - 1) * m.strides[k];
            m.strides[k] = -m.strides[k];
        }
    }
    for (std::size_t k = 1; k < m.ndim; ++k) {  // insertion sort, falling strides: at most 8 axes
        for (std::size_t j = k; j > 0 && m.strides[j] > m.strides[j - 1]; --j) {
            std::swap(m.strides[j], m.strides[j - 1]);
            std::swap(m.shape[j], m.shape[j - 1]);
        }
    }
    return simplify(m);
}

bool distinct(const Strided& s, std::size_t itemsize) noexcept {
    std::array<std::pair<std::uint64_t, std::uint64_t>, MAX_NDIM> axes{};  // |stride|, length
    std::size_t n = 0;
    for (std::size_t k = 0; k < s.ndim; ++k) {
        if (s.shape[k] <= 1) continue;
        const std::int64_t v = s.strides[k];
        axes[n++] = {v < 0 ? -static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v), s.shape[k]};
    }
    for (std::size_t k = 1; k < n; ++k) {  // insertion sort: at most 8 axes
        for (std::size_t j = k; j > 0 && axes[j].first < axes[j - 1].first; --j) std::swap(axes[j], axes[j - 1]);
    }
    std::uint64_t extent = itemsize;  // bytes spanned by the axes seen so far
    for (std::size_t k = 0; k < n; ++k) {
        const auto [stride, len] = axes[k];
        if (stride < extent) return false;
        std::uint64_t reach = 0;
        if (__builtin_mul_overflow(stride, len - 1, &reach) || __builtin_add_overflow(reach, extent, &extent)) {
            return false;
        }
    }
    return true;
}

const std::byte* dense_start(const Strided& s, std::size_t itemsize) noexcept {
    for (std::size_t k = 0; k < s.ndim; ++k) {
        if (s.shape[k] > 1 && s.strides[k] <= 0) return nullptr;
    }
    const Strided m = memory_order(s);
    if (m.ndim != 1 || m.strides[0] != static_cast<std::int64_t>(itemsize)) return nullptr;
    return m.data;
}

}  // namespace corvantile::walk
