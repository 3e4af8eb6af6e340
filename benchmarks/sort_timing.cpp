// Times the module's own quicksorts (AVX2, and AVX-512 where the CPU has it) against the
// library's VQSort on the same inputs, float64 (standard normal) and int64 (uniform over
// +-2^62, and 16 values: ties), interleaved: each round sorts fresh copies with each sort in
// turn, and the median of the rounds (thread CPU time) is reported.
// Usage: sort_timing [rounds] [lengths...]; prints length, kind, the times, VQSort's time
// over each own sort's.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include <hwy/contrib/sort/vqsort.h>
#include <hwy/per_target.h>
#include <hwy/targets.h>

#include "array/sort_quick.hpp"

#ifdef SORT_TIMING_BASE
// Another build of the AVX-512 quicksort, compiled with -Dquick=quick_base, timed beside it.
namespace corvantile::quick_base::avx512 {
void sort(std::int64_t* a, std::size_t n) noexcept;
void sort(double* a, std::size_t n) noexcept;
}  // namespace corvantile::quick_base::avx512
#endif

namespace {

// The thread's CPU time: on a shared machine the wall clock also counts other processes'
// time slices.
double cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

template <class T, class Sort>
double time_once(const std::vector<T>& input, std::vector<T>& work, std::size_t copies, Sort sort) {
    // Several independent copies at short lengths, so that one timing spans some microseconds.
    const std::size_t n = input.size();
    for (std::size_t c = 0; c < copies; ++c) std::memcpy(work.data() + c * n, input.data(), n * sizeof(T));
    const double t0 = cpu_ns();
    for (std::size_t c = 0; c < copies; ++c) sort(work.data() + c * n, n);
    return (cpu_ns() - t0) / static_cast<double>(copies);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

template <class T>
void run(const char* kind, std::size_t n, int rounds, std::mt19937_64& g, std::int64_t distinct = 0) {
    std::vector<T> input(n);
    if constexpr (std::is_same_v<T, double>) {
        std::normal_distribution<double> normal;
        for (auto& x : input) x = normal(g);
    } else {
        std::uniform_int_distribution<std::int64_t> uniform(-(std::int64_t{1} << 62), std::int64_t{1} << 62);
        for (auto& x : input) x = distinct != 0 ? uniform(g) % distinct : uniform(g);
    }
    const std::size_t copies = std::max<std::size_t>(1, 20000 / std::max<std::size_t>(n, 1));
    std::vector<T> work(copies * n);
    std::vector<double> wide_times, quick_times, library_times, base_times;
    const bool wide = corvantile::quick::avx512::available();
    for (int r = 0; r < rounds; ++r) {
#ifdef SORT_TIMING_BASE
        base_times.push_back(
            time_once(input, work, copies, [](T* a, std::size_t m) { corvantile::quick_base::avx512::sort(a, m); }));
#endif
        quick_times.push_back(
            time_once(input, work, copies, [](T* a, std::size_t m) { corvantile::quick::avx2::sort(a, m); }));
        std::vector<T> mine(work.begin(), work.begin() + static_cast<std::ptrdiff_t>(n));
        if (wide) {
            wide_times.push_back(
                time_once(input, work, copies, [](T* a, std::size_t m) { corvantile::quick::avx512::sort(a, m); }));
            if (!std::equal(mine.begin(), mine.end(), work.begin())) {
                std::printf("MISMATCH avx512 %s %zu\n", kind, n);
                std::exit(1);
            }
        }
        library_times.push_back(
            time_once(input, work, copies, [](T* a, std::size_t m) { hwy::VQSort(a, m, hwy::SortAscending()); }));
        if (!std::equal(mine.begin(), mine.end(), work.begin())) {
            std::printf("MISMATCH %s %zu\n", kind, n);
            std::exit(1);
        }
    }
    const double q = median(quick_times);
    const double l = median(library_times);
    std::printf("%-8zu %-15s vqsort %11.0f ns  avx2 %11.0f ns (%.2f)", n, kind, l, q, l / q);
    if (wide) {
        const double w = median(wide_times);
        std::printf("  avx512 %11.0f ns (%.2f)", w, l / w);
    }
    if (!base_times.empty() && wide) std::printf("  base/avx512 %.2f", median(base_times) / median(wide_times));
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (!corvantile::quick::avx2::available()) {
        std::puts("no AVX2");
        return 0;
    }
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 15;
    std::vector<std::size_t> lengths;
    for (int i = 2; i < argc; ++i) lengths.push_back(static_cast<std::size_t>(std::atof(argv[i])));
    if (lengths.empty()) lengths = {100, 1000, 10000, 100000, 1000000};
    std::printf("VQSort target %s\n", hwy::TargetName(hwy::DispatchedTarget()));
    std::mt19937_64 g(1);
    for (std::size_t n : lengths) {
        run<double>("f64", n, rounds, g);
        run<std::int64_t>("i64", n, rounds, g);
        run<std::int64_t>("i64 (16 values)", n, rounds, g, 16);
    }
}
