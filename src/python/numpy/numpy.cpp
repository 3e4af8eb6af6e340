#include "python/numpy/numpy.hpp"

#include "python/runtime/once.hpp"

namespace corvantile::python {

namespace {

constinit OnceCell<Ref> NP_NDARRAY;
constinit OnceCell<Ref> NP_INTP;
constinit OnceCell<Ref> NP_BOOL;
constinit OnceCell<Ref> NP_FLOAT64;
constinit OnceCell<std::optional<NumpyScalars>> NP_SCALARS;
constinit const std::optional<NumpyScalars> NO_SCALARS;
constinit OnceCell<std::optional<NumpyArrays>> NP_ARRAYS;
constinit const std::optional<NumpyArrays> NO_ARRAYS;

// The table index of PyArray_Scalar and the ABI version whose layout we know.
constexpr std::size_t SCALAR_ENTRY = 60;
constexpr std::size_t NDARRAY_ENTRY = 2, NEW_FROM_DESCR_ENTRY = 94, SET_BASE_ENTRY = 282;
constexpr int WRITEABLE = 0x0400;  // contiguity and alignment NumPy derives from the strides
constexpr unsigned int KNOWN_ABI_VERSION = 0x02000000;

Result<Ref> numpy_attribute(const char* name) {
    auto numpy = check(PyImport_ImportModule("numpy"));
    if (!numpy) return numpy;
    return check(PyObject_GetAttrString(numpy->get(), name));
}

Result<PyObject*> handle(OnceCell<Ref>& cell, const char* name) {
    auto v = cell.get_or_init([name] { return numpy_attribute(name); });
    if (!v) return failure(std::move(v.error()));
    return (*v)->get();
}

// Calls the NumPy type in `cell` with one argument, which it consumes.
Result<Ref> call_type(OnceCell<Ref>& cell, const char* name, Ref argument) {
    if (!argument) return failure();
    auto type = handle(cell, name);
    if (!type) return failure(std::move(type.error()));
    return check(PyObject_CallOneArg(*type, argument.get()));
}

// NumPy's C API table, when its ABI version is one whose layout we know; null otherwise
// (an error may be set). The capsule lives as long as NumPy's module.
void** api_table() {
    Ref capsule;
    {
        auto umath = check(PyImport_ImportModule("numpy._core._multiarray_umath"));
        if (!umath) return nullptr;
        capsule = Ref::steal(PyObject_GetAttrString(umath->get(), "_ARRAY_API"));
        if (!capsule) return nullptr;
    }
    if (!PyCapsule_CheckExact(capsule.get())) return nullptr;
    auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
    if (table == nullptr) return nullptr;  // no NumPy C API table
    // Entry 0 reports the table's ABI version; only a layout we know is used.
    auto abi_version = reinterpret_cast<unsigned int (*)()>(table[0]);
    if (abi_version == nullptr || abi_version() != KNOWN_ABI_VERSION) return nullptr;
    return table;
}

// What both loads start from: NumPy's module, its C API table and numpy.dtype.
struct Start {
    Ref numpy;
    void** table;
    Ref dtype;
};
std::optional<Start> start_load() {
    auto numpy = check(PyImport_ImportModule("numpy"));
    if (!numpy) return std::nullopt;
    void** table = api_table();
    if (table == nullptr) return std::nullopt;
    Ref dtype = Ref::steal(PyObject_GetAttrString(numpy->get(), "dtype"));
    if (!dtype) return std::nullopt;
    return Start{std::move(*numpy), table, std::move(dtype)};
}

// The steps of the load; nullopt at the first failure.
std::optional<NumpyScalars> try_load() {
    auto start = start_load();
    if (!start) return std::nullopt;
    const Ref& numpy = start->numpy;
    const Ref& dtype = start->dtype;
    auto scalar = reinterpret_cast<ScalarFunction>(start->table[SCALAR_ENTRY]);
    if (scalar == nullptr) return std::nullopt;

    NumpyScalars s;
    s.scalar = scalar;
    s.float64_descr = Ref::steal(PyObject_CallFunction(dtype.get(), "s", "float64"));
    if (!s.float64_descr) return std::nullopt;
    s.int64_descr = Ref::steal(PyObject_CallFunction(dtype.get(), "s", "int64"));
    if (!s.int64_descr) return std::nullopt;
    s.true_ = Ref::steal(PyObject_GetAttrString(numpy.get(), "True_"));
    if (!s.true_) return std::nullopt;
    s.false_ = Ref::steal(PyObject_GetAttrString(numpy.get(), "False_"));
    if (!s.false_) return std::nullopt;

    // Self-test: exactly numpy.float64 / numpy.int64 of the values given.
    const double f = -2.5;
    const std::int64_t i = -7, big = INT64_MAX;
    auto f_obj = NumpyScalars::make(scalar, &f, s.float64_descr.get());
    if (!f_obj) return std::nullopt;
    auto i_obj = NumpyScalars::make(scalar, &i, s.int64_descr.get());
    if (!i_obj) return std::nullopt;

    Ref f_type = Ref::steal(PyObject_GetAttrString(numpy.get(), "float64"));
    if (!f_type || !PyType_Check(f_type.get())) return std::nullopt;
    if (Py_TYPE(f_obj->get()) != reinterpret_cast<PyTypeObject*>(f_type.get())) return std::nullopt;
    const double f_back = PyFloat_AsDouble(f_obj->get());
    if (f_back == -1.0 && PyErr_Occurred()) return std::nullopt;
    if (!(f_back == f)) return std::nullopt;

    Ref i_type = Ref::steal(PyObject_GetAttrString(numpy.get(), "int64"));
    if (!i_type || !PyType_Check(i_type.get())) return std::nullopt;
    if (Py_TYPE(i_obj->get()) != reinterpret_cast<PyTypeObject*>(i_type.get())) return std::nullopt;
    const long long i_back = PyLong_AsLongLong(i_obj->get());
    if (i_back == -1 && PyErr_Occurred()) return std::nullopt;
    if (i_back != i) return std::nullopt;

    auto big_obj = NumpyScalars::make(scalar, &big, s.int64_descr.get());
    if (!big_obj) return std::nullopt;
    const long long big_back = PyLong_AsLongLong(big_obj->get());
    if (big_back == -1 && PyErr_Occurred()) return std::nullopt;
    if (big_back != big) return std::nullopt;  // PyArray_Scalar does not behave as expected
    return s;
}

std::optional<NumpyArrays> try_load_arrays() {
    auto start = start_load();
    if (!start) return std::nullopt;
    const Ref& numpy = start->numpy;
    const Ref& dtype = start->dtype;
    void** table = start->table;
    NumpyArrays a;
    a.new_from_descr = reinterpret_cast<NumpyArrays::NewFromDescr>(table[NEW_FROM_DESCR_ENTRY]);
    a.set_base = reinterpret_cast<NumpyArrays::SetBase>(table[SET_BASE_ENTRY]);
    a.ndarray = static_cast<PyTypeObject*>(table[NDARRAY_ENTRY]);
    if (!a.new_from_descr || !a.set_base || !a.ndarray) return std::nullopt;
    Ref np_ndarray = Ref::steal(PyObject_GetAttrString(numpy.get(), "ndarray"));
    if (np_ndarray.get() != reinterpret_cast<PyObject*>(a.ndarray)) return std::nullopt;
    a.float64_descr = Ref::steal(PyObject_CallFunction(dtype.get(), "s", "float64"));
    a.int64_descr = Ref::steal(PyObject_CallFunction(dtype.get(), "s", "int64"));
    a.bool_descr = Ref::steal(PyObject_CallFunction(dtype.get(), "s", "bool"));
    if (!a.float64_descr || !a.int64_descr || !a.bool_descr) return std::nullopt;

    // Self-test: a view of two known elements reads them back and shares their memory.
    double probe[2] = {1.5, -3.0};
    const Py_ssize_t shape = 2, stride = sizeof(double);
    auto v = a.view(a.float64_descr.get(), 1, &shape, &stride, probe, numpy.get());
    if (!v || Py_TYPE(v->get()) != a.ndarray) return std::nullopt;
    const NumpyArrayFields& f = numpy_fields(v->get());
    if (f.data != reinterpret_cast<char*>(probe) || f.nd != 1 || f.dimensions[0] != shape || f.strides[0] != stride ||
        f.base != numpy.get() || f.descr != a.float64_descr.get() || f.weakreflist != nullptr) {
        return std::nullopt;  // not the field layout we read
    }
    Ref item = Ref::steal(PySequence_GetItem(v->get(), 1));
    if (!item || PyFloat_AsDouble(item.get()) != -3.0) return std::nullopt;
    return a;
}

}  // namespace

Result<Ref> NumpyArrays::view(PyObject* descr, int ndim, const Py_ssize_t* shape, const Py_ssize_t* strides,
                              void* data, PyObject* owner) const {
    Py_INCREF(descr);  // taken by the maker
    Ref v = Ref::steal(new_from_descr(ndarray, descr, ndim, shape, strides, data, WRITEABLE, nullptr));
    if (!v) return failure();
    if (set_base(v.get(), Py_NewRef(owner)) < 0) return failure();  // the base reference is taken even then
    return v;
}

const std::optional<NumpyArrays>& numpy_arrays() {
    auto v = NP_ARRAYS.get_or_init([]() -> Result<std::optional<NumpyArrays>> {
        auto a = try_load_arrays();
        PyErr_Clear();
        return a;
    });
    if (!v) {
        PyErr_Clear();
        return NO_ARRAYS;
    }
    return **v;
}

Result<Ref> NumpyScalars::make(ScalarFunction scalar, const void* value, PyObject* descr) {
    return check(scalar(const_cast<void*>(value), descr, nullptr));
}

std::optional<NumpyScalars> load_numpy_scalars() {
    auto s = try_load();
    PyErr_Clear();  // the cause of a failed load is not reported
    return s;
}

const std::optional<NumpyScalars>& numpy_scalars() {
    auto v = NP_SCALARS.get_or_init([]() -> Result<std::optional<NumpyScalars>> { return load_numpy_scalars(); });
    if (!v) {  // only a recursive first use can fail; take the slow road then
        PyErr_Clear();
        return NO_SCALARS;
    }
    return **v;
}

Result<Ref> np_float_slow(double value) {
    return call_type(NP_FLOAT64, "float64", Ref::steal(PyFloat_FromDouble(value)));
}

Result<Ref> np_i64_slow(std::int64_t value) {
    return call_type(NP_INTP, "int64", Ref::steal(PyLong_FromLongLong(value)));
}

Result<Ref> np_bool_slow(bool value) { return call_type(NP_BOOL, "bool_", Ref::borrow(value ? Py_True : Py_False)); }

Result<Ref> np_float(double value) {
    if (const auto& s = numpy_scalars()) return NumpyScalars::make(s->scalar, &value, s->float64_descr.get());
    return np_float_slow(value);
}

Result<Ref> np_i64(std::int64_t value) {
    if (const auto& s = numpy_scalars()) return NumpyScalars::make(s->scalar, &value, s->int64_descr.get());
    return np_i64_slow(value);
}

Result<Ref> np_bool(bool value) {
    if (const auto& s = numpy_scalars()) return (value ? s->true_ : s->false_).clone();
    return np_bool_slow(value);
}

Result<Ref> numpy_ndarray() {
    auto type = handle(NP_NDARRAY, "ndarray");
    if (!type) return failure(std::move(type.error()));
    return Ref::borrow(*type);
}

}  // namespace corvantile::python

