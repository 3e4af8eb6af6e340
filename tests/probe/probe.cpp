// A test-only extension module that reaches the Python layer's building blocks directly:
// the entry frames, the argument matcher, deferred releases, one-time cells, the ndarray
// object, views of real memory, the fallback road, the NumPy scalar makers and operand
// classification. Not part of the package.

#include "array/array.hpp"
#include "python/runtime/args.hpp"
#include "python/convert/classify.hpp"
#include "python/numpy/fallback.hpp"
#include "python/runtime/frame.hpp"
#include "python/runtime/module.hpp"
#include "python/numpy/numpy.hpp"
#include "python/runtime/once.hpp"
#include "python/operators/operators.hpp"
#include "python/object/pyarray.hpp"
#include "python/object/strided.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace corvantile::python {
namespace {

constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

Result<Ref> none() { return Ref::borrow(Py_None); }

// ---- argument matcher -------------------------------------------------------------------

// A signature described from Python: (function, [(name, kind, required)], var_args, var_kwargs),
// kind 0 positional-only, 1 either, 2 keyword-only.
struct DynamicSignature {
    std::vector<std::string> names;
    std::vector<Param> params;
    Signature sig;
    std::string function;
};

Result<DynamicSignature*> parse_signature(PyObject* spec, DynamicSignature& out) {
    PyObject *function, *params;
    int var_args, var_kwargs;
    if (!PyArg_ParseTuple(spec, "UOpp", &function, &params, &var_args, &var_kwargs)) return failure();
    out.function = PyUnicode_AsUTF8(function);
    Ref seq = Ref::steal(PySequence_Fast(params, "params"));
    if (!seq) return failure();
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    out.names.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const char* name;
        int kind, required;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq.get(), i), "sip", &name, &kind, &required)) return failure();
        out.names.emplace_back(name);
        out.params.push_back(Param{{}, static_cast<ParamKind>(kind), required != 0});
    }
    for (std::size_t i = 0; i < out.params.size(); ++i) out.params[i].name = out.names[i];
    out.sig = Signature{out.function, out.params, var_args != 0, var_kwargs != 0};
    return &out;
}

// (values with missing ones as the string "<missing>", rest, kwargs)
Result<Ref> bound_tuple(std::span<PyObject*> values, Ref& rest, Ref& kwargs) {
    auto t = check(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!t) return t;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* v = values[i] != nullptr ? Py_NewRef(values[i]) : PyUnicode_FromString("<missing>");
        if (v == nullptr) return failure();
        PyTuple_SET_ITEM(t->get(), static_cast<Py_ssize_t>(i), v);
    }
    return check(PyTuple_Pack(3, t->get(), rest ? rest.get() : Py_None, kwargs ? kwargs.get() : Py_None));
}

// match_fast(spec, *args, **kwargs): the fast-call matcher.
Result<Ref> match_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 1) return failure(Error::type_error("spec required"));
    DynamicSignature d;
    if (auto p = parse_signature(args[0], d); !p) return failure(std::move(p.error()));
    std::vector<PyObject*> values(d.params.size());
    Ref rest, kwargs;
    if (auto r = match(d.sig, args + 1, nargs - 1, kwnames, values, &rest, &kwargs); !r) {
        return failure(std::move(r.error()));
    }
    return bound_tuple(values, rest, kwargs);
}

// match_dict(spec, *args, **kwargs): the tuple-and-dict matcher.
Result<Ref> match_dict(PyObject*, PyObject* args, PyObject* kwargs_in) {
    if (PyTuple_GET_SIZE(args) < 1) return failure(Error::type_error("spec required"));
    DynamicSignature d;
    if (auto p = parse_signature(PyTuple_GET_ITEM(args, 0), d); !p) return failure(std::move(p.error()));
    auto tail = check(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
    if (!tail) return tail;
    std::vector<PyObject*> values(d.params.size());
    Ref rest, kwargs;
    if (auto r = match(d.sig, tail->get(), kwargs_in, values, &rest, &kwargs); !r) {
        return failure(std::move(r.error()));
    }
    return bound_tuple(values, rest, kwargs);
}

// ---- frames -----------------------------------------------------------------------------

[[noreturn]] void throw_kind(long kind) {
    switch (kind) {
        case 0: internal_failure("broken invariant");
        case 1: throw std::bad_alloc();
        case 2: throw std::runtime_error("runtime failure");
        case 3: internal_failure("");
        default: throw 42;
    }
}

Result<Ref> fail(PyObject*, PyObject* kind) {
    const long k = PyLong_AsLong(kind);
    if (k == -1 && PyErr_Occurred()) return failure();
    throw_kind(k);
}

PyObject* fail_light(PyObject*, PyObject* kind) noexcept {
    return light_frame("probe_light", [&]() -> Result<Ref> { return fail(nullptr, kind); });
}

Result<Ref> attach_depth(PyObject*, PyObject*) { return check(PyLong_FromLong(ATTACH_DEPTH)); }

PyObject* attach_depth_light(PyObject*, PyObject*) noexcept {
    return light_frame("probe_light", [] { return check(PyLong_FromLong(ATTACH_DEPTH)); });
}

// ---- deferred releases ------------------------------------------------------------------

// Drops one reference to each argument, in order, from a thread that has no
// interpreter state.
Result<Ref> release_on_foreign_thread(PyObject*, PyObject* args) {
    std::vector<Ref> held;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) held.push_back(Ref::borrow(PyTuple_GET_ITEM(args, i)));
    Py_BEGIN_ALLOW_THREADS
    std::thread([&held] {
        for (Ref& r : held) r.reset();
    }).join();
    Py_END_ALLOW_THREADS
    return none();
}

// Drops one reference to obj on this thread while it is detached.
Result<Ref> release_while_detached(PyObject*, PyObject* obj) {
    Ref held = Ref::borrow(obj);
    Py_BEGIN_ALLOW_THREADS
    held.reset();
    Py_END_ALLOW_THREADS
    return none();
}

Result<Ref> noop(PyObject*, PyObject*) { return none(); }

// ---- one-time cells ---------------------------------------------------------------------

constinit std::array<OnceCell<Ref>, 16> CELLS;

// once_cell(index, init): the cell's value, calling init() to fill it.
Result<Ref> once_cell(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
    if (nargs != 2) return failure(Error::type_error("once_cell(index, init)"));
    const long i = PyLong_AsLong(args[0]);
    if (i < 0 || i >= static_cast<long>(CELLS.size())) return failure(Error::value_error("bad cell"));
    PyObject* init = args[1];
    auto v = CELLS[static_cast<std::size_t>(i)].get_or_init([init] { return check(PyObject_CallNoArgs(init)); });
    if (!v) return failure(std::move(v.error()));
    return (*v)->clone();
}

// ---- ndarray ----------------------------------------------------------------------------

// native_copy(a): an owned native copy of a C-contiguous float64, int64 or bool buffer.
Result<Ref> native_copy(PyObject*, PyObject* source) {
    Py_buffer view;
    if (PyObject_GetBuffer(source, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) return failure();
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    std::vector<std::uint64_t> shape(view.shape, view.shape + view.ndim);
    auto copy = [&]<class T>(T) -> Result<Ref> {
        std::vector<T> data(static_cast<std::size_t>(view.len) / sizeof(T));
        if (!data.empty()) std::memcpy(data.data(), view.buf, static_cast<std::size_t>(view.len));
        auto a = Array<T>::from_vec(std::move(data), shape);
        if (!a) return failure(array_error(std::move(a.error())));
        return create_class_object(AnyArray(std::move(*a)));
    };
    const std::string format = view.format != nullptr ? view.format : "B";
    if (format == "d") return copy(double{});
    if (format == "l" || format == "q") return copy(std::int64_t{});
    if (format == "?") return copy(Bool{});
    return failure(Error::type_error("native_copy: float64, int64 or bool only"));
}

// select_view(a, key): the view of a basic selection of ints and slices (one per leading
// axis), made from the layout of a's real memory.
Result<Ref> select_view(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
    if (nargs != 2 || !PyTuple_Check(args[1])) return failure(Error::type_error("select_view(a, key)"));
    auto a = as_ndarray(args[0]);
    if (!a) return failure(std::move(a.error()));
    std::vector<Selector> selectors;
    auto shape = (*a)->value.shape();
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(args[1]); ++k) {
        PyObject* item = PyTuple_GET_ITEM(args[1], k);
        if (PySlice_Check(item)) {
            Py_ssize_t start, stop, step, len;
            const auto axis_len = static_cast<Py_ssize_t>(static_cast<std::size_t>(k) < shape.size() ? shape[k] : 0);
            if (PySlice_GetIndicesEx(item, axis_len, &start, &stop, &step, &len) != 0) return failure();
            selectors.emplace_back(Selector::Slice{start, stop, step});
        } else {
            const long long i = PyLong_AsLongLong(item);
            if (i == -1 && PyErr_Occurred()) return failure();
            selectors.emplace_back(Selector::Index{i});
        }
    }
    auto plan = (*a)->value.selection_plan(selectors);
    if (!plan) return failure(array_error(std::move(plan.error())));
    return view_from_layout(**a, Layout::of(**a).select(*plan, selectors));
}

// layout_view(a, offset, shape, strides): the view of a raw layout starting `offset` bytes
// into a's real memory. Unchecked: the test keeps it inside a's memory.
Result<Ref> layout_view(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
    if (nargs != 4) return failure(Error::type_error("layout_view(a, offset, shape, strides)"));
    auto a = as_ndarray(args[0]);
    if (!a) return failure(std::move(a.error()));
    const long long offset = PyLong_AsLongLong(args[1]);
    if (offset == -1 && PyErr_Occurred()) return failure();
    Ref shape = Ref::steal(PySequence_Fast(args[2], "shape"));
    Ref strides = Ref::steal(PySequence_Fast(args[3], "strides"));
    if (!shape || !strides) return failure();
    Layout layout = Layout::of(**a);
    layout.data += offset;
    layout.ndim = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(shape.get()));
    if (layout.ndim > MAX_NDIM || PySequence_Fast_GET_SIZE(strides.get()) != PySequence_Fast_GET_SIZE(shape.get())) {
        return failure(Error::value_error("bad layout"));
    }
    layout.shape = {};
    layout.strides = {};
    for (std::size_t k = 0; k < layout.ndim; ++k) {
        layout.shape[k] = PyLong_AsUnsignedLongLong(PySequence_Fast_GET_ITEM(shape.get(), static_cast<Py_ssize_t>(k)));
        layout.strides[k] = PyLong_AsLongLong(PySequence_Fast_GET_ITEM(strides.get(), static_cast<Py_ssize_t>(k)));
        if (PyErr_Occurred()) return failure();
    }
    return view_from_layout(**a, layout);
}

// write_flat(a, values): writes the values (floats, ints or bools by a's kind) into a's
// elements in C order through the shadow, then commits.
Result<Ref> write_flat(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
    if (nargs != 2) return failure(Error::type_error("write_flat(a, values)"));
    auto a = as_ndarray(args[0]);
    if (!a) return failure(std::move(a.error()));
    Ref seq = Ref::steal(PySequence_Fast(args[1], "values"));
    if (!seq) return failure();
    PyArray& self = **a;
    self.refresh();
    const auto n = std::min<std::uint64_t>(self.value.len(), static_cast<std::uint64_t>(PySequence_Fast_GET_SIZE(seq.get())));
    auto written = self.value.visit([&]<class T>(Array<T>& arr) -> Result<> {
        for (std::uint64_t i = 0; i < n; ++i) {
            PyObject* v = PySequence_Fast_GET_ITEM(seq.get(), static_cast<Py_ssize_t>(i));
            if constexpr (std::is_same_v<T, double>) {
                arr.data()[i] = PyFloat_AsDouble(v);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                arr.data()[i] = PyLong_AsLongLong(v);
            } else {
                arr.data()[i] = to_bool(PyObject_IsTrue(v) == 1);
            }
            if (PyErr_Occurred()) return failure();
        }
        return {};
    });
    if (!written) return failure(std::move(written.error()));
    self.commit();
    return none();
}

Result<Ref> is_ndarray_probe(PyObject*, PyObject* obj) { return Ref::borrow(is_ndarray(obj) ? Py_True : Py_False); }

Result<Ref> as_ndarray_probe(PyObject*, PyObject* obj) {
    auto a = as_ndarray(obj);
    if (!a) return failure(std::move(a.error()));
    return Ref::borrow(obj);
}

Result<Ref> ndarray_type_probe(PyObject*, PyObject*) {
    auto t = ndarray_type();
    if (!t) return failure(std::move(t.error()));
    return Ref::borrow(reinterpret_cast<PyObject*>(*t));
}

// A body taking PyArray&: its frame runs the ndarray check on that argument.
Result<Ref> element_count(PyObject*, PyArray& a) { return check(PyLong_FromUnsignedLongLong(a.value.len())); }

// raise_array_error(variant): the conversion of each kind of array error.
Result<Ref> raise_array_error(PyObject*, PyObject* kind) {
    const long k = PyLong_AsLong(kind);
    if (k == -1 && PyErr_Occurred()) return failure();
    switch (k) {
        case 0: return failure(array_error(ArrayError(ArrayError::ShapeMismatch{{2, 3}, {4}})));
        case 1: return failure(array_error(ArrayError(ArrayError::SizeMismatch{6, 5})));
        case 2: return failure(array_error(ArrayError(DimsError{9})));
        case 3: return failure(array_error(ArrayError(ArrayError::IndexOutOfBounds{5, 0, 3})));
        case 4: return failure(array_error(ArrayError(ArrayError::TooManyIndices{3, 2})));
        default: return failure(array_error(ArrayError(ArrayError::Message{"some message"})));
    }
}

// ---- module namespace and the patch switch ---------------------------------------------

Result<Ref> add_name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
    if (nargs != 3) return failure(Error::type_error("add_name(module, name, value)"));
    if (auto r = add_to_module(args[0], args[1], args[2]); !r) return failure(std::move(r.error()));
    return none();
}

Result<Ref> dunder_array(PyObject*, PyObject*) {
    return Ref::borrow(called_from_dunder_array() ? Py_True : Py_False);
}

// ---- fallback road ----------------------------------------------------------------------

std::string text(PyObject* s) {
    const char* p = PyUnicode_AsUTF8(s);
    return p != nullptr ? p : "";
}

// fb_call_vector(name, *args, **kwargs): the fast call handed on unchanged.
Result<Ref> fb_call_vector(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 1) return failure(Error::type_error("name required"));
    return fallback::call_vector(args[0], args + 1, nargs - 1, kwnames);
}

// fb_call_method_vector(a, name, *args, **kwargs): NumPy's method, from a fast call.
Result<Ref> fb_call_method_vector(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs < 2) return failure(Error::type_error("object and name required"));
    return fallback::call_method_vector(args[0], text(args[1]), args + 2, nargs - 2, kwnames);
}

// ---- NumPy scalars ----------------------------------------------------------------------

// scalar(kind, value, road): kind "f", "i" or "b"; road "auto" or "slow".
Result<Ref> scalar(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
    if (nargs != 3) return failure(Error::type_error("scalar(kind, value, road)"));
    const std::string kind = text(args[0]);
    const bool slow = text(args[2]) == "slow";
    if (kind == "f") {
        const double v = PyFloat_AsDouble(args[1]);
        if (v == -1.0 && PyErr_Occurred()) return failure();
        return slow ? np_float_slow(v) : np_float(v);
    }
    if (kind == "i") {
        const long long v = PyLong_AsLongLong(args[1]);
        if (v == -1 && PyErr_Occurred()) return failure();
        return slow ? np_i64_slow(v) : np_i64(v);
    }
    const int truth = PyObject_IsTrue(args[1]);
    if (truth < 0) return failure();
    return slow ? np_bool_slow(truth != 0) : np_bool(truth != 0);
}

Result<Ref> fast_road(PyObject*, PyObject*) {
    return Ref::borrow(numpy_scalars().has_value() ? Py_True : Py_False);
}

// ---- classification and conversion of foreign objects ----------------------------------

Result<Ref> classify_probe(PyObject*, PyObject* obj) {
    Operand op = classify(obj);
    if (op.is<Operand::Unsupported>() && PyErr_Occurred()) return failure();
    return op.visit([](const auto& v) -> Result<Ref> {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, Operand::F64Array>) return check(Py_BuildValue("(sO)", "F64Array", Py_None));
        else if constexpr (std::is_same_v<V, Operand::OtherArray>)
            return check(Py_BuildValue("(ss)", "OtherArray", std::string(v.array->dtype_name()).c_str()));
        else if constexpr (std::is_same_v<V, Operand::FloatScalar>)
            return check(Py_BuildValue("(sdO)", "FloatScalar", v.value, v.big_int ? Py_True : Py_False));
        else if constexpr (std::is_same_v<V, Operand::IntScalar>)
            return check(Py_BuildValue("(sL)", "IntScalar", static_cast<long long>(v.value)));
        else if constexpr (std::is_same_v<V, Operand::BoolScalar>)
            return check(Py_BuildValue("(sO)", "BoolScalar", v.value ? Py_True : Py_False));
        else return check(Py_BuildValue("(sO)", "Unsupported", Py_None));
    });
}

Result<Ref> numpy_handles_probe(PyObject*, PyObject* obj) {
    const bool handles = numpy_handles(obj);
    if (PyErr_Occurred()) return failure();
    return Ref::borrow(handles ? Py_True : Py_False);
}

Result<Ref> bool_mask_probe(PyObject*, PyObject* obj) {
    auto mask = bool_mask(obj);
    if (!mask) return Ref::borrow(Py_None);
    Ref values = Ref::steal(PyList_New(0));
    Ref shape = Ref::steal(PyList_New(0));
    if (!values || !shape) return failure();
    for (Bool b : mask->values) {
        if (PyList_Append(values.get(), is_true(b) ? Py_True : Py_False) < 0) return failure();
    }
    for (std::uint64_t n : mask->shape) {
        Ref v = Ref::steal(PyLong_FromUnsignedLongLong(n));
        if (!v || PyList_Append(shape.get(), v.get()) < 0) return failure();
    }
    return check(PyTuple_Pack(2, values.get(), shape.get()));
}

// operator_function(name, a, b): the engine's result, or "<empty>" when it declines.
Result<Ref> operator_function_probe(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
    if (nargs != 3) return failure(Error::type_error("operator_function(name, a, b)"));
    const char* name = PyUnicode_AsUTF8(args[0]);
    if (name == nullptr) return failure();
    auto r = operator_function(std::string_view(name), args[1], args[2]);
    if (!r) return failure(std::move(r.error()));
    if (!*r) return check(PyUnicode_FromString("<empty>"));
    return std::move(**r);
}
PyMethodDef FUNCTIONS[] = {
    {"match_fast", as_method(entry<&match_fast>), FASTCALL, nullptr},
    {"match_dict", as_method(entry<&match_dict>), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"fail", as_method(entry<&fail>), METH_O, nullptr},
    {"fail_light", as_method(&fail_light), METH_O, nullptr},
    {"attach_depth", as_method(entry<&attach_depth>), METH_NOARGS, nullptr},
    {"attach_depth_light", as_method(&attach_depth_light), METH_NOARGS, nullptr},
    {"release_on_foreign_thread", as_method(entry<&release_on_foreign_thread>), METH_VARARGS, nullptr},
    {"release_while_detached", as_method(entry<&release_while_detached>), METH_O, nullptr},
    {"noop", as_method(entry<&noop>), METH_NOARGS, nullptr},
    {"once_cell", as_method(entry<&once_cell>), FASTCALL, nullptr},
    {"native_copy", as_method(entry<&native_copy>), METH_O, nullptr},
    {"select_view", as_method(entry<&select_view>), FASTCALL, nullptr},
    {"write_flat", as_method(entry<&write_flat>), FASTCALL, nullptr},
    {"layout_view", as_method(entry<&layout_view>), FASTCALL, nullptr},
    {"is_ndarray", as_method(entry<&is_ndarray_probe>), METH_O, nullptr},
    {"as_ndarray", as_method(entry<&as_ndarray_probe>), METH_O, nullptr},
    {"ndarray_type", as_method(entry<&ndarray_type_probe>), METH_NOARGS, nullptr},
    {"element_count", as_method(entry<&element_count>), METH_O, nullptr},
    {"raise_array_error", as_method(entry<&raise_array_error>), METH_O, nullptr},
    {"add_name", as_method(entry<&add_name>), FASTCALL, nullptr},
    {"set_patch_active", as_method(entry<&set_patch_active>), FASTCALL, nullptr},
    {"called_from_dunder_array", as_method(entry<&dunder_array>), METH_NOARGS, nullptr},
    {"fb_call_vector", as_method(entry<&fb_call_vector>), FASTCALL, nullptr},
    {"fb_call_method_vector", as_method(entry<&fb_call_method_vector>), FASTCALL, nullptr},
    {"scalar", as_method(entry<&scalar>), FASTCALL, nullptr},
    {"fast_road", as_method(entry<&fast_road>), METH_NOARGS, nullptr},
    {"classify", as_method(entry<&classify_probe>), METH_O, nullptr},
    {"numpy_handles", as_method(entry<&numpy_handles_probe>), METH_O, nullptr},
    {"bool_mask", as_method(entry<&bool_mask_probe>), METH_O, nullptr},
    {"operator_function", as_method(entry<&operator_function_probe>), FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

Result<> exec(PyObject*) {
    install_owner_hooks();
    return {};
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, as_slot(entry<&exec>)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef DEF = {PyModuleDef_HEAD_INIT, "_corvantile_probe", nullptr, 0, FUNCTIONS, SLOTS,
                   nullptr,      nullptr, nullptr};

}  // namespace
}  // namespace corvantile::python

PyMODINIT_FUNC PyInit__corvantile_probe() { return PyModuleDef_Init(&corvantile::python::DEF); }
