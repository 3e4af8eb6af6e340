#include "python/runtime/error.hpp"

#include "python/runtime/once.hpp"

#include <format>

namespace corvantile::python {

Error Error::fetch() noexcept {
    if (PyObject* exc = PyErr_GetRaisedException()) return Error(Ref::steal(exc));
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return Error(Ref::steal(PyErr_GetRaisedException()));
}

Error Error::make(PyObject* type, std::string_view message) noexcept {
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(type, text.get());
    return fetch();
}

Error Error::not_an_instance(PyObject* object, std::string_view expected, bool none_special) noexcept {
    try {
        if (none_special && object == Py_None) {
            return type_error(std::format("'None' is not an instance of '{}'", expected));
        }
        return type_error(std::format("'{}' object is not an instance of '{}'", type_name(object), expected));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return fetch();
    }
}

Error&& Error::with_note(std::string_view note) && noexcept {
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    Ref added;
    if (text) added = Ref::steal(PyObject_CallMethod(exc_.get(), "add_note", "O", text.get()));
    if (!added) PyErr_Clear();
    return std::move(*this);
}

Error&& Error::for_argument(std::string_view parameter) && noexcept {
    try {
        return std::move(*this).with_note(std::format("while processing '{}'", parameter));
    } catch (const std::bad_alloc&) {
        return std::move(*this);
    }
}

namespace {

// The name `getter` gives, or tp_name when that fails.
std::string name_of_type(PyObject* object, PyObject* (*getter)(PyTypeObject*)) {
    Ref name = Ref::steal(getter(Py_TYPE(object)));
    const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return Py_TYPE(object)->tp_name;
    }
    return text;
}

}  // namespace

std::string type_name(PyObject* object) { return name_of_type(object, &PyType_GetName); }

std::string qualified_type_name(PyObject* object) { return name_of_type(object, &PyType_GetQualName); }

namespace {
constinit OnceCell<Ref> PANIC_EXCEPTION;
}

Result<PyObject*> panic_exception_type() noexcept {
    auto cell = PANIC_EXCEPTION.get_or_init([]() -> Result<Ref> {
        return check(PyErr_NewExceptionWithDoc(
            "corvantile.PanicException",
            "An internal failure of corvantile (a broken invariant, not bad input).\n\n"
            "It derives from BaseException, so `except Exception` does not catch it.",
            PyExc_BaseException, nullptr));
    });
    if (!cell) return failure(std::move(cell.error()));
    return (*cell)->get();
}

void raise_panic(std::string_view message) noexcept {
    if (message.empty()) message = "internal failure";
    auto type = panic_exception_type();
    if (!type) {
        std::move(type.error()).raise();
        return;
    }
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) PyErr_SetObject(*type, text.get());
}

}  // namespace corvantile::python
