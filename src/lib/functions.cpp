#include "lib/functions.hpp"

#include "lib/conversion.hpp"
#include "lib/creation.hpp"
#include "lib/forward.hpp"
#include "lib/joining.hpp"
#include "lib/sorting.hpp"
#include "lib/view_of.hpp"
#include "python/runtime/args.hpp"
#include "python/ndarray/pyarray.hpp"

namespace corvantile::python {

namespace {

constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef FUNCTIONS[] = {
    {"array", as_method(entry<&array_function>), FASTCALL,
     "array(object, dtype=None, *, copy=True, order='K', subok=False, ndmin=0, like=None)\n--\n\n"
     "`array(object, dtype=None, ...)`: float64 natively, other dtypes and\n"
     "extra keywords via NumPy."},
    {"asarray", as_method(entry<&asarray_function>), FASTCALL,
     "asarray(a, dtype=None, order=None, *, device=None, copy=None, like=None)\n--\n\n"
     "`asarray(object, dtype=None, *, copy=None, device=None)`: returns the\n"
     "input itself when it already is a float64 corvantile (unless a copy is\n"
     "requested)."},
    {"zeros", as_method(entry<&zeros_function>), FASTCALL,
     "zeros(shape, dtype=float, order='C', *, device=None, like=None)\n--\n\n"},
    {"ones", as_method(entry<&ones_function>), FASTCALL,
     "ones(shape, dtype=None, order='C', *, device=None, like=None)\n--\n\n"},
    {"empty", as_method(entry<&empty_function>), FASTCALL,
     "empty(shape, dtype=float, order='C', *, device=None, like=None)\n--\n\n"},
    {"full", as_method(entry<&full_function>), FASTCALL,
     "full(shape, fill_value, dtype=None, order='C', *, device=None, like=None)\n--\n\n"},
    {"arange", as_method(entry<&arange_function>), FASTCALL,
     "arange(start, stop=None, step=1, dtype=None, *, device=None, like=None)\n--\n\n"},
    {"linspace", as_method(entry<&linspace_function>), METH_VARARGS | METH_KEYWORDS,
     "linspace(start, stop, num=50, endpoint=True, retstep=False, dtype=None, axis=0, *, device=None)\n--\n\n"
     "`linspace(start, stop, num=50, endpoint=True)`. `retstep`, `axis` and\n"
     "array-valued endpoints go through NumPy."},
    {"abs", as_method(entry<&abs_function>), FASTCALL, "abs(x, *args, **kwargs)\n--\n\n"},
    {"concatenate", as_method(entry<&concatenate_function>), FASTCALL,
     "concatenate(arrays, axis=None, **kwargs)\n--\n\n"
     "`concatenate(arrays, axis=0)` natively for corvantile inputs; anything\n"
     "else (mixed types, `out=`, `dtype=`) through NumPy."},
    {"stack", as_method(entry<&stack_function>), FASTCALL,
     "stack(arrays, axis=None, **kwargs)\n--\n\n"
     "`stack(arrays, axis=0)`: insert a new axis of length one, then concatenate."},
    {"where", as_method(entry<&where_function>), FASTCALL, "where(condition, x=None, y=None)\n--\n\n"},
    {"sort", as_method(entry<&sort_function>), FASTCALL,
     "sort(a, axis=-1, kind=None, order=None, *, stable=None, descending=False)\n--\n\n"
     "`sort(a, axis=-1, kind=None, order=None, *, stable=None, descending=False)`:\n"
     "native for 1-D corvantile input; NumPy otherwise (`descending` is the\n"
     "Array API keyword NumPy lacks, applied by reversing along the axis)."},
    {"argsort", as_method(entry<&argsort_function>), FASTCALL,
     "argsort(a, axis=-1, kind=None, order=None, *, stable=None, descending=False)\n--\n\n"
     "`argsort(a, axis=-1, kind=None, order=None, *, stable=None, descending=False)`:\n"
     "the `argsort` method for corvantile arrays, NumPy's function otherwise.\n"
     "`descending` is the Array API keyword NumPy lacks."},
    {"_view_of", as_method(entry<&view_of>), FASTCALL,
     "_view_of(source, numpy_view)\n--\n\n"
     "`_view_of(source, numpy_view)`: a corvantile view sharing memory with\n"
     "`source` that has the layout of `numpy_view`, or None (see `view_of_numpy`)."},
    {"isclose", as_method(entry<&isclose_function>), FASTCALL,
     "isclose(a, b, rtol=1e-05, atol=1e-08, equal_nan=False)\n--\n\n"
     "`isclose(a, b, rtol=1e-05, atol=1e-08, equal_nan=False)`: native for\n"
     "corvantile arrays and scalars (result is a NumPy bool array or np.bool_),\n"
     "NumPy otherwise."},
};

}  // namespace

std::span<PyMethodDef> module_functions() { return FUNCTIONS; }

}  // namespace corvantile::python
