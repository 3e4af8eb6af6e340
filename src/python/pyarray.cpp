#include "python/pyarray.hpp"

#include "python/fallback.hpp"
#include "python/once.hpp"

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

void dealloc(PyObject* self) noexcept {
    EntryScope scope;
    PyObject* in_flight = PyErr_GetRaisedException();
    PyTypeObject* type = Py_TYPE(self);
    PyArray* a = PyArray::of(self);
    std::destroy_at(&a->value);    // frees an owned buffer or drops the owner reference
    std::destroy_at(&a->strided);  // drops the root owner of a strided view
    type->tp_free(self);
    Py_DECREF(type);
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(in_flight);
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

// Until native indexing and item assignment take these slots, every key goes to NumPy.
Result<Ref> subscript(PyObject* self, PyObject* key) { return fallback::getitem(self, key); }

Result<> ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    if (value == nullptr) return failure(Error::value_error("cannot delete array elements"));
    return fallback::setitem(self, key, value);
}

// Until the constructor takes this slot, instances come only from create_class_object.
Result<Ref> new_instance(PyTypeObject* type, PyObject*, PyObject*) {
    return failure(Error::type_error(std::format("cannot create '{}' instances", type->tp_name)));
}

// ---- methods ----------------------------------------------------------------------------

Result<Ref> noop(PyArray&, PyObject*) { return Ref::borrow(Py_None); }

PyMethodDef METHODS[] = {
    {"_noop", as_method(entry<&noop>), METH_NOARGS,
     "_noop($self)\n--\n\nDoes nothing; exists only to measure the raw method-call overhead in benchmarks."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot SLOTS[] = {
    {Py_tp_doc, const_cast<char*>(CLASS_DOC)},
    {Py_tp_methods, METHODS},
    {Py_tp_new, as_slot(entry<&new_instance>)},
    {Py_mp_subscript, as_slot(entry<&subscript>)},
    {Py_mp_ass_subscript, as_slot(entry<&ass_subscript>)},
    {Py_tp_dealloc, as_slot(&dealloc)},
    {Py_sq_item, as_slot(entry<&sq_item>)},
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
    auto cell = NDARRAY_TYPE.get_or_init([] { return check(PyType_FromSpec(&SPEC)); });
    if (!cell) return failure(std::move(cell.error()));
    return reinterpret_cast<PyTypeObject*>((*cell)->get());
}

PyTypeObject* ndarray_type_or_panic() {
    if (const Ref* cell = NDARRAY_TYPE.get()) return reinterpret_cast<PyTypeObject*>(cell->get());
    auto type = ndarray_type();
    if (!type) {
        std::move(type.error()).raise();
        PyErr_Print();
        internal_failure("failed to create type object for `ndarray`");
    }
    return *type;
}

bool is_ndarray(PyObject* object) {
    PyTypeObject* type = ndarray_type_or_panic();
    return Py_TYPE(object) == type || PyType_IsSubtype(Py_TYPE(object), type);
}

Result<PyArray*> as_ndarray(PyObject* object) {
    if (is_ndarray(object)) return PyArray::of(object);
    return failure(Error::not_an_instance(object, "ndarray", true));
}

Result<Ref> create_class_object(AnyArray value, std::optional<Strided> strided) {
    return create_instance(ndarray_type_or_panic(), std::move(value), std::move(strided));
}

Result<Ref> create_instance(PyTypeObject* type, AnyArray value, std::optional<Strided> strided) {
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return failure();  // value and strided are released on return
    PyArray* a = PyArray::of(object);
    std::construct_at(&a->value, std::move(value));
    std::construct_at(&a->strided, std::move(strided));
    return Ref::steal(object);
}

Error array_error(ArrayError error) {
    return Error::make(error.is_index_error() ? PyExc_IndexError : PyExc_ValueError, error.message());
}

void install_owner_hooks() noexcept {
    set_owner_hooks(OwnerHooks{
        [](void* owner) { Py_INCREF(static_cast<PyObject*>(owner)); },
        [](void* owner) { release_reference(static_cast<PyObject*>(owner)); },
    });
}

}  // namespace corvantile::python
