#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <numeric>

#include "array/array.hpp"
#include "array/folds.hpp"

namespace corvantile {

namespace {

void require_1d(std::size_t ndim) {
    if (ndim != 1) internal_failure("1-D sort of an array that is not 1-D");
}

// Every number before every NaN; numbers by IEEE <, so -0.0 and 0.0 tie.
bool nan_last_less(double a, double b) noexcept { return !std::isnan(a) && (std::isnan(b) || a < b); }

// Beyond this length the sorts run as a radix sort on order-preserving keys; the order
// is the same either way, as both are stable over the same keys.
constexpr std::size_t RADIX_MIN = 256;

using folds::SIGN_BIT;

// The raw 64-bit word of an element, and the unsigned key that orders words as the sort
// does: for float64 both zeros share the key of 0.0 and every NaN the key above +inf.
template <class T>
std::uint64_t word_of(T x) noexcept {
    return std::bit_cast<std::uint64_t>(x);
}
template <class T>
std::uint64_t key_of(std::uint64_t w) noexcept {
    if constexpr (std::same_as<T, double>) {
        const bool nan = (w & ~SIGN_BIT) > std::uint64_t{0x7FF0000000000000};
        w = w == SIGN_BIT ? 0 : w;
        const std::uint64_t k = (w & SIGN_BIT) != 0 ? ~w : w | SIGN_BIT;
        return nan ? ~std::uint64_t{0} : k;
    } else {
        return w ^ SIGN_BIT;
    }
}

using Counts = std::array<std::array<std::uint64_t, 256>, 8>;

// Per-digit counts of the keys; a digit on which every key agrees needs no pass.
template <class KeyAt>
Counts count_digits(std::size_t n, KeyAt key_at) noexcept {
    Counts counts{};
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t k = key_at(i);
        for (std::size_t d = 0; d < 8; ++d) ++counts[d][(k >> (8 * d)) & 0xFF];
    }
    return counts;
}

bool trivial_digit(const std::array<std::uint64_t, 256>& c, std::size_t n) noexcept {
    return std::ranges::any_of(c, [n](std::uint64_t x) { return x == n; });
}

// Starting positions from counts.
std::array<std::uint64_t, 256> offsets(const std::array<std::uint64_t, 256>& c) noexcept {
    std::array<std::uint64_t, 256> off;
    std::uint64_t sum = 0;
    for (std::size_t b = 0; b < 256; ++b) {
        off[b] = sum;
        sum += c[b];
    }
    return off;
}

// The LSD passes over the digits on which the keys differ, lowest first: `pass(shift,
// off)` scatters by the digit at `shift` to the starting positions `off`.
template <class Pass>
void digit_passes(const Counts& counts, std::size_t n, Pass pass) {
    for (std::size_t d = 0; d < 8; ++d) {
        if (trivial_digit(counts[d], n)) continue;
        auto off = offsets(counts[d]);
        pass(8 * static_cast<unsigned>(d), off);
    }
}

// LSD radix sort (8-bit digits, stable) of the words w[0..n), keys computed on the fly;
// tmp holds n words.
template <class T>
void radix_sort_words(std::uint64_t* w, std::uint64_t* tmp, std::size_t n) noexcept {
    const Counts counts = count_digits(n, [w](std::size_t i) { return key_of<T>(w[i]); });
    std::uint64_t* src = w;
    std::uint64_t* dst = tmp;
    digit_passes(counts, n, [&](unsigned shift, auto& off) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t x = src[i];
            dst[off[(key_of<T>(x) >> shift) & 0xFF]++] = x;
        }
        std::swap(src, dst);
    });
    if (src != w) std::memcpy(w, src, n * sizeof(std::uint64_t));
}

// LSD radix sort of the positions 0..n-1 by the keys of x, stable; the keys travel
// with the positions.
template <class T>
void radix_argsort(const T* x, std::int64_t* idx, std::size_t n) {
    Storage<std::uint64_t> keys = Storage<std::uint64_t>::uninit(n);
    Storage<std::uint64_t> keys_tmp = Storage<std::uint64_t>::uninit(n);
    Storage<std::int64_t> idx_tmp = Storage<std::int64_t>::uninit(n);
    std::uint64_t* k = keys.ptr();
    for (std::size_t i = 0; i < n; ++i) k[i] = key_of<T>(word_of(x[i]));
    const Counts counts = count_digits(n, [k](std::size_t i) { return k[i]; });
    for (std::size_t i = 0; i < n; ++i) idx[i] = static_cast<std::int64_t>(i);
    std::uint64_t* ksrc = k;
    std::uint64_t* kdst = keys_tmp.ptr();
    std::int64_t* isrc = idx;
    std::int64_t* idst = idx_tmp.ptr();
    digit_passes(counts, n, [&](unsigned shift, auto& off) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t key = ksrc[i];
            const std::uint64_t to = off[(key >> shift) & 0xFF]++;
            kdst[to] = key;
            idst[to] = isrc[i];
        }
        std::swap(ksrc, kdst);
        std::swap(isrc, idst);
    });
    if (isrc != idx) std::memcpy(idx, isrc, n * sizeof(std::int64_t));
}

}  // namespace

template <Element T>
Array<T> Array<T>::sorted_1d() const
    requires(std::same_as<T, double> || std::same_as<T, std::int64_t>)
{
    require_1d(ndim());
    Array out = clone();
    auto e = out.elements();
    if (e.size() >= RADIX_MIN) {
        Storage<std::uint64_t> tmp = Storage<std::uint64_t>::uninit(e.size());
        radix_sort_words<T>(reinterpret_cast<std::uint64_t*>(e.data()), tmp.ptr(), e.size());
    } else if constexpr (std::same_as<T, double>) {
        // NaNs to the back in their order, then a stable sort of the numbers.
        auto numbers_end = std::stable_partition(e.begin(), e.end(), [](double x) { return !std::isnan(x); });
        std::stable_sort(e.begin(), numbers_end);
    } else {
        std::stable_sort(e.begin(), e.end());
    }
    return out;
}

template <Element T>
Array<std::int64_t> Array<T>::argsort_1d() const
    requires(std::same_as<T, double> || std::same_as<T, std::int64_t>)
{
    require_1d(ndim());
    const std::size_t n = len();
    Storage<std::int64_t> idx = Storage<std::int64_t>::uninit(n);
    const T* v = data();
    if (n >= RADIX_MIN) {
        radix_argsort(v, idx.ptr(), n);
    } else {
        auto s = idx.span();
        std::iota(s.begin(), s.end(), std::int64_t{0});
        if constexpr (std::same_as<T, double>) {
            std::stable_sort(s.begin(), s.end(),
                             [v](std::int64_t i, std::int64_t j) { return nan_last_less(v[i], v[j]); });
        } else {
            std::stable_sort(s.begin(), s.end(), [v](std::int64_t i, std::int64_t j) { return v[i] < v[j]; });
        }
    }
    return Array<std::int64_t>::from_parts(std::move(idx), dims_);
}

template Array<double> Array<double>::sorted_1d() const;
template Array<std::int64_t> Array<double>::argsort_1d() const;
template Array<std::int64_t> Array<std::int64_t>::sorted_1d() const;
template Array<std::int64_t> Array<std::int64_t>::argsort_1d() const;

}  // namespace corvantile
