// The vectorised quicksorts (each width this CPU runs) against std::sort, bit for bit, at
// lengths around each of their switch points (network sizes, the partition's kept vectors,
// the larger pivot samples) and on inputs that test the pivot: many copies of it, two
// values, sorted runs, extremes.
// Short ranges are also sorted against a page the process may not touch, on either side:
// the small sorts read and write whole registers with lanes masked off past the ends.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "array/sort_quick.hpp"

using namespace corvantile;

namespace {

const std::size_t LENGTHS[] = {0,    1,    2,    3,    4,    5,    8,    15,   16,   17,   31,    32,    33,
                               47,   63,   64,   65,   66,   67,   68,   69,   79,   80,   81,   96,    97,
                               127,  128,  129,  130,  136,  191,  192,  193,  200,  255,  256,  257,   258,
                               263,  264,  319,  320,  321,  383,  384,  385,  511,  512,  513,  1023,  1024,
                               1025, 1026, 1027, 1041, 1151, 1152, 1153, 4099, 8191, 8192, 8193, 65536, 100003};

// Each width this CPU runs, by name.
struct Width {
    const char* name;
    void (*sort_int)(std::int64_t*, std::size_t) noexcept;
    void (*sort_double)(double*, std::size_t) noexcept;
};

std::vector<Width> widths() {
    std::vector<Width> w;
    if (quick::avx2::available()) w.push_back({"AVX2", &quick::avx2::sort, &quick::avx2::sort});
    if (quick::avx512::available()) w.push_back({"AVX-512", &quick::avx512::sort, &quick::avx512::sort});
    return w;
}

void run(const Width& w, std::int64_t* a, std::size_t n) { w.sort_int(a, n); }
void run(const Width& w, double* a, std::size_t n) { w.sort_double(a, n); }

// Pattern k of length n as unsigned draws; each kind maps them to its keys.
std::vector<std::uint64_t> pattern(int k, std::size_t n, std::mt19937_64& g) {
    std::vector<std::uint64_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        switch (k) {
            case 0: v[i] = g(); break;                                   // random
            case 1: v[i] = i; break;                                     // sorted
            case 2: v[i] = n - i; break;                                 // reversed
            case 3: v[i] = g() % 2; break;                               // two values
            case 4: v[i] = 5; break;                                     // all equal
            case 5: v[i] = g() % 4 == 0 ? g() : 9; break;                // mostly one value
            case 6: v[i] = i < n / 2 ? i : n - i; break;                 // organ pipe
            case 7: v[i] = i % 37; break;                                // sawtooth
            case 8: v[i] = g() % 3 == 0 ? ~std::uint64_t{0} : g() % 3; break;  // the highest key and ties
            case 9: v[i] = i % 2 ? i : n + (g() % 16); break;            // sorted halves interleaved
            case 10: v[i] = g() % 5 == 0 ? (g() % 2 ? 0 : ~std::uint64_t{0}) : g(); break;  // both extremes
            default: v[i] = g() % 16; break;                             // few values, each many times
        }
    }
    return v;
}

double as_double(std::uint64_t u) {
    // Nonzero finite or infinite doubles of both signs; ties stay ties.
    if (u == ~std::uint64_t{0}) return INFINITY;
    if (u == 0) return -INFINITY;
    if (u % 7 == 3) return std::bit_cast<double>(u % (std::uint64_t{1} << 52) | 1) * ((u >> 62) % 2 ? -1 : 1);  // subnormal
    const double x = static_cast<double>(u % (std::uint64_t{1} << 53)) * 0.75 + 0.5;
    return (u >> 63) ? -x : u % 5 == 4 ? -INFINITY : x;
}

std::int64_t as_int(std::uint64_t u) {
    if (u == ~std::uint64_t{0}) return std::numeric_limits<std::int64_t>::max();
    if (u == 0) return std::numeric_limits<std::int64_t>::min();
    return std::bit_cast<std::int64_t>(u);
}

template <class T>
void expect_sorted(const Width& w, std::vector<T> v, int k) {
    std::vector<T> want = v;
    std::sort(want.begin(), want.end());
    run(w, v.data(), v.size());
    EXPECT_TRUE(v.empty() || std::memcmp(v.data(), want.data(), v.size() * sizeof(T)) == 0)
        << w.name << ", pattern " << k << ", length " << v.size();
}

}  // namespace

TEST(QuickSort, MatchesStdSortOnEveryPatternAndLength) {
    if (widths().empty()) GTEST_SKIP() << "no AVX2";
    std::mt19937_64 g(31);
    for (const Width& w : widths()) {
        for (int k = 0; k < 12; ++k) {
            for (std::size_t n : LENGTHS) {
                const auto u = pattern(k, n, g);
                std::vector<double> d(n);
                std::vector<std::int64_t> i(n);
                std::transform(u.begin(), u.end(), d.begin(), as_double);
                std::transform(u.begin(), u.end(), i.begin(), as_int);
                expect_sorted(w, d, k);
                expect_sorted(w, i, k);
            }
        }
    }
}

namespace {

// A range of n elements that ends (or starts) at a page nobody may read or write, with
// sentinels on its other side.
template <class T>
void sort_beside_guard(const Width& w, std::size_t n, bool at_end, std::mt19937_64& g) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    auto* base = static_cast<unsigned char*>(
        mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(base, MAP_FAILED);
    ASSERT_EQ(mprotect(base, page, PROT_NONE), 0);
    ASSERT_EQ(mprotect(base + 2 * page, page, PROT_NONE), 0);
    T* const lo = reinterpret_cast<T*>(base + page);
    T* const hi = reinterpret_cast<T*>(base + 2 * page);
    const std::size_t room = page / sizeof(T);
    T* const a = at_end ? hi - n : lo;
    for (T* p = lo; p != hi; ++p) *p = T(7);  // the sentinels
    std::vector<T> want(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t u = g() % 3 == 0 ? ~std::uint64_t{0} : g();
        if constexpr (std::is_same_v<T, double>) {
            a[i] = as_double(u);
        } else {
            a[i] = as_int(u);
        }
        want[i] = a[i];
    }
    std::sort(want.begin(), want.end());
    run(w, a, n);
    EXPECT_TRUE(n == 0 || std::memcmp(a, want.data(), n * sizeof(T)) == 0)
        << w.name << ", length " << n << ", at end " << at_end;
    const std::size_t others = room - n;
    T* const rest = at_end ? lo : lo + n;
    EXPECT_EQ(static_cast<std::size_t>(std::count(rest, rest + others, T(7))), others) << "length " << n;
    munmap(base, 3 * page);
}

}  // namespace

TEST(QuickSort, ShortRangesTouchNothingPastTheirEnds) {
    if (widths().empty()) GTEST_SKIP() << "no AVX2";
    std::mt19937_64 g(5);
    for (const Width& w : widths()) {
        for (std::size_t n = 0; n <= 270; ++n) {
            for (bool at_end : {true, false}) {
                sort_beside_guard<double>(w, n, at_end, g);
                sort_beside_guard<std::int64_t>(w, n, at_end, g);
            }
        }
    }
}

TEST(QuickSort, ChoiceNamesTheSortThatRuns) {
    // Wherever an own sort is chosen, its width runs here; the library has no name of ours.
    for (bool float64 : {false, true}) {
        for (std::size_t n : {1, 16, 32, 33, 1000, 1000000}) {
            const quick::Kind k = quick::choice(float64, n);
            EXPECT_EQ(quick::name(k) == nullptr, k == quick::Kind::library);
            EXPECT_TRUE(k != quick::Kind::avx2 || quick::avx2::available());
            EXPECT_TRUE(k != quick::Kind::avx512 || quick::avx512::available());
        }
    }
}
