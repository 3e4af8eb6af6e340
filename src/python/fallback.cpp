#include "python/fallback.hpp"

#include "python/interned.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace corvantile::python::fallback {

namespace {

constinit Interned MODULE_NAME{"corvantile._fallback"};
constinit Interned FUNCTION_NAMES[] = {
    Interned{"call"},    Interned{"call_method"}, Interned{"getitem"},
    Interned{"setitem"}, Interned{"inplace"},     Interned{"argsort_descending"},
};

// The function of the fallback module; the import is answered from the module table
// after the first time.
Result<Ref> function_of(Function function) {
    auto module_name = MODULE_NAME.get();
    if (!module_name) return failure(std::move(module_name.error()));
    Ref module = Ref::steal(PyImport_GetModule(*module_name));
    if (!module) {
        if (PyErr_Occurred()) return failure();
        module = Ref::steal(PyImport_Import(*module_name));
        if (!module) return failure();
    }
    auto attr = FUNCTION_NAMES[static_cast<int>(function)].get();
    if (!attr) return failure(std::move(attr.error()));
    return check(PyObject_GetAttr(module.get(), *attr));
}

Result<Ref> text(std::string_view s) {
    return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// Vector of call arguments: a few on the stack, more on the heap.
class Argv {
public:
    explicit Argv(std::size_t n) {
        if (n > small_.size()) heap_.resize(n);
    }
    PyObject** data() noexcept { return heap_.empty() ? small_.data() : heap_.data(); }

private:
    std::array<PyObject*, 8> small_{};
    std::vector<PyObject*> heap_;
};

// function(head..., tail...) with the keyword dictionary.
Result<Ref> invoke_with(Function function, std::initializer_list<PyObject*> head, std::span<PyObject* const> tail,
                        PyObject* kwargs) {
    Argv argv(head.size() + tail.size());
    PyObject** p = std::copy(head.begin(), head.end(), argv.data());
    std::copy(tail.begin(), tail.end(), p);
    return invoke(function, std::span<PyObject* const>(argv.data(), head.size() + tail.size()), kwargs);
}

}  // namespace

Result<Ref> invoke(Function function, std::span<PyObject* const> args, PyObject* kwargs) {
    auto f = function_of(function);
    if (!f) return f;
    return check(PyObject_VectorcallDict(f->get(), args.data(), args.size(), kwargs));
}

Result<Ref> call(std::string_view np_name, std::span<PyObject* const> operands, PyObject* kwargs) {
    auto name = text(np_name);
    if (!name) return name;
    return invoke_with(Function::call, {name->get()}, operands, kwargs);
}

Result<Ref> call(std::string_view np_name, std::initializer_list<PyObject*> operands, PyObject* kwargs) {
    return call(np_name, std::span<PyObject* const>(operands.begin(), operands.size()), kwargs);
}

Result<Ref> call_vector(PyObject* np_name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto f = function_of(Function::call);
    if (!f) return f;
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    const auto total = static_cast<std::size_t>(1 + nargs + nkw);
    Argv argv(total);
    argv.data()[0] = np_name;
    std::copy_n(args, nargs + nkw, argv.data() + 1);
    return check(PyObject_Vectorcall(f->get(), argv.data(), static_cast<std::size_t>(1 + nargs), kwnames));
}

Result<Ref> call_method(PyObject* a, std::string_view method, std::span<PyObject* const> rest, PyObject* kwargs) {
    auto name = text(method);
    if (!name) return name;
    return invoke_with(Function::call_method, {a, name->get()}, rest, kwargs);
}

Result<Ref> getitem(PyObject* a, PyObject* key) {
    PyObject* const args[] = {a, key};
    return invoke(Function::getitem, args);
}

Result<> setitem(PyObject* a, PyObject* key, PyObject* value) {
    PyObject* const args[] = {a, key, value};
    auto r = invoke(Function::setitem, args);
    if (!r) return failure(std::move(r.error()));
    return {};
}

Result<> inplace(PyObject* a, std::string_view np_name, PyObject* other) {
    auto name = text(np_name);
    if (!name) return failure(std::move(name.error()));
    PyObject* const args[] = {a, name->get(), other};
    auto r = invoke(Function::inplace, args);
    if (!r) return failure(std::move(r.error()));
    return {};
}

Result<Ref> argsort_descending(PyObject* a, std::span<PyObject* const> rest, PyObject* kwargs) {
    return invoke_with(Function::argsort_descending, {a}, rest, kwargs);
}

}  // namespace corvantile::python::fallback
