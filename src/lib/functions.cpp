#include "lib/functions.hpp"

#include "lib/forward.hpp"
#include "python/runtime/args.hpp"
#include "python/operators/operations.hpp"
#include "python/object/pyarray.hpp"

namespace corvantile::python {

namespace {

constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

// A row: the name, its entry, and the docstring made of the name, the signature and the text.
template <FixedString Name, auto Fn, FixedString Signature, FixedString Text = "">
PyMethodDef def(int flags = FASTCALL) {
    return {Name.c_str(), as_method(entry<Fn>), flags, ops::Joined<Name, Signature, "\n--\n\n", Text>::text.data()};
}

PyMethodDef FUNCTIONS[] = {
    def<"array", &array_function,
        "(object, dtype=None, *, copy=True, order='K', subok=False, ndmin=0, like=None)",
        "`array(object, dtype=None, ...)`: float64 natively, other dtypes and\n"
        "extra keywords via NumPy.">(),
    def<"asarray", &asarray_function,
        "(a, dtype=None, order=None, *, device=None, copy=None, like=None)",
        "`asarray(object, dtype=None, *, copy=None, device=None)`: returns the\n"
        "input itself when it already is a float64 corvantile (unless a copy is\n"
        "requested).">(),
    def<"zeros", &zeros_function, "(shape, dtype=float, order='C', *, device=None, like=None)">(),
    def<"ones", &ones_function, "(shape, dtype=None, order='C', *, device=None, like=None)">(),
    def<"empty", &empty_function, "(shape, dtype=float, order='C', *, device=None, like=None)">(),
    def<"full", &full_function, "(shape, fill_value, dtype=None, order='C', *, device=None, like=None)">(),
    def<"arange", &arange_function, "(start, stop=None, step=1, dtype=None, *, device=None, like=None)">(),
    def<"linspace", &linspace_function,
        "(start, stop, num=50, endpoint=True, retstep=False, dtype=None, axis=0, *, device=None)",
        "`linspace(start, stop, num=50, endpoint=True)`. `retstep`, `axis` and\n"
        "array-valued endpoints go through NumPy.">(METH_VARARGS | METH_KEYWORDS),
    def<"abs", &abs_function, "(x, *args, **kwargs)">(),
    def<"concatenate", &concatenate_function,
        "(arrays, axis=None, **kwargs)",
        "`concatenate(arrays, axis=0)` natively for corvantile inputs; anything\n"
        "else (mixed types, `out=`, `dtype=`) through NumPy.">(),
    def<"stack", &stack_function,
        "(arrays, axis=None, **kwargs)",
        "`stack(arrays, axis=0)`: insert a new axis of length one, then concatenate.">(),
    def<"where", &where_function, "(condition, x=None, y=None)">(),
    def<"sort", &sort_function,
        "(a, axis=-1, kind=None, order=None, *, stable=None, descending=False)",
        "`sort(a, axis=-1, kind=None, order=None, *, stable=None, descending=False)`:\n"
        "native for 1-D corvantile input; NumPy otherwise (`descending` is the\n"
        "Array API keyword NumPy lacks, applied by reversing along the axis).">(),
    def<"argsort", &argsort_function,
        "(a, axis=-1, kind=None, order=None, *, stable=None, descending=False)",
        "`argsort(a, axis=-1, kind=None, order=None, *, stable=None, descending=False)`:\n"
        "the `argsort` method for corvantile arrays, NumPy's function otherwise.\n"
        "`descending` is the Array API keyword NumPy lacks.">(),
    def<"_view_of", &view_of,
        "(source, numpy_view)",
        "`_view_of(source, numpy_view)`: a corvantile view sharing memory with\n"
        "`source` that has the layout of `numpy_view`, or None (see `view_of_numpy`).">(),
    def<"isclose", &isclose_function,
        "(a, b, rtol=1e-05, atol=1e-08, equal_nan=False)",
        "`isclose(a, b, rtol=1e-05, atol=1e-08, equal_nan=False)`: native for\n"
        "corvantile arrays and scalars (result is a NumPy bool array or np.bool_),\n"
        "NumPy otherwise.">(),
};

}  // namespace

std::span<PyMethodDef> module_functions() { return FUNCTIONS; }

}  // namespace corvantile::python
