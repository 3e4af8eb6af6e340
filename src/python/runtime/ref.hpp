#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace corvantile {

namespace python {

// Queues a reference dropped while this thread is not attached; it is released at the
// next entry. While the interpreter is finalising the reference is leaked instead.
void defer_release(PyObject* object) noexcept;

// Drops one strong reference: at once when this thread is attached to the interpreter,
// otherwise later (see defer_release).
inline void release_reference(PyObject* object) noexcept {
    if (PyThreadState_GetUnchecked() != nullptr) {
        Py_DECREF(object);
    } else {
        defer_release(object);
    }
}

}  // namespace python

// The one owner of a Python object reference: empty or holding exactly one strong
// reference, released exactly once.
class Ref {
public:
    constexpr Ref() noexcept = default;

    // Takes over a reference the caller owns (a new reference from the C API).
    [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Takes one more reference to a borrowed object.
    [[nodiscard]] static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            reset();
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }
    ~Ref() { reset(); }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    // Hands the reference to the caller; the handle is left empty.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    // A second owner of the same object.
    [[nodiscard]] Ref clone() const noexcept { return borrow(ptr_); }

    void reset() noexcept {
        if (PyObject* p = std::exchange(ptr_, nullptr)) python::release_reference(p);
    }

private:
    explicit Ref(PyObject* object) noexcept : ptr_(object) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace corvantile
