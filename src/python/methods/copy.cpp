#include "python/methods/methods.hpp"

#include "python/numpy/fallback.hpp"
#include "python/object/pyarray.hpp"
#include "python/object/strided.hpp"

#include <cstring>
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

}  // namespace

Result<bool> c_order_only(const CallArgs& args) {
    const Py_ssize_t n = args.nargs;
    const Py_ssize_t nk = args.keyword_count();
    if (n == 1) return nk == 0 && is_c_like_order(args[0]);
    if (n >= 2) return false;
    if (nk == 0) return true;
    if (nk > 1) return false;
    PyObject* order = args.keyword("order");
    return order != nullptr && is_c_like_order(order);
}

Result<Ref> copy_method(PyArray& self, const CallArgs& args) {
    auto native = c_order_only(args);
    if (!native) return failure(std::move(native.error()));
    if (!*native) return call_method_fallback(self, "copy", args);
    // A large view straight from the base memory into the result; a small one through its
    // shadow.
    const std::optional<walk::Strided> layout = in_place_layout(self);
    if (!layout) self.refresh();
    return self.value.visit([&]<class T>(const Array<T>& a) -> Result<Ref> {
        T* out = nullptr;
        auto r = create_unwritten<T>(ArrayDims::c_of_valid(a.shape(), sizeof(T)), out);
        if (!r) return r;
        if (layout) {
            walk::copy<T>(*layout, out);
        } else if (a.len() != 0) {
            std::memcpy(out, a.data(), a.len() * sizeof(T));
        }
        return r;
    });
}

}  // namespace corvantile::python
