// The floors some benchmarks are judged against, built with the module's flags and loaded
// through ctypes: for the functions computed through the C library, the same library
// function in a plain loop; for the sum of a transpose, the time to read its elements in
// their logical order. The benchmarks also read from here the target Highway's dispatch
// chose on this CPU, and which sort the module runs.

#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include "array/folds.hpp"
#include "array/sort.hpp"

#include <hwy/per_target.h>
#include <hwy/targets.h>

extern "C" {

[[gnu::visibility("default")]] void floor_sin(const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::sin(in[i]);
}

[[gnu::visibility("default")]] void floor_exp(const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::exp(in[i]);
}

[[gnu::visibility("default")]] void floor_atan2(const double* y, const double* x, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::atan2(y[i], x[i]);
}

// Two floors for the sum of the transpose of a rows x cols C-order block (rows and cols
// multiples of 8), each adding into eight independent totals, so that no chain of
// additions holds the reads back; the sums are in no particular order. Eight columns are
// read at a time, so that one cache line of each row serves all eight, with the lines 16
// rows ahead prefetched.
// floor_transpose_lines adds the lines as they come: the memory read, in no element order.
// floor_transpose_elements delivers the elements in the transpose's logical order: each
// 8x8 tile transposed in registers (the module's own transpose) into a buffer of eight
// logical rows, read back in order while the next eight are gathered.
// Built for the same CPU variants as the module's loops.
using Line = double __attribute__((vector_size(64)));

// totals[k] += the k-th of the eight lines from p on. Inlined, so that each CPU variant
// builds its own (the vectors are passed differently in each).
[[gnu::always_inline]] inline void add_lines(Line (&totals)[8], const double* p) {
#pragma GCC unroll 8
    for (std::size_t k = 0; k < 8; ++k) {
        Line x;
        std::memcpy(&x, p + 8 * k, sizeof x);
        totals[k] += x;
    }
}

[[gnu::always_inline]] inline double total_of(const Line (&totals)[8]) {
    double sum = 0.0;
    for (const Line& t : totals) {
        for (std::size_t i = 0; i < 8; ++i) sum += t[i];
    }
    return sum;
}

[[gnu::visibility("default"), gnu::target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")]]
double floor_transpose_lines(const double* m, std::size_t rows, std::size_t cols) {
    Line total[8] = {};
    for (std::size_t c = 0; c < cols; c += 8) {
        for (std::size_t r = 0; r < rows; r += 8) {
            for (std::size_t k = 0; k < 8; ++k) {
                const double* at = m + (r + k) * cols + c;
                __builtin_prefetch(at + 16 * cols);
                Line v;
                std::memcpy(&v, at, sizeof v);
                total[k] += v;
            }
        }
    }
    return total_of(total);
}

[[gnu::visibility("default"), gnu::target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")]]
double floor_transpose_elements(const double* m, std::size_t rows, std::size_t cols) {
    // Two buffers of eight logical rows: one is read back, 64 elements after each tile,
    // while the other is gathered.
    std::vector<double> buffers(16 * rows);
    const double* pending = nullptr;
    Line total[8] = {};
    for (std::size_t c = 0, turn = 0; c < cols; c += 8, turn ^= 1) {
        double* rows8 = buffers.data() + turn * 8 * rows;
        std::size_t done = 0;
        for (std::size_t r = 0; r < rows; r += 8) {
            Line v[8];
            for (std::size_t k = 0; k < 8; ++k) {
                const double* at = m + (r + k) * cols + c;
                __builtin_prefetch(at + 16 * cols);
                std::memcpy(&v[k], at, sizeof v[k]);
            }
            corvantile::folds::transpose8(v);
            for (std::size_t k = 0; k < 8; ++k) std::memcpy(rows8 + k * rows + r, &v[k], sizeof v[k]);
            if (pending == nullptr) continue;
            add_lines(total, pending + done);
            done += 64;
        }
        pending = rows8;
    }
    for (std::size_t done = 0; done < 8 * rows; done += 64) add_lines(total, pending + done);
    return total_of(total);
}

[[gnu::visibility("default")]] const char* floor_hwy_target() { return hwy::TargetName(hwy::DispatchedTarget()); }

// The sort the module runs on n float64 (float64 != 0) or int64 elements.
[[gnu::visibility("default")]] const char* floor_sort_method(int float64, std::size_t n) {
    return corvantile::sort_method(float64 != 0, n);
}

}  // extern "C"
