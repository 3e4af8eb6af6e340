#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include <hwy/contrib/sort/vqsort.h>
#include <hwy/per_target.h>
#include <hwy/targets.h>

#include "array/array.hpp"
#include "array/folds.hpp"
#include "array/sort.hpp"
#include "array/sort_quick.hpp"
#include "array/sort_split.hpp"

namespace corvantile {

namespace {

void require_1d(std::size_t ndim) {
    if (ndim != 1) internal_failure("1-D sort of an array that is not 1-D");
}

using folds::SIGN_BIT;

// The unsigned key that orders elements as the sorts do: for float64 both zeros share
// the key of 0.0 and every NaN the key above +inf.
template <class T>
std::uint64_t key_of(T x) noexcept {
    std::uint64_t w = std::bit_cast<std::uint64_t>(x);
    if constexpr (std::same_as<T, double>) {
        const bool nan = (w & ~SIGN_BIT) > std::uint64_t{0x7FF0000000000000};
        w = w == SIGN_BIT ? 0 : w;
        const std::uint64_t k = (w & SIGN_BIT) != 0 ? ~w : w | SIGN_BIT;
        return nan ? ~std::uint64_t{0} : k;
    } else {
        return w ^ SIGN_BIT;
    }
}

// The unordered sort of 64-bit keys: our own where it measured faster, else the library's.
template <class T>
void sort_keys(T* a, std::size_t n) {
    switch (quick::choice(std::same_as<T, double>, n)) {
        case quick::Kind::avx512: quick::avx512::sort(a, n); break;
        case quick::Kind::avx2: quick::avx2::sort(a, n); break;
        default: hwy::VQSort(a, n, hwy::SortAscending()); break;
    }
}

// Sorts the n float64 of `in` into `out`, stably as to bits: the numbers ascending, with
// the zeros of either sign in their input order, then the NaNs in their input order. The
// NaNs stay out of the sort. The zeros go in, so that the sort moves them to their place,
// but it may exchange their signs: their run is written again in input order.
void sort_doubles(const double* in, double* out, std::size_t n) {
    const std::size_t m = loops::split_numbers(in, out, n);
    if (m == n) return sort_keys(out, m);
    const std::size_t specials = n - m;
    Storage<double> rest = Storage<double>::uninit(specials);
    std::reverse_copy(out + m, out + n, rest.ptr());
    const double* const first = rest.ptr();
    const double* const last = first + specials;
    const auto zeros = static_cast<std::size_t>(std::count(first, last, 0.0));
    double* z = out + m;
    double* nan = z + zeros;
    for (const double* x = first; x != last; ++x) *(*x == 0.0 ? z++ : nan++) = *x;
    sort_keys(out, m + zeros);
    z = std::lower_bound(out, out + m + zeros, 0.0);
    std::copy_if(first, last, z, [](double x) { return x == 0.0; });
}

// Orders w[0..n) as the positions 0..n-1, stably by key(position): VQSort of 64-bit words
// holding the key less its lowest s bits, above the b bits of the position, which breaks
// ties. s is as small as the span of the keys allows, often 0. Where dropping bits made
// keys equal, each such run is ordered again by its whole keys (a narrow span: exactly).
template <class Key>
void stable_order(std::uint64_t* w, std::size_t n, const Key& key);

void stable_order_of(const std::uint64_t* keys, std::uint64_t* w, std::size_t n) {
    stable_order(w, n, [keys](std::size_t i) { return keys[i]; });
}

template <class Key>
void stable_order(std::uint64_t* w, std::size_t n, const Key& key) {
    if (n < 2) {
        if (n == 1) w[0] = 0;
        return;
    }
    std::uint64_t lo = ~std::uint64_t{0};
    std::uint64_t hi = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t k = key(i);
        w[i] = k;
        lo = std::min(lo, k);
        hi = std::max(hi, k);
    }
    const auto b = static_cast<unsigned>(std::bit_width(n - 1));
    const auto span = static_cast<unsigned>(std::bit_width(hi - lo));
    const unsigned s = span > 64 - b ? span - (64 - b) : 0;
    for (std::size_t i = 0; i < n; ++i) w[i] = (((w[i] - lo) >> s) << b) | i;
    hwy::VQSort(w, n, hwy::SortAscending());
    const std::uint64_t position = (std::uint64_t{1} << b) - 1;
    if (s != 0) {
        // A run shares the bits above the position; its positions ascend.
        const auto by_key = [&key, position](std::uint64_t p, std::uint64_t q) {
            return key(p & position) < key(q & position);
        };
        for (std::size_t i = 0; i + 1 < n;) {
            std::size_t j = i + 1;
            while (j < n && (w[i] ^ w[j]) <= position) ++j;
            const std::size_t m = j - i;
            if (m > 1 && !std::is_sorted(w + i, w + j, by_key)) {
                Storage<std::uint64_t> at = Storage<std::uint64_t>::uninit(m);
                Storage<std::uint64_t> keys = Storage<std::uint64_t>::uninit(m);
                for (std::size_t r = 0; r < m; ++r) {
                    at.ptr()[r] = w[i + r] & position;
                    keys.ptr()[r] = key(at.ptr()[r]);
                }
                stable_order_of(keys.ptr(), w + i, m);
                for (std::size_t r = 0; r < m; ++r) w[i + r] = at.ptr()[w[i + r]];
            }
            i = j;
        }
    }
    for (std::size_t i = 0; i < n; ++i) w[i] &= position;
}

}  // namespace

template <Element T>
Array<T> Array<T>::sorted_1d() const
    requires(std::same_as<T, double> || std::same_as<T, std::int64_t>)
{
    require_1d(ndim());
    if constexpr (std::same_as<T, double>) {
        Storage<T> s = Storage<T>::uninit(len());
        sort_doubles(data(), s.ptr(), len());
        return Array::from_parts(std::move(s), dims_);
    } else {
        Array out = clone();
        sort_keys(out.data(), out.len());
        return out;
    }
}

template <Element T>
Array<std::int64_t> Array<T>::argsort_1d() const
    requires(std::same_as<T, double> || std::same_as<T, std::int64_t>)
{
    require_1d(ndim());
    const std::size_t n = len();
    Storage<std::int64_t> idx = Storage<std::int64_t>::uninit(n);
    const T* x = data();
    stable_order(reinterpret_cast<std::uint64_t*>(idx.ptr()), n, [x](std::size_t i) { return key_of(x[i]); });
    return Array<std::int64_t>::from_parts(std::move(idx), dims_);
}

void sort_in_place(std::span<std::int64_t> x) noexcept { sort_keys(x.data(), x.size()); }

const char* sort_method(bool float64, std::size_t n) noexcept {
    static const std::string library = std::string("VQSort ") + hwy::TargetName(hwy::DispatchedTarget());
    const char* own = quick::name(quick::choice(float64, n));
    return own != nullptr ? own : library.c_str();
}

template Array<double> Array<double>::sorted_1d() const;
template Array<std::int64_t> Array<double>::argsort_1d() const;
template Array<std::int64_t> Array<std::int64_t>::sorted_1d() const;
template Array<std::int64_t> Array<std::int64_t>::argsort_1d() const;

}  // namespace corvantile
