// The floor for the functions computed through the C library: the same library function
// in a plain loop, built with the module's flags. Loaded by the benchmarks through ctypes,
// which also read from here the target Highway's dispatch chose on this CPU.

#include <cmath>
#include <cstddef>

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

[[gnu::visibility("default")]] const char* floor_hwy_target() { return hwy::TargetName(hwy::DispatchedTarget()); }

}  // extern "C"
