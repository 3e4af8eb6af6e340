#include "python/methods_copy.hpp"

#include "python/fallback.hpp"
#include "python/pyarray.hpp"

#include <span>
#include <string_view>

namespace corvantile::python {

namespace {

bool is_c_like_order(PyObject* value) noexcept {
    if (!PyUnicode_Check(value)) return false;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    return size == 1 && std::string_view("ACKack").find(text[0]) != std::string_view::npos;
}

std::span<PyObject* const> items_of(PyObject* tuple) noexcept {
    return {&PyTuple_GET_ITEM(tuple, 0), static_cast<std::size_t>(PyTuple_GET_SIZE(tuple))};
}

}  // namespace

Result<bool> c_order_only(PyObject* args, PyObject* kwargs) {
    const Py_ssize_t n = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    const Py_ssize_t nk = kwargs != nullptr ? PyDict_GET_SIZE(kwargs) : 0;
    if (n == 1) return nk == 0 && is_c_like_order(PyTuple_GET_ITEM(args, 0));
    if (n >= 2) return false;
    if (nk == 0) return true;
    if (nk > 1) return false;
    PyObject* order = nullptr;
    const int found = PyDict_GetItemStringRef(kwargs, "order", &order);
    if (found < 0) return failure();
    Ref owned = Ref::steal(order);
    return found == 1 && is_c_like_order(order);
}

Result<Ref> copy_method(PyArray& self, PyObject* args, PyObject* kwargs) {
    auto native = c_order_only(args, kwargs);
    if (!native) return failure(std::move(native.error()));
    if (!*native) return fallback::call_method(self.object(), "copy", items_of(args), kwargs);
    self.refresh();
    return create_class_object(self.value.clone());
}

}  // namespace corvantile::python
