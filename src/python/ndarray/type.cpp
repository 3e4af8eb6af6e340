// The ndarray type: its slot, method and property tables, and the type object made
// from them once.

#include "python/object/pyarray.hpp"

#include "python/ndarray/attributes.hpp"
#include "python/methods/methods.hpp"
#include "python/convert/export.hpp"
#include "python/numpy/fallback.hpp"
#include "python/ndarray/indexing.hpp"
#include "python/runtime/once.hpp"
#include "python/convert/dtype.hpp"
#include "python/operators/operators.hpp"

#include <format>
#include <memory>

namespace corvantile::python {

namespace {

constinit OnceCell<Ref> NDARRAY_TYPE;

constexpr const char* CLASS_DOC =
    "ndarray(shape, dtype=None, buffer=None, offset=0, strides=None, order=None)\n"
    "--\n"
    "\n"
    "Python wrapper for `Array`.\n"
    "\n"
    "The class is frozen: no borrow flag is checked on any call, while item assignment,\n"
    "in-place operators and writable buffer views still change the data in place. All\n"
    "mutation happens under the interpreter lock, which serialises it on the default\n"
    "build; on a free-threaded build concurrent writes to one array are a data race the\n"
    "caller must avoid, as in NumPy. The data buffer is never reallocated, so pointers\n"
    "handed out through the buffer protocol and DLPack stay valid for the object's lifetime.";

// ---- deallocation and the sequence slots ------------------------------------------------

// Whether dropping one reference to `owner` may run code that raises: only the last
// reference to an object that is not an exact ndarray (whose dealloc guards itself).
bool drop_may_raise(const void* owner) noexcept {
    const auto* object = static_cast<const PyObject*>(owner);
    return object != nullptr && Py_REFCNT(object) == 1 && Py_TYPE(object) != ndarray_type_or_panic();
}

void dealloc(PyObject* self) noexcept {
    EntryScope scope;
    PyTypeObject* type = Py_TYPE(self);
    PyArray* a = PyArray::of(self);
    // Keep the exception in flight where dropping an owner reference or the kept NumPy
    // view can run code.
    const bool drops_owner = (a->strided ? drop_may_raise(a->strided->root.get())
                                         : a->value.is_borrowed() && drop_may_raise(a->value.owner().get())) ||
                             a->numpy_view.load(std::memory_order_relaxed) != nullptr;
    PyObject* in_flight = drops_owner ? PyErr_GetRaisedException() : nullptr;
    std::destroy_at(&a->value);    // frees an owned buffer or drops the owner reference
    std::destroy_at(&a->strided);  // drops the root owner of a strided view
    Py_XDECREF(a->shape_tuple.load(std::memory_order_relaxed));
    Py_XDECREF(a->numpy_view.load(std::memory_order_relaxed));
    type->tp_free(self);
    Py_DECREF(type);
    if (drops_owner) {
        if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
        PyErr_SetRaisedException(in_flight);
    }
}

Result<Ref> sq_item(PyObject* self, Py_ssize_t i) {
    auto index = check(PyLong_FromSsize_t(i));
    if (!index) return index;
    return check(PyObject_GetItem(self, index->get()));
}

Result<> sq_ass_item(PyObject* self, Py_ssize_t i, PyObject* value) {
    auto index = check(PyLong_FromSsize_t(i));
    if (!index) return failure(std::move(index.error()));
    if (value == nullptr) return check_status(PyObject_DelItem(self, index->get()));
    return check_status(PyObject_SetItem(self, index->get(), value));
}

// len() without the entry frame: it calls nothing and cannot throw, and the slot is only
// ever called with an ndarray.
Py_ssize_t length_slot(PyObject* self) noexcept {
    return SlotResult<Result<Py_ssize_t>>::convert(length(*PyArray::of(self)));
}

// Getters without the entry frame, for bodies that call nothing able to throw; getset
// descriptors only ever call them with an ndarray.
template <Result<Ref> (*Body)(PyArray&, void*)>
PyObject* plain_getter(PyObject* self, void* closure) noexcept {
    return SlotResult<Result<Ref>>::convert(Body(*PyArray::of(self), closure));
}

// Integer attributes straight into a Python int: no frame and no result wrapper.
template <auto Count>
PyObject* int_getter(PyObject* self, void*) noexcept {
    return PyLong_FromLong(static_cast<long>(Count(PyArray::of(self)->value)));
}

// dtype without the frame once NumPy's kinds are loaded (loading them runs Python code).
PyObject* dtype_getter(PyObject* self, void* closure) noexcept {
    if (PyObject* d = loaded_numpy_dtype(PyArray::of(self)->value.kind())) return Py_NewRef(d);
    return entry<&get_dtype>(self, closure);
}

// ---- methods ----------------------------------------------------------------------------

Result<Ref> noop(PyArray&, PyObject*) { return Ref::borrow(Py_None); }

// A method body over the arguments of a fast call.
template <Result<Ref> (*Body)(PyArray&, const CallArgs&)>
Result<Ref> fast_method(PyArray& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return Body(self, CallArgs{args, nargs, kwnames});
}

PyMethodDef METHODS[] = {
    {"__array__", as_method(entry<&array_protocol>), METH_FASTCALL | METH_KEYWORDS, ARRAY_DOC},
    {"__dlpack__", as_method(entry<&dlpack_export>), METH_FASTCALL | METH_KEYWORDS, DLPACK_DOC},
    {"__dlpack_device__", as_method(entry<&dlpack_device>), METH_NOARGS, DLPACK_DEVICE_DOC},
    {"__complex__", as_method(entry<&to_complex>), METH_NOARGS, COMPLEX_DOC},
    {"__copy__", as_method(entry<&copy>), METH_NOARGS, COPY_DOC},
    {"__deepcopy__", as_method(entry<&deepcopy>), METH_FASTCALL | METH_KEYWORDS, DEEPCOPY_DOC},
    {"__reduce__", as_method(entry<&reduce>), METH_NOARGS, REDUCE_DOC},
    {"copy", as_method(entry<&fast_method<&copy_method>>), METH_FASTCALL | METH_KEYWORDS, "copy($self, *args, **kwargs)\n--\n\n"},
    {"reshape", as_method(entry<&fast_method<&reshape_method>>), METH_FASTCALL | METH_KEYWORDS, "reshape($self, *shape, **kwargs)\n--\n\n"},
    {"ravel", as_method(entry<&fast_method<&ravel_method>>), METH_FASTCALL | METH_KEYWORDS, "ravel($self, *args, **kwargs)\n--\n\n"},
    {"flatten", as_method(entry<&fast_method<&flatten_method>>), METH_FASTCALL | METH_KEYWORDS, "flatten($self, *args, **kwargs)\n--\n\n"},
    {"transpose", as_method(entry<&fast_method<&transpose_method>>), METH_FASTCALL | METH_KEYWORDS,
     "transpose($self, *args, **kwargs)\n--\n\n`transpose()` with no axes natively; explicit axes through NumPy."},
    {"argsort", as_method(entry<&fast_method<&argsort_method>>), METH_FASTCALL | METH_KEYWORDS,
     "argsort($self, *args, **kwargs)\n--\n\n`argsort()` of a 1-D float64 or int64 array natively (stable)."},
    {"nonzero", as_method(entry<&nonzero_method>), METH_NOARGS,
     "nonzero($self)\n--\n\n`nonzero()`: a tuple of int64 index arrays, one per dimension."},
    {"sum", as_method(entry<&fast_method<&sum_method>>), METH_FASTCALL | METH_KEYWORDS, "sum($self, *args, **kwargs)\n--\n\n"},
    {"prod", as_method(entry<&fast_method<&prod_method>>), METH_FASTCALL | METH_KEYWORDS, "prod($self, *args, **kwargs)\n--\n\n"},
    {"mean", as_method(entry<&fast_method<&mean_method>>), METH_FASTCALL | METH_KEYWORDS, "mean($self, *args, **kwargs)\n--\n\n"},
    {"max", as_method(entry<&fast_method<&max_method>>), METH_FASTCALL | METH_KEYWORDS, "max($self, *args, **kwargs)\n--\n\n"},
    {"min", as_method(entry<&fast_method<&min_method>>), METH_FASTCALL | METH_KEYWORDS, "min($self, *args, **kwargs)\n--\n\n"},
    {"var", as_method(entry<&fast_method<&var_method>>), METH_FASTCALL | METH_KEYWORDS, "var($self, *args, **kwargs)\n--\n\n"},
    {"std", as_method(entry<&fast_method<&std_method>>), METH_FASTCALL | METH_KEYWORDS, "std($self, *args, **kwargs)\n--\n\n"},
    {"argmax", as_method(entry<&fast_method<&argmax_method>>), METH_FASTCALL | METH_KEYWORDS, "argmax($self, *args, **kwargs)\n--\n\n"},
    {"argmin", as_method(entry<&fast_method<&argmin_method>>), METH_FASTCALL | METH_KEYWORDS, "argmin($self, *args, **kwargs)\n--\n\n"},
    {"any", as_method(entry<&fast_method<&any_method>>), METH_FASTCALL | METH_KEYWORDS, "any($self, *args, **kwargs)\n--\n\n"},
    {"all", as_method(entry<&fast_method<&all_method>>), METH_FASTCALL | METH_KEYWORDS, "all($self, *args, **kwargs)\n--\n\n"},
    {"cumsum", as_method(entry<&fast_method<&cumsum_method>>), METH_FASTCALL | METH_KEYWORDS, "cumsum($self, *args, **kwargs)\n--\n\n"},
    {"cumprod", as_method(entry<&fast_method<&cumprod_method>>), METH_FASTCALL | METH_KEYWORDS, "cumprod($self, *args, **kwargs)\n--\n\n"},
    {"round", as_method(entry<&fast_method<&round_method>>), METH_FASTCALL | METH_KEYWORDS,
     "round($self, *args, **kwargs)\n--\n\n`round(decimals=0)`, half to even like NumPy."},
    {"clip", as_method(entry<&fast_method<&clip_method>>), METH_FASTCALL | METH_KEYWORDS,
     "clip($self, *args, **kwargs)\n--\n\n`clip(min, max)` with scalar bounds natively (one may be None)."},
    {"astype", as_method(entry<&fast_method<&astype_method>>), METH_FASTCALL | METH_KEYWORDS,
     "astype($self, dtype, *args, **kwargs)\n--\n\n`astype(dtype)` between float64, int64 and bool natively; other\n"
     "targets, keywords and non-finite float-to-int casts through NumPy."},
    {"fill", as_method(entry<&fill_method>), METH_FASTCALL | METH_KEYWORDS, "fill($self, value)\n--\n\n`a.fill(value)` in place."},
    {"dot", as_method(entry<&dot_method>), METH_FASTCALL | METH_KEYWORDS,
     "dot($self, b, out=None)\n--\n\n1-D inner product natively; matrices and other operands through NumPy."},
    {"_noop", as_method(entry<&noop>), METH_NOARGS,
     "_noop($self)\n--\n\nDoes nothing; exists only to measure the raw method-call overhead in benchmarks."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef GETSETS[] = {
    {"shape", plain_getter<&get_shape>, entry<&set_shape>, const_cast<char*>(SHAPE_DOC), nullptr},
    {"T", entry<&transpose_property>, nullptr, nullptr, nullptr},
    {"strides", plain_getter<&get_strides>, nullptr, nullptr, nullptr},
    {"ndim", int_getter<[](const AnyArray& a) { return a.ndim(); }>, nullptr, nullptr, nullptr},
    {"size", int_getter<[](const AnyArray& a) { return a.len(); }>, nullptr, nullptr, nullptr},
    {"itemsize", int_getter<[](const AnyArray& a) { return a.dims().itemsize(); }>, nullptr, nullptr, nullptr},
    {"__class__", entry<&class_for_isinstance>, nullptr, CLASS_FOR_ISINSTANCE_DOC, nullptr},
    {"nbytes", int_getter<[](const AnyArray& a) { return a.len() * a.dims().itemsize(); }>, nullptr, nullptr, nullptr},
    {"dtype", dtype_getter, nullptr, nullptr, nullptr},
    {"base", entry<&get_base>, nullptr, BASE_DOC, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(CLASS_DOC)},
    {Py_tp_methods, METHODS},
    {Py_tp_getset, GETSETS},
    {Py_tp_new, as_slot(entry<&construct_ndarray>)},
    {Py_mp_subscript, as_slot(entry<&get_item>)},
    {Py_tp_repr, as_slot(entry<&repr>)},
    {Py_tp_str, as_slot(entry<&str>)},
    {Py_mp_length, as_slot(&length_slot)},
    {Py_nb_bool, as_slot(entry<&truth>)},
    {Py_nb_float, as_slot(entry<&to_float>)},
    {Py_nb_int, as_slot(entry<&to_int>)},
    {Py_nb_invert, as_slot(entry<&invert>)},
    {Py_nb_index, as_slot(entry<&to_index>)},
    {Py_nb_negative, as_slot(entry<&negative>)},
    {Py_nb_positive, as_slot(entry<&positive>)},
    {Py_nb_absolute, as_slot(entry<&absolute>)},
    {Py_tp_iter, as_slot(entry<&iterate>)},
    {Py_mp_ass_subscript, as_slot(entry<&assign_item>)},
    {Py_bf_getbuffer, as_slot(entry<&get_buffer>)},
    {Py_bf_releasebuffer, as_slot(&release_buffer)},
    {Py_nb_add, as_slot(&nb_add)},
    {Py_nb_subtract, as_slot(&nb_subtract)},
    {Py_nb_multiply, as_slot(&nb_multiply)},
    {Py_nb_true_divide, as_slot(&nb_true_divide)},
    {Py_nb_floor_divide, as_slot(&nb_floor_divide)},
    {Py_nb_remainder, as_slot(&nb_remainder)},
    {Py_nb_power, as_slot(&nb_power)},
    {Py_nb_and, as_slot(&nb_and)},
    {Py_nb_or, as_slot(&nb_or)},
    {Py_nb_xor, as_slot(&nb_xor)},
    {Py_nb_lshift, as_slot(&nb_lshift)},
    {Py_nb_rshift, as_slot(&nb_rshift)},
    {Py_nb_matrix_multiply, as_slot(&nb_matrix_multiply)},
    {Py_nb_inplace_add, as_slot(&nb_inplace_add)},
    {Py_nb_inplace_subtract, as_slot(&nb_inplace_subtract)},
    {Py_nb_inplace_multiply, as_slot(&nb_inplace_multiply)},
    {Py_nb_inplace_true_divide, as_slot(&nb_inplace_true_divide)},
    {Py_nb_inplace_floor_divide, as_slot(&nb_inplace_floor_divide)},
    {Py_nb_inplace_remainder, as_slot(&nb_inplace_remainder)},
    {Py_nb_inplace_power, as_slot(&nb_inplace_power)},
    {Py_nb_inplace_and, as_slot(&nb_inplace_and)},
    {Py_nb_inplace_or, as_slot(&nb_inplace_or)},
    {Py_nb_inplace_xor, as_slot(&nb_inplace_xor)},
    {Py_nb_inplace_lshift, as_slot(&nb_inplace_lshift)},
    {Py_nb_inplace_rshift, as_slot(&nb_inplace_rshift)},
    {Py_nb_inplace_matrix_multiply, as_slot(&nb_inplace_matrix_multiply)},
    {Py_tp_richcompare, as_slot(&tp_richcompare)},
    {Py_tp_dealloc, as_slot(&dealloc)},
    {Py_sq_item, as_slot(entry<&sq_item>)},
    {Py_sq_length, as_slot(&length_slot)},  // len() asks the sequence slot first
    {Py_sq_ass_item, as_slot(entry<&sq_ass_item>)},
    {0, nullptr},
};

PyType_Spec SPEC = {
    "corvantile.ndarray",
    static_cast<int>(sizeof(PyArray)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    SLOTS,
};

}  // namespace

Result<PyTypeObject*> ndarray_type() {
    auto cell = NDARRAY_TYPE.get_or_init([]() -> Result<Ref> {
        auto type = check(PyType_FromSpec(&SPEC));
        if (!type) return type;
        if (auto r = add_class_attributes(reinterpret_cast<PyTypeObject*>(type->get())); !r) {
            return failure(std::move(r.error()));
        }
        return type;
    });
    if (!cell) return failure(std::move(cell.error()));
    auto* type = reinterpret_cast<PyTypeObject*>((*cell)->get());
    detail::NDARRAY_TYPE_SEEN.store(type, std::memory_order_relaxed);
    return type;
}

PyTypeObject* detail::make_ndarray_type_or_panic() {
    if (const Ref* cell = NDARRAY_TYPE.get()) return reinterpret_cast<PyTypeObject*>(cell->get());
    auto type = ndarray_type();
    if (!type) {
        std::move(type.error()).raise();
        PyErr_Print();
        internal_failure("failed to create type object for `ndarray`");
    }
    return *type;
}

bool detail::is_ndarray_subtype(PyObject* object) {
    PyTypeObject* type = ndarray_type_or_panic();
    PyTypeObject* t = Py_TYPE(object);
    // A subtype is never smaller than its base: most other objects need no walk of their bases.
    return t == type || (t->tp_basicsize >= type->tp_basicsize && PyType_IsSubtype(t, type));
}

Result<PyArray*> as_ndarray(PyObject* object) {
    if (is_ndarray(object)) return PyArray::of(object);
    return failure(Error::not_an_instance(object, "ndarray", true));
}

}  // namespace corvantile::python
