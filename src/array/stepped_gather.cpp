// The gather of a row whose elements lie two to four apart, forward or backward (and the
// scatter of a row of bytes so), compiled
// once per Highway target (foreach_target.h re-includes this file) and chosen at run time:
// the compiler reads such rows element by element, where de-interleaving loads take a
// vector of them at once.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "array/stepped_gather.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include <cstddef>
#include <cstdint>

#include "array/walk.hpp"

HWY_BEFORE_NAMESPACE();
namespace corvantile::walk::HWY_NAMESPACE {
namespace {

namespace hn = hwy::HWY_NAMESPACE;

// Lane Off of the K-way de-interleaving load of N * K elements from p: p[Off], p[Off + K], ...
template <std::size_t K, std::size_t Off = 0, class D, class T>
HWY_INLINE hn::VFromD<D> every(D d, const T* HWY_RESTRICT p) {
    static_assert(Off < K);
    hn::VFromD<D> v[4];
    if constexpr (K == 2) {
        hn::LoadInterleaved2(d, p, v[0], v[1]);
    } else if constexpr (K == 3) {
        hn::LoadInterleaved3(d, p, v[0], v[1], v[2]);
    } else {
        hn::LoadInterleaved4(d, p, v[0], v[1], v[2], v[3]);
    }
    return v[Off];
}

// gather_every's forward loop from element i on, where at + i * K - Off lies on a vector
// boundary: no load straddles two lines (which from beyond the second-level cache costs
// twice the time). Returns where it stopped.
template <std::size_t K, std::size_t Off, class D, class T>
HWY_INLINE std::size_t every_aligned(D d, const T* HWY_RESTRICT at, std::size_t i, std::size_t n, T* HWY_RESTRICT dst) {
    const std::size_t lanes = hn::Lanes(d);
    const auto k = static_cast<std::ptrdiff_t>(K);
    for (; i + lanes < n; i += lanes) {
        hn::StoreU(every<K, Off>(d, at + static_cast<std::ptrdiff_t>(i) * k - static_cast<std::ptrdiff_t>(Off)), d, dst + i);
    }
    return i;
}

// The 8-byte elements before the first whose loads can start on vector boundaries one by
// one, then every_aligned from there.
template <std::size_t K, class D, class T>
HWY_INLINE std::size_t every_from_boundary(D d, const T* HWY_RESTRICT at, std::size_t n, T* HWY_RESTRICT dst) {
    const auto address = reinterpret_cast<std::uintptr_t>(at);
    if (address % sizeof(T) != 0) return 0;
    const auto [head, off] = loops::vector_boundary(address, K, hn::Lanes(d));
    if (head >= n) return 0;
    for (std::size_t i = 0; i < head; ++i) hwy::CopyBytes<sizeof(T)>(at + i * K, dst + i);
    return loops::with_off<K>(off, [&]<std::size_t Off>() { return every_aligned<K, Off>(d, at, head, n, dst); });
}

// dst[i] = at[i * K] (Backward: at[-i * K]) for i < n. No load reaches past the row's
// first or last element: forward, a vector's load ends K - 1 elements after its last
// lane, so the last lane is never the row's last element; backward, it starts at the
// vector's last element and ends K - 1 after its first, so the row's first element
// (the highest address) is read alone.
template <std::size_t K, bool Backward, class T>
HWY_INLINE void gather_every(const T* HWY_RESTRICT at, std::size_t n, T* HWY_RESTRICT dst) {
    // Short vectors of bytes: rows of a few dozen still take one or more.
    const hn::CappedTag<T, 16> d;
    const std::size_t lanes = hn::Lanes(d);
    const auto k = static_cast<std::ptrdiff_t>(K);
    std::size_t i = 0;
    if constexpr (Backward) {
        if (n == 0) return;
        hwy::CopyBytes<sizeof(T)>(at, dst);
        for (i = 1; i + lanes <= n; i += lanes) {
            const T* p = at - static_cast<std::ptrdiff_t>(i + lanes - 1) * k;
            hn::StoreU(hn::Reverse(d, every<K>(d, p)), d, dst + i);
        }
        for (; i < n; ++i) hwy::CopyBytes<sizeof(T)>(at - static_cast<std::ptrdiff_t>(i) * k, dst + i);
    } else {
        if constexpr (sizeof(T) == 8) i = every_from_boundary<K>(d, at, n, dst);
        for (; i + lanes < n; i += lanes) hn::StoreU(every<K>(d, at + static_cast<std::ptrdiff_t>(i) * k), d, dst + i);
        for (; i < n; ++i) hwy::CopyBytes<sizeof(T)>(at + static_cast<std::ptrdiff_t>(i) * k, dst + i);
    }
}

// fn.template operator()<K, Backward>() for a step of K elements either way, K in 2 .. 4.
template <class Fn>
HWY_INLINE void by_step(std::int64_t step, Fn fn) {
    switch (step) {
    case 2: return fn.template operator()<2, false>();
    case 3: return fn.template operator()<3, false>();
    case 4: return fn.template operator()<4, false>();
    case -2: return fn.template operator()<2, true>();
    case -3: return fn.template operator()<3, true>();
    case -4: return fn.template operator()<4, true>();
    default: return;
    }
}

template <class T>
HWY_INLINE void gather_stepped_t(const T* HWY_RESTRICT at, std::int64_t step, std::size_t n, T* HWY_RESTRICT dst) {
    by_step(step, [&]<std::size_t K, bool Backward>() { gather_every<K, Backward>(at, n, dst); });
}

// Piece p's byte j of a scatter K apart: element (16 p + j) / K, written where
// (16 p + j) % K == 0.
template <std::size_t K>
struct Spread {
    alignas(16) std::uint8_t index[K][16];
    alignas(16) std::uint8_t keep[K][16];
};

template <std::size_t K>
constexpr Spread<K> spread() {
    Spread<K> t{};
    for (std::size_t p = 0; p < K; ++p) {
        for (std::size_t j = 0; j < 16; ++j) {
            t.index[p][j] = static_cast<std::uint8_t>((16 * p + j) / K);
            t.keep[p][j] = (16 * p + j) % K == 0 ? 0xFF : 0;
        }
    }
    return t;
}

template <std::size_t K>
constexpr Spread<K> SPREAD = spread<K>();

// at[i * K] = src[i] (Backward: at[-i * K]) for i < n, bytes: 16 at a time, spread over K
// 16-byte pieces by byte shuffles and written under a mask, so that the bytes between stay
// untouched (another view's elements). Only where masked byte stores are instructions;
// elsewhere, and for the loose ends, byte by byte. No piece reaches past the row's ends
// (as gather_every's loads).
template <std::size_t K, bool Backward>
HWY_INLINE void scatter_every(std::uint8_t* HWY_RESTRICT at, std::size_t n, const std::uint8_t* HWY_RESTRICT src) {
    const auto k = static_cast<std::ptrdiff_t>(K);
    const auto put = [&](std::size_t i) { at[Backward ? -static_cast<std::ptrdiff_t>(i) * k : static_cast<std::ptrdiff_t>(i) * k] = src[i]; };
    std::size_t i = 0;
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
    const hn::Full128<std::uint8_t> d;
    hn::Vec128<std::uint8_t> idx[K];
    hn::Mask128<std::uint8_t> mask[K];
    for (std::size_t p = 0; p < K; ++p) {
        idx[p] = hn::Load(d, SPREAD<K>.index[p]);
        mask[p] = hn::MaskFromVec(hn::Load(d, SPREAD<K>.keep[p]));
    }
    if constexpr (Backward) {
        if (n == 0) return;
        put(0);
        // Elements i .. i + 15 lie upward from at - (i + 15) * K, in reverse.
        for (i = 1; i + 16 <= n; i += 16) {
            const auto v = hn::Reverse(d, hn::LoadU(d, src + i));
            std::uint8_t* low = at - static_cast<std::ptrdiff_t>(i + 15) * k;
            for (std::size_t p = 0; p < K; ++p) hn::BlendedStore(hn::TableLookupBytes(v, idx[p]), mask[p], d, low + 16 * p);
        }
    } else {
        for (; i + 16 < n; i += 16) {
            const auto v = hn::LoadU(d, src + i);
            std::uint8_t* low = at + static_cast<std::ptrdiff_t>(i) * k;
            for (std::size_t p = 0; p < K; ++p) hn::BlendedStore(hn::TableLookupBytes(v, idx[p]), mask[p], d, low + 16 * p);
        }
    }
#endif
    for (; i < n; ++i) put(i);
}

}  // namespace

HWY_NOINLINE void scatter_stepped_u8(std::uint8_t* HWY_RESTRICT at, std::int64_t step, std::size_t n,
                                     const std::uint8_t* HWY_RESTRICT src) {
    by_step(step, [&]<std::size_t K, bool Backward>() { scatter_every<K, Backward>(at, n, src); });
}

HWY_NOINLINE void gather_stepped_u8(const std::uint8_t* HWY_RESTRICT at, std::int64_t step, std::size_t n,
                                    std::uint8_t* HWY_RESTRICT dst) {
    gather_stepped_t(at, step, n, dst);
}

HWY_NOINLINE void gather_stepped_u64(const std::uint64_t* HWY_RESTRICT at, std::int64_t step, std::size_t n,
                                     std::uint64_t* HWY_RESTRICT dst) {
    gather_stepped_t(at, step, n, dst);
}

}  // namespace corvantile::walk::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

namespace corvantile::walk {

HWY_EXPORT(gather_stepped_u8);
HWY_EXPORT(gather_stepped_u64);
HWY_EXPORT(scatter_stepped_u8);

void scatter_stepped(std::byte* at, std::int64_t step, std::size_t n, const std::byte* src) noexcept {
    HWY_DYNAMIC_DISPATCH(scatter_stepped_u8)(reinterpret_cast<std::uint8_t*>(at), step, n,
                                             reinterpret_cast<const std::uint8_t*>(src));
}

void gather_stepped(const std::byte* at, std::int64_t step, std::size_t n, std::size_t size, std::byte* dst) noexcept {
    if (size == 1) {
        HWY_DYNAMIC_DISPATCH(gather_stepped_u8)(reinterpret_cast<const std::uint8_t*>(at), step, n,
                                                reinterpret_cast<std::uint8_t*>(dst));
    } else {
        HWY_DYNAMIC_DISPATCH(gather_stepped_u64)(reinterpret_cast<const std::uint64_t*>(at), step / 8, n,
                                                 reinterpret_cast<std::uint64_t*>(dst));
    }
}

}  // namespace corvantile::walk

#endif  // HWY_ONCE
