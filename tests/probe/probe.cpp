// A test-only extension module that reaches the Python layer's building blocks directly:
// the entry frames, the argument matcher, deferred releases, one-time cells, the ndarray
// object, the NumPy scalar makers and operand classification. Not part of the package.

#include "array/array.hpp"
#include "python/runtime/args.hpp"
#include "python/convert/classify.hpp"
#include "python/runtime/frame.hpp"
#include "python/numpy/numpy.hpp"
#include "python/runtime/once.hpp"
#include "python/object/pyarray.hpp"

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

// native_copy(a): an owned native copy of a C-contiguous float64 buffer.
Result<Ref> native_copy(PyObject*, PyObject* source) {
    Py_buffer view;
    if (PyObject_GetBuffer(source, &view, PyBUF_C_CONTIGUOUS) != 0) return failure();
    std::vector<double> data(static_cast<std::size_t>(view.len) / sizeof(double));
    if (!data.empty()) std::memcpy(data.data(), view.buf, data.size() * sizeof(double));
    const std::vector<std::uint64_t> shape(view.shape, view.shape + view.ndim);
    PyBuffer_Release(&view);
    auto a = Array<double>::from_vec(std::move(data), shape);
    if (!a) return failure(array_error(std::move(a.error())));
    return create_class_object(AnyArray(std::move(*a)));
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

std::string text(PyObject* s) {
    const char* p = PyUnicode_AsUTF8(s);
    return p != nullptr ? p : "";
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

Result<Ref> described(const Operand& op) {
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

Result<Ref> classify_probe(PyObject*, PyObject* obj) { return described(classify(obj)); }
Result<Ref> classify_stored_probe(PyObject*, PyObject* obj) { return described(classify_stored(obj)); }

Result<Ref> numpy_handles_probe(PyObject*, PyObject* obj) {
    const bool handles = numpy_handles(obj);
    if (PyErr_Occurred()) return failure();
    return Ref::borrow(handles ? Py_True : Py_False);
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
    {"is_ndarray", as_method(entry<&is_ndarray_probe>), METH_O, nullptr},
    {"as_ndarray", as_method(entry<&as_ndarray_probe>), METH_O, nullptr},
    {"ndarray_type", as_method(entry<&ndarray_type_probe>), METH_NOARGS, nullptr},
    {"element_count", as_method(entry<&element_count>), METH_O, nullptr},
    {"scalar", as_method(entry<&scalar>), FASTCALL, nullptr},
    {"fast_road", as_method(entry<&fast_road>), METH_NOARGS, nullptr},
    {"classify", as_method(entry<&classify_probe>), METH_O, nullptr},
    {"classify_stored", as_method(entry<&classify_stored_probe>), METH_O, nullptr},
    {"numpy_handles", as_method(entry<&numpy_handles_probe>), METH_O, nullptr},
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
