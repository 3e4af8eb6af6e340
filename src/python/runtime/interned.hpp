#pragma once

#include "python/runtime/error.hpp"

#include <atomic>

namespace corvantile::python {

// An interned string made on first use and kept for the life of the process.
class Interned {
public:
    explicit constexpr Interned(const char* text) noexcept : text_(text) {}
    Interned(const Interned&) = delete;
    Interned& operator=(const Interned&) = delete;

    // The string (borrowed), or the error of making it.
    Result<PyObject*> get() noexcept {
        if (PyObject* s = str_.load(std::memory_order_acquire)) return s;
        return make();
    }
    const char* text() const noexcept { return text_; }

private:
    Result<PyObject*> make() noexcept {
        PyObject* s = PyUnicode_InternFromString(text_);
        if (s == nullptr) return failure();
        PyObject* expected = nullptr;
        if (!str_.compare_exchange_strong(expected, s, std::memory_order_acq_rel)) {
            Py_DECREF(s);  // another thread won; interning made them the same object anyway
            return expected;
        }
        return s;
    }

    const char* text_;
    std::atomic<PyObject*> str_{nullptr};
};

}  // namespace corvantile::python
