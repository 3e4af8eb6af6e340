// The floors some benchmarks are judged against, built with the module's flags and loaded
// through ctypes: for the functions computed through the C library, the same library
// function in a plain loop; for the sum of a transpose, the time to read its elements in
// their logical order. The benchmarks also read from here the target Highway's dispatch
// chose on this CPU, and which sort the module runs.

#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
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

// The floor for the sum of the 3-D permutation A.T of a C-order n0 x n1 x n2 block
// (element [i, j, k] of A.T at m[k * n1 * n2 + j * n2 + i]; n0 at least 8) in the
// module's own order: its elements in logical order into one 8-lane sum. Eight planes of
// A.T (eight consecutive i, one line of A) are gathered at a time by 8 x 8 tiles along k,
// the lines of the next j fetched ahead, into one of two buffers of eight planes, while
// the one gathered before is added, 64 elements after each tile. The planes after the
// last eight are gathered element by element, each line read once.
// lanes += the `octets` runs of eight doubles from p on, element i of each into lane i.
[[gnu::always_inline]] inline void add_octets(Line& lanes, const double* p, std::size_t octets) {
#pragma GCC unroll 8
    for (std::size_t o = 0; o < octets; ++o) {
        Line x;
        std::memcpy(&x, p + 8 * o, sizeof x);
        lanes += x;
    }
}

[[gnu::visibility("default"), gnu::target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")]]
double floor_permute_elements(const double* m, std::size_t n0, std::size_t n1, std::size_t n2) {
    const std::size_t plane = n0 * n1, slab = 8 * plane;
    const auto buffers = std::make_unique_for_overwrite<double[]>(2 * slab);
    const double* pending = nullptr;
    std::size_t pending_count = 0;
    Line lanes = {};
    for (std::size_t i0 = 0, turn = 0; i0 < n2; i0 += 8, turn ^= 1) {
        const std::size_t planes = n2 - i0 < 8 ? n2 - i0 : 8;
        double* into = buffers.get() + turn * slab;
        std::size_t done = 0;
        for (std::size_t j = 0; j < n1; ++j) {
            const double* row = m + j * n2 + i0;
            double* dst = into + j * n0;
            if (planes < 8) {
                for (std::size_t k = 0; k < n0; ++k) {
                    for (std::size_t p = 0; p < planes; ++p) dst[p * plane + k] = row[k * n1 * n2 + p];
                }
                continue;
            }
            for (std::size_t t = 0; t < n0; t += 8) {
                const std::size_t k0 = t + 8 <= n0 ? t : n0 - 8;  // the last tile overlaps the one before
                Line v[8];
#pragma GCC unroll 8
                for (std::size_t q = 0; q < 8; ++q) {
                    const double* at = row + (k0 + q) * n1 * n2;
                    __builtin_prefetch(at + n2);
                    std::memcpy(&v[q], at, sizeof v[q]);
                }
                corvantile::folds::transpose8(v);
#pragma GCC unroll 8
                for (std::size_t p = 0; p < 8; ++p) std::memcpy(dst + p * plane + k0, &v[p], sizeof v[p]);
                if (pending_count - done < 64) continue;
                add_octets(lanes, pending + done, 8);
                done += 64;
            }
        }
        add_octets(lanes, pending + done, (pending_count - done) / 8);  // slabs of eight planes: no rest
        pending = into;
        pending_count = planes * plane;
    }
    add_octets(lanes, pending, pending_count / 8);
    double lane[8];
    std::memcpy(lane, &lanes, sizeof lane);
    for (std::size_t i = pending_count & ~std::size_t{7}; i < pending_count; ++i) lane[i % 8] += pending[i];
    return corvantile::folds::lanes_finish(lane, true, -0.0, false);
}

// The floor for the sum of A.T[::2] of a C-order n0 x n1 block (n1 even, n1 / 2 and n0
// multiples of 8; element [i, j] of the view at m[j * n1 + 2 * i]) in the module's own
// order: its elements in logical order into one 8-lane sum. Eight logical rows (two lines
// of each row of A) are gathered at a time, by tiles of eight rows of A: each 32-byte
// quarter of a line holds two logical rows' elements, which one unpack and one lane swap
// per pair of quarters put in order; the lines 16 rows of A on are fetched ahead. The
// rows go into one of two buffers while the one gathered before is added.
using Quad = double __attribute__((vector_size(32)));

[[gnu::visibility("default"), gnu::target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")]]
double floor_stepped_transpose_elements(const double* m, std::size_t n0, std::size_t n1) {
    const std::size_t rows = n1 / 2, group = 8 * n0;
    const auto buffers = std::make_unique_for_overwrite<double[]>(2 * group);
    const double* pending = nullptr;
    Line lanes = {};
    for (std::size_t i0 = 0, turn = 0; i0 < rows; i0 += 8, turn ^= 1) {
        double* into = buffers.get() + turn * group;
        std::size_t done = 0;
        for (std::size_t j0 = 0; j0 < n0; j0 += 8) {
            Quad q[8][4];  // [row of A][quarter]: logical rows 2h and 2h + 1, every other element
#pragma GCC unroll 8
            for (std::size_t k = 0; k < 8; ++k) {
                const double* at = m + (j0 + k) * n1 + 2 * i0;
                __builtin_prefetch(at + 16 * n1);
                __builtin_prefetch(at + 16 * n1 + 8);
                std::memcpy(q[k], at, sizeof q[k]);
            }
#pragma GCC unroll 4
            for (std::size_t h = 0; h < 4; ++h) {
#pragma GCC unroll 2
                for (std::size_t e = 0; e < 2; ++e) {
                    const Quad t01 = __builtin_shufflevector(q[4 * e][h], q[4 * e + 1][h], 0, 4, 2, 6);
                    const Quad t23 = __builtin_shufflevector(q[4 * e + 2][h], q[4 * e + 3][h], 0, 4, 2, 6);
                    const Quad even = __builtin_shufflevector(t01, t23, 0, 1, 4, 5);
                    const Quad odd = __builtin_shufflevector(t01, t23, 2, 3, 6, 7);
                    std::memcpy(into + 2 * h * n0 + j0 + 4 * e, &even, sizeof even);
                    std::memcpy(into + (2 * h + 1) * n0 + j0 + 4 * e, &odd, sizeof odd);
                }
            }
            if (pending == nullptr) continue;
            add_octets(lanes, pending + done, 8);
            done += 64;
        }
        pending = into;
    }
    add_octets(lanes, pending, group / 8);
    double lane[8];
    std::memcpy(lane, &lanes, sizeof lane);
    return corvantile::folds::lanes_finish(lane, true, -0.0, false);
}

[[gnu::visibility("default")]] const char* floor_hwy_target() { return hwy::TargetName(hwy::DispatchedTarget()); }

// The sort the module runs on n float64 (float64 != 0) or int64 elements.
[[gnu::visibility("default")]] const char* floor_sort_method(int float64, std::size_t n) {
    return corvantile::sort_method(float64 != 0, n);
}

}  // extern "C"
