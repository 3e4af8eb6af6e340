#pragma once

#include "python/runtime/ref.hpp"

#include <expected>
#include <string>
#include <string_view>

namespace corvantile::python {

// A Python exception held as a value until an entry point raises it.
class Error {
public:
    explicit Error(Ref exception) noexcept : exc_(std::move(exception)) {}

    // Takes the exception that is set; SystemError when none is.
    [[nodiscard]] static Error fetch() noexcept;
    // A new exception of `type` with `message` as its one argument.
    [[nodiscard]] static Error make(PyObject* type, std::string_view message) noexcept;
    [[nodiscard]] static Error type_error(std::string_view message) noexcept {
        return make(PyExc_TypeError, message);
    }
    [[nodiscard]] static Error value_error(std::string_view message) noexcept {
        return make(PyExc_ValueError, message);
    }
    [[nodiscard]] static Error runtime_error(std::string_view message) noexcept {
        return make(PyExc_RuntimeError, message);
    }
    // "'{type}' object is not an instance of '{expected}'" ("'None' is not ..." for None
    // when none_special is set).
    [[nodiscard]] static Error not_an_instance(PyObject* object, std::string_view expected,
                                               bool none_special = false) noexcept;

    // Sets the exception as the current one; the value is left empty.
    void raise() && noexcept { PyErr_SetRaisedException(exc_.release()); }

    PyObject* object() const noexcept { return exc_.get(); }
    bool is_instance(PyObject* type) const noexcept {
        return PyErr_GivenExceptionMatches(exc_.get(), type) != 0;
    }

    // Adds a note through the exception's add_note (a failure to add it is dropped).
    Error&& with_note(std::string_view note) && noexcept;
    // The note that names the argument whose conversion failed.
    Error&& for_argument(std::string_view parameter) && noexcept;

private:
    Ref exc_;
};

template <class T = void>
using Result = std::expected<T, Error>;

using Failure = std::unexpected<Error>;

// The pending exception as a failure value.
[[nodiscard]] inline Failure failure() noexcept { return Failure(Error::fetch()); }
[[nodiscard]] inline Failure failure(Error e) noexcept { return Failure(std::move(e)); }

// A new reference from the C API, or the exception it set.
[[nodiscard]] inline Result<Ref> check(PyObject* new_reference) noexcept {
    if (new_reference != nullptr) return Ref::steal(new_reference);
    return failure();
}
// A C API status (-1 on error).
[[nodiscard]] inline Result<> check_status(int status) noexcept {
    if (status >= 0) return {};
    return failure();
}

// The name of an object's type, as Python shows it ("int", "ndarray").
std::string type_name(PyObject* object);
// The same with its enclosing classes ("Outer.Inner").
std::string qualified_type_name(PyObject* object);

// Sets the current exception to a PanicException carrying `message`.
void raise_panic(std::string_view message) noexcept;
// The class corvantile.PanicException (a BaseException subclass), made on first use.
Result<PyObject*> panic_exception_type() noexcept;

}  // namespace corvantile::python
