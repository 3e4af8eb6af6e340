#pragma once

// The entry frame: every class slot, method, getter and module function runs its body
// through it. A body is a plain function returning a Result; the frame marks the
// thread attached, performs deferred releases, converts the result to the slot's
// C return and turns any C++ exception into a Python one, so nothing escapes.

#include "array/error.hpp"
#include "python/runtime/attach.hpp"
#include "python/runtime/error.hpp"

#include <concepts>
#include <new>
#include <string_view>
#include <type_traits>

namespace corvantile::python {

// How a body's result becomes the slot's C return value: a new reference for object
// slots, methods, getters and functions; 0 for setters, item assignment, buffer export
// and module exec; 0 or 1 for nb_bool; the length for mp_length. On an error the
// exception is raised and `error` returned.
template <class R>
struct SlotResult;

template <class T>
    requires std::same_as<T, Ref> || std::same_as<T, void> || std::same_as<T, bool> || std::same_as<T, Py_ssize_t>
struct SlotResult<Result<T>> {
    using C = std::conditional_t<std::same_as<T, Ref>, PyObject*,
                                 std::conditional_t<std::same_as<T, Py_ssize_t>, Py_ssize_t, int>>;
    static constexpr C error = [] {
        if constexpr (std::same_as<T, Ref>) return C{nullptr};
        else return C{-1};
    }();
    static C convert(Result<T>&& r) noexcept {
        if (r) {
            if constexpr (std::same_as<T, Ref>) {
                return r->release();
            } else if constexpr (std::same_as<T, void>) {
                return 0;
            } else if constexpr (std::same_as<T, bool>) {
                return *r ? 1 : 0;
            } else {
                return *r;
            }
        }
        std::move(r.error()).raise();
        return error;
    }
};

// How a slot's C argument becomes the body's parameter. The identity, except for
// `PyArray&` (see pyarray.hpp), whose check raises the ndarray cast error.
template <class P>
struct SlotArg {
    using C = P;
    static bool check(C) noexcept { return true; }  // false with the Python error set
    static P get(C c) noexcept { return c; }
};

// Runs f (which returns the C value) with every C++ exception turned into a Python
// exception and `error` returned: std::bad_alloc as MemoryError, anything else as
// PanicException.
template <class C, class F>
C guarded(C error, F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const InternalFailure& failure) {
        raise_panic(failure.message());
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return error;
}

// The frame of a fast entry: attached without draining; an internal failure becomes
// RuntimeError "corvantile.{name} panicked", an allocation failure MemoryError.
template <class F>
PyObject* light_frame(std::string_view name, F&& body) noexcept {
    LightScope scope;
    try {
        return SlotResult<Result<Ref>>::convert(body());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_Format(PyExc_RuntimeError, "corvantile.%.*s panicked", static_cast<int>(name.size()),
                     name.data());
    }
    return nullptr;
}

// entry<&body> is the C function of any slot signature: unary, binary, ternary,
// getter, setter, int- and length-returning slots, METH_NOARGS/O/VARARGS/FASTCALL
// methods. Its C parameters are the body's (a `PyArray&` parameter takes a
// `PyObject*` and is checked); its C return follows the body's Result.
template <auto Body>
struct Entry;

template <class R, class... A, R (*Body)(A...)>
struct Entry<Body> {
    using Out = SlotResult<R>;
    static typename Out::C fn(typename SlotArg<A>::C... args) noexcept {
        EntryScope scope;
        return guarded<typename Out::C>(Out::error, [&]() -> typename Out::C {
            if (!(SlotArg<A>::check(args) && ...)) return Out::error;
            return Out::convert(Body(SlotArg<A>::get(args)...));
        });
    }
};

template <auto Body>
inline constexpr auto entry = &Entry<Body>::fn;

// A function pointer as a type-slot value or as a method table entry.
template <class F>
void* as_slot(F* f) noexcept {
    return reinterpret_cast<void*>(f);
}
template <class F>
PyCFunction as_method(F* f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace corvantile::python
