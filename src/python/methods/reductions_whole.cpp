// var, std, argmax, argmin, any, all, cumsum and cumprod: native only when called with
// no argument at all.

#include "python/numpy/fallback.hpp"
#include "python/numpy/numpy.hpp"
#include "python/object/pyarray.hpp"
#include "array/folds.hpp"
#include "python/methods/fold_view.hpp"
#include "python/methods/methods.hpp"

#include <cmath>
#include <format>
#include <functional>

namespace corvantile::python {

namespace {

// Runs compute(x, n) on the float64 elements of self for a call without arguments, or
// on_view(layout) for a strided view of walk::SMALL_FOLD elements or more (read in
// place); every other call or element kind goes to NumPy's method `name`.
template <class Compute, class OnView>
Result<Ref> float_only(PyArray& self, std::string_view name, const CallArgs& args, Compute compute, OnView on_view) {
    if (!args.empty() || self.value.kind() != ElementKind::F64) return call_method_fallback(self, name, args);
    return fold_source<double>(self, compute, on_view);
}

template <bool Max>
Result<Ref> arg_extreme(PyArray& self, std::string_view name, const CallArgs& args) {
    return float_only(
        self, name, args,
        [&](const double* x, std::size_t n) -> Result<Ref> {
            if (n == 0)
                return failure(Error::value_error(std::format("attempt to get {} of an empty sequence", name)));
            const std::size_t at = n < walk::SMALL_SCAN ? walk::small_arg_extreme<Max>(x, n) : folds::arg_extreme<Max>(x, n);
            return np_i64(static_cast<std::int64_t>(at));
        },
        [](const walk::Strided& s) -> Result<Ref> {
            return np_i64(static_cast<std::int64_t>(walk::arg_extreme<Max>(s)));
        });
}

template <class Step>
Result<Ref> accumulate(PyArray& self, std::string_view name, const CallArgs& args, double init,
                       Step step) {
    const auto result_of = [](std::size_t n, double*& out) -> Result<Ref> {
        auto dims = ArrayDims::make(Shape{n}, 8);
        if (!dims) return failure(array_error(std::move(dims.error())));
        return create_unwritten<double>(*dims, out);
    };
    return float_only(
        self, name, args,
        [&](const double* x, std::size_t n) -> Result<Ref> {
            double* out = nullptr;
            auto result = result_of(n, out);
            if (result) folds::scan(x, out, n, init, step);
            return result;
        },
        [&](const walk::Strided& s) -> Result<Ref> {
            double* out = nullptr;
            auto result = result_of(static_cast<std::size_t>(s.size()), out);
            if (result) walk::scan(s, out, init, step);
            return result;
        });
}

// any / all over every element kind.
template <bool Any>
Result<Ref> truth_reduction(PyArray& self, std::string_view name, const CallArgs& args) {
    if (!args.empty()) return call_method_fallback(self, name, args);
    return np_bool(self.value.visit([&]<class T>(const Array<T>&) {
        return fold_source<T>(
            self,
            [](const T* x, std::size_t n) { return walk::run_any_all<Any, T>(x, n); },
            [](const walk::Strided& s) { return walk::any_all<Any, T>(s); });
    }));
}

}  // namespace

Result<Ref> var_method(PyArray& self, const CallArgs& args) {
    return float_only(
        self, "var", args,
        [](const double* x, std::size_t n) { return np_float(n == 0 ? folds::QUIET_NAN : folds::variance(x, n)); },
        [](const walk::Strided& s) { return np_float(walk::variance(s)); });
}

Result<Ref> std_method(PyArray& self, const CallArgs& args) {
    return float_only(
        self, "std", args,
        [](const double* x, std::size_t n) {
            return np_float(n == 0 ? folds::QUIET_NAN : std::sqrt(folds::variance(x, n)));
        },
        [](const walk::Strided& s) { return np_float(std::sqrt(walk::variance(s))); });
}

Result<Ref> argmax_method(PyArray& self, const CallArgs& args) { return arg_extreme<true>(self, "argmax", args); }

Result<Ref> argmin_method(PyArray& self, const CallArgs& args) { return arg_extreme<false>(self, "argmin", args); }

Result<Ref> any_method(PyArray& self, const CallArgs& args) {
    return truth_reduction<true>(self, "any", args);
}

Result<Ref> all_method(PyArray& self, const CallArgs& args) {
    return truth_reduction<false>(self, "all", args);
}

Result<Ref> cumsum_method(PyArray& self, const CallArgs& args) {
    return accumulate(self, "cumsum", args, 0.0, folds::AddStep{});
}

Result<Ref> cumprod_method(PyArray& self, const CallArgs& args) {
    return accumulate(self, "cumprod", args, 1.0, folds::MulStep{});
}

}  // namespace corvantile::python
