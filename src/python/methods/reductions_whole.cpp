// var, std, argmax, argmin, any, all, cumsum and cumprod: native only when called with
// no argument at all.

#include "python/numpy/fallback.hpp"
#include "python/numpy/numpy.hpp"
#include "python/object/pyarray.hpp"
#include "array/folds.hpp"
#include "python/methods/methods.hpp"

#include <cmath>
#include <format>
#include <functional>

namespace corvantile::python {

namespace {

// Runs compute on the float64 elements of self for a call without arguments; every
// other call or element kind goes to NumPy's method `name`.
template <class Compute>
Result<Ref> float_only(PyArray& self, std::string_view name, const CallArgs& args, Compute compute) {
    if (!args.empty()) return call_method_fallback(self, name, args);
    self.refresh();
    const auto* a = self.value.get_if<double>();
    if (a == nullptr) return call_method_fallback(self, name, args);
    return compute(a->data(), static_cast<std::size_t>(a->len()));
}

template <bool Max>
Result<Ref> arg_extreme(PyArray& self, std::string_view name, const CallArgs& args) {
    return float_only(self, name, args, [&](const double* x, std::size_t n) -> Result<Ref> {
        if (n == 0) return failure(Error::value_error(std::format("attempt to get {} of an empty sequence", name)));
        return np_i64(static_cast<std::int64_t>(folds::arg_extreme<Max>(x, n)));
    });
}

template <class Step>
Result<Ref> accumulate(PyArray& self, std::string_view name, const CallArgs& args, double init,
                       Step step) {
    return float_only(self, name, args, [&](const double* x, std::size_t n) -> Result<Ref> {
        auto dims = ArrayDims::make(Shape{n}, 8);
        if (!dims) return failure(array_error(std::move(dims.error())));
        double* out = nullptr;
        auto result = create_unwritten<double>(*dims, out);
        if (result) folds::scan(x, out, n, init, step);
        return result;
    });
}

// any / all over every element kind.
template <bool Any>
Result<Ref> truth_reduction(PyArray& self, std::string_view name, const CallArgs& args) {
    if (!args.empty()) return call_method_fallback(self, name, args);
    self.refresh();
    return np_bool(self.value.visit([](const auto& a) {
        const auto n = static_cast<std::size_t>(a.len());
        return Any ? folds::any_nonzero(a.data(), n) : folds::all_nonzero(a.data(), n);
    }));
}

}  // namespace

Result<Ref> var_method(PyArray& self, const CallArgs& args) {
    return float_only(self, "var", args, [](const double* x, std::size_t n) {
        return np_float(n == 0 ? folds::QUIET_NAN : folds::variance(x, n));
    });
}

Result<Ref> std_method(PyArray& self, const CallArgs& args) {
    return float_only(self, "std", args, [](const double* x, std::size_t n) {
        return np_float(n == 0 ? folds::QUIET_NAN : std::sqrt(folds::variance(x, n)));
    });
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
