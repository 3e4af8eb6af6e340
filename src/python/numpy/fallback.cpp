#include "python/numpy/fallback.hpp"
#include "python/runtime/interned.hpp"
#include "python/numpy/numpy.hpp"
#include "python/runtime/once.hpp"
#include "python/object/pyarray.hpp"

#include <algorithm>
#include <array>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace corvantile::python::fallback {

namespace {

constinit Interned MODULE_NAME{"corvantile._fallback"};
constinit Interned FUNCTION_NAMES[] = {
    Interned{"call"},    Interned{"call_method"}, Interned{"getitem"},
    Interned{"setitem"}, Interned{"inplace"},     Interned{"argsort_descending"},
    Interned{"compare"},
};
constexpr std::size_t FUNCTION_COUNT = std::size(FUNCTION_NAMES);
constinit Interned OWN_TABLE_NAME{"_OWN"};
constinit Interned NUMPY_TABLE_NAME{"_NUMPY"};
constinit Interned NUMPY_MODULE_NAME{"_numpy"};

// NumPy reads no deeper into nested sequences than its dimension limit (64); the walk
// stops there too (and counts the argument list and the operand itself).
constexpr int NESTING = 64 + 2;

// The fallback module as first imported. While one of its functions is still the
// module's own (as its table `_OWN` names them when the module is defined), its work is
// done here in C with the same meaning: corvantile operands become zero-copy NumPy views,
// NumPy's function (from the module's snapshot of NumPy) runs, and a result that is one
// of the views maps back to its array.
struct Road {
    Ref module;
    PyObject* dict = nullptr;  // the module's, kept alive by it
    std::array<Ref, FUNCTION_COUNT> originals;  // the module's own functions, by Function
    Ref numpy_table;  // dict: NumPy's functions as the module first saw them
    Ref numpy;
    const NumpyArrays* arrays = nullptr;  // null: everything through the module's functions
    bool watched = false;  // changes to dict and numpy_table are counted in WATCH
};
constinit OnceCell<Road> ROAD;

// Changes to the module's dictionary and to its NumPy table, counted by a dict watcher,
// so that what was read from them is read again only after a change.
struct Watch {
    std::uint64_t generation = 1;  // advanced by every change
    std::uint64_t own_seen = 0;    // the generation own_bits was read at
    unsigned own_bits = 0;         // by Function: whether the module's function is its own
};
constinit Watch WATCH;

int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++WATCH.generation;
    return 0;
}

// Watches both dictionaries of the road; false where the interpreter has no watcher left
// (or the build has no global lock to keep the count and what it guards together).
bool watch(const Road& road) {
#ifdef Py_GIL_DISABLED
    return false;
#else
    const int id = PyDict_AddWatcher(on_change);
    if (id >= 0 && PyDict_Watch(id, road.dict) == 0 && PyDict_Watch(id, road.numpy_table.get()) == 0) return true;
    PyErr_Clear();
    return false;
#endif
}

Result<Ref> import_module() {
    auto module_name = MODULE_NAME.get();
    if (!module_name) return failure(std::move(module_name.error()));
    Ref module = Ref::steal(PyImport_GetModule(*module_name));
    if (!module) {
        if (PyErr_Occurred()) return failure();
        module = Ref::steal(PyImport_Import(*module_name));
        if (!module) return failure();
    }
    return module;
}

Result<Ref> attribute(PyObject* object, Interned& name) {
    auto s = name.get();
    if (!s) return failure(std::move(s.error()));
    return check(PyObject_GetAttr(object, *s));
}

Result<Road> load_road() {
    auto module = import_module();
    if (!module) return failure(std::move(module.error()));
    Road road;
    road.dict = PyModule_GetDict(module->get());
    if (road.dict == nullptr) return failure();
    road.module = std::move(*module);
    // What the module names as its own, not what its attributes hold now: a function
    // replaced before this first use is still a replacement.
    auto own_name = OWN_TABLE_NAME.get();
    if (!own_name) return failure(std::move(own_name.error()));
    PyObject* own_table = nullptr;
    if (PyObject_GetOptionalAttr(road.module.get(), *own_name, &own_table) < 0) return failure();
    const Ref own = Ref::steal(own_table);
    // Without the table (not the module we know): no C road, every call to the module.
    if (!own || !PyDict_CheckExact(own.get())) return road;
    for (std::size_t k = 0; k < FUNCTION_COUNT; ++k) {
        auto name = FUNCTION_NAMES[k].get();
        if (!name) return failure(std::move(name.error()));
        PyObject* f = PyDict_GetItemWithError(own.get(), *name);  // borrowed
        if (f == nullptr && PyErr_Occurred()) return failure();
        if (f != nullptr) road.originals[k] = Ref::borrow(f);
    }
    auto table = attribute(road.module.get(), NUMPY_TABLE_NAME);
    if (!table) return failure(std::move(table.error()));
    auto numpy = attribute(road.module.get(), NUMPY_MODULE_NAME);
    if (!numpy) return failure(std::move(numpy.error()));
    if (!PyDict_CheckExact(table->get())) return road;  // not the module we know: no C road
    road.numpy_table = std::move(*table);
    road.numpy = std::move(*numpy);
    if (const auto& arrays = numpy_arrays()) road.arrays = &*arrays;
    road.watched = watch(road);
    return road;
}

Result<const Road*> road() { return ROAD.get_or_init(load_road); }

// The fallback module's function (honouring a replacement).
Result<Ref> function_of(const Road& road, Function function) {
    return attribute(road.module.get(), FUNCTION_NAMES[static_cast<int>(function)]);
}

// Whether the module's function is still its own, as its dictionary says now.
bool own_now(const Road& road, Function function) {
    const Ref& original = road.originals[static_cast<std::size_t>(function)];
    auto name = FUNCTION_NAMES[static_cast<int>(function)].get();
    if (!name) {
        PyErr_Clear();
        return false;
    }
    PyObject* current = PyDict_GetItemWithError(road.dict, *name);  // borrowed
    if (current == nullptr) PyErr_Clear();
    return original && current == original.get();
}

// Whether the module's function is still its own, so that the C road stands for it.
bool own(const Road& road, Function function) {
    if (road.arrays == nullptr) return false;
    if (!road.watched) return own_now(road, function);
    if (WATCH.own_seen != WATCH.generation) {
        unsigned bits = 0;
        for (std::size_t k = 0; k < FUNCTION_COUNT; ++k) {
            if (own_now(road, static_cast<Function>(k))) bits |= 1u << k;
        }
        WATCH.own_bits = bits;
        WATCH.own_seen = WATCH.generation;
    }
    return (WATCH.own_bits >> static_cast<unsigned>(function) & 1u) != 0;
}

// The road when the C road stands for the module's `function`; null when that function
// was replaced and must be called.
Result<const Road*> own_road(Function function) {
    auto r = road();
    if (!r) return failure(std::move(r.error()));
    return own(**r, function) ? *r : nullptr;
}

// The interned string of a function or method name; the few names the native side
// passes are made once each and kept for the life of the process.
Result<Ref> text(std::string_view s) {
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view v) const noexcept { return std::hash<std::string_view>{}(v); }
    };
    using Names = std::unordered_map<std::string, PyObject*, Hash, std::equal_to<>>;
    static Names* const names = new Names();  // never destroyed: its strings outlive it
    static constinit PyMutex mutex{};
#ifndef Py_GIL_DISABLED
    // Most names come from string constants, whose address finds them again without
    // hashing; the text itself is compared.
    struct Recent {
        const char* text = nullptr;  // the kept string's own UTF-8
        std::size_t size = 0;
        PyObject* name = nullptr;
    };
    static constinit std::array<Recent, 64> recent{};
    Recent& slot = recent[((reinterpret_cast<std::uintptr_t>(s.data()) >> 3) ^ s.size()) % recent.size()];
    if (slot.size == s.size() && slot.text != nullptr && std::memcmp(slot.text, s.data(), s.size()) == 0) {
        return Ref::borrow(slot.name);
    }
#endif
    PyMutex_Lock(&mutex);
    auto it = names->find(s);
    PyObject* kept = it != names->end() ? it->second : nullptr;
    PyMutex_Unlock(&mutex);
    if (kept == nullptr) {
        std::string key(s);
        PyObject* made = PyUnicode_InternFromString(key.c_str());
        if (made == nullptr) return failure();
        PyMutex_Lock(&mutex);
        auto [entry, fresh] = names->try_emplace(std::move(key), made);
        kept = entry->second;
        PyMutex_Unlock(&mutex);
        if (!fresh) Py_DECREF(made);  // another thread made it first
    }
#ifndef Py_GIL_DISABLED
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(kept, &size)) {
        slot = Recent{utf8, static_cast<std::size_t>(size), kept};
    } else {
        PyErr_Clear();
    }
#endif
    return Ref::borrow(kept);
}

// Vector of call arguments: a few on the stack, more on the heap.
class Argv {
public:
    explicit Argv(std::size_t n) {
        if (n > small_.size()) heap_.resize(n);
    }
    PyObject** data() noexcept { return heap_.empty() ? small_.data() : heap_.data(); }

private:
    std::array<PyObject*, 8> small_;  // the callers fill what they use
    std::vector<PyObject*> heap_;
};

// The views made for one call, each with the corvantile array it views. A view whose
// only reference is ours when the call is over, unchanged, goes back into its array for
// the next call, its base cleared so that it keeps nothing alive; it is taken out again
// only while its data, dtype, shape and strides are still the array's.
class Views {
public:
    explicit Views(const Road& road) noexcept : road_(road) {}
    Views(const Views&) = delete;
    Views& operator=(const Views&) = delete;
    ~Views() {
        kept_.clear();  // the containers built around views first
        for (std::size_t i = 0; i < count_; ++i) settle(made(i));
    }

    // x with each corvantile array (also inside lists and tuples) as a NumPy view,
    // borrowed: this object keeps what it made. depth counts the containers around x
    // (1 inside an argument list, 0 for a lone operand).
    Result<PyObject*> of(PyObject* x, int depth = 1) {
        PyTypeObject* t = Py_TYPE(x);
        if (t == &PyTuple_Type || t == &PyList_Type) return of_sequence(x, t == &PyList_Type, depth);
        if (is_ndarray(x)) return view(x);
        return x;
    }

    // Lone operands (the object and key of an item access, the two sides of an
    // operator), each as of(x, 0).
    template <std::same_as<PyObject*>... X>
    Result<std::array<PyObject*, sizeof...(X)>> lone_operands(X... xs) {
        std::array<PyObject*, sizeof...(X)> out{xs...};
        for (PyObject*& x : out) {
            auto p = of(x, 0);
            if (!p) return failure(std::move(p.error()));
            x = *p;
        }
        return out;
    }

    // NumPy's result with any of the views replaced by the array it views.
    Result<Ref> back(Ref r) {
        if (count_ == 0) return r;
        PyTypeObject* t = Py_TYPE(r.get());
        if (t == road_.arrays->ndarray) {
            for (std::size_t i = 0; i < count_; ++i) {
                if (made(i).view == r.get()) return Ref::borrow(made(i).array);
            }
        } else if (t == &PyTuple_Type) {
            const Py_ssize_t n = PyTuple_GET_SIZE(r.get());
            auto out = check(PyTuple_New(n));
            if (!out) return out;
            for (Py_ssize_t i = 0; i < n; ++i) {
                auto item = back(Ref::borrow(PyTuple_GET_ITEM(r.get(), i)));
                if (!item) return item;
                PyTuple_SET_ITEM(out->get(), i, item->release());
            }
            return out;
        }
        return r;
    }

private:
    struct Made {
        PyObject* view = nullptr;   // owned
        PyObject* array = nullptr;  // kept alive as the view's base
        int flags = 0;              // the view's flags when handed out
    };

    Made& made(std::size_t i) noexcept { return i < small_.size() ? small_[i] : more_[i - small_.size()]; }

    // The view of x: the one x keeps when it still fits, otherwise a new one.
    Result<PyObject*> view(PyObject* x) {
        PyArray& a = *PyArray::of(x);
        const ArrayDims& dims = a.value.dims();
        const std::size_t ndim = dims.ndim();
        void* data = nullptr;
        const std::int64_t* byte_strides = nullptr;
        if (a.strided) {  // the elements live in the base memory, as the buffer export says
            data = a.strided->data;
            byte_strides = a.strided->strides.data();
        } else {
            data = a.value.raw_data();
            byte_strides = dims.stride_slots().data();
        }
        const NumpyArrays& api = *road_.arrays;
        PyObject* descr = nullptr;
        switch (a.value.kind()) {
            case ElementKind::F64: descr = api.float64_descr.get(); break;
            case ElementKind::I64: descr = api.int64_descr.get(); break;
            case ElementKind::Bool: descr = api.bool_descr.get(); break;
        }
        const auto shape = dims.shape();
        PyObject* v = a.numpy_view.exchange(nullptr, std::memory_order_acquire);
        if (v != nullptr) {
            NumpyArrayFields& f = numpy_fields(v);
            bool fits = f.data == data && f.descr == descr && f.nd == static_cast<int>(ndim);
            for (std::size_t k = 0; fits && k < ndim; ++k) {
                fits = f.dimensions[k] == static_cast<Py_ssize_t>(shape[k]) && f.strides[k] == byte_strides[k];
            }
            if (fits) {
                f.base = Py_NewRef(x);
            } else {
                Py_DECREF(v);  // the array changed since
                v = nullptr;
            }
        }
        if (v == nullptr) {
            std::array<Py_ssize_t, MAX_NDIM> np_shape, np_strides;  // the first ndim are used
            for (std::size_t k = 0; k < ndim; ++k) {
                np_shape[k] = static_cast<Py_ssize_t>(shape[k]);
                np_strides[k] = static_cast<Py_ssize_t>(byte_strides[k]);
            }
            auto made = api.view(descr, static_cast<int>(ndim), np_shape.data(), np_strides.data(), data, x);
            if (!made) return failure(std::move(made.error()));
            v = made->release();
        }
        const Made m{v, x, numpy_fields(v).flags};
        if (count_ < small_.size()) {
            small_[count_] = m;
        } else {
            more_.push_back(m);
        }
        ++count_;
        return v;
    }

    // The view back into its array, or dropped.
    static void settle(const Made& m) noexcept {
#ifndef Py_GIL_DISABLED  // elsewhere a count of one does not prove that nobody else holds it
        NumpyArrayFields& f = numpy_fields(m.view);
        if (Py_REFCNT(m.view) == 1 && f.base == m.array && f.flags == m.flags && f.weakreflist == nullptr) {
            PyObject* empty = nullptr;
            if (PyArray::of(m.array)->numpy_view.compare_exchange_strong(empty, m.view, std::memory_order_acq_rel)) {
                f.base = nullptr;
                Py_DECREF(m.array);  // last: this may free the array, and the view with it
                return;
            }
        }
#endif
        Py_DECREF(m.view);
    }

    Result<PyObject*> of_sequence(PyObject* x, bool list, int depth) {
        if (depth > NESTING) return x;
        const Py_ssize_t n = Py_SIZE(x);
        Ref items;  // a list copy, made at the first change
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = list ? PyList_GET_ITEM(x, i) : PyTuple_GET_ITEM(x, i);
            auto c = of(item, depth + 1);
            if (!c) return c;
            if (*c == item) continue;
            if (!items) {
                items = Ref::steal(list ? PyList_GetSlice(x, 0, n) : PySequence_List(x));
                if (!items) return failure();
            }
            PyList_SetItem(items.get(), i, Py_NewRef(*c));  // takes the reference
        }
        if (!items) return x;
        if (!list) {
            items = Ref::steal(PyList_AsTuple(items.get()));
            if (!items) return failure();
        }
        PyObject* p = items.get();
        kept_.push_back(std::move(items));
        return p;
    }

    const Road& road_;
    std::array<Made, 4> small_{};  // the first views; more_ holds the rest
    std::vector<Made> more_;
    std::size_t count_ = 0;
    std::vector<Ref> kept_;  // operands rebuilt around views
};

// Whether x may be or hold a corvantile array.
bool may_hold(PyObject* x) noexcept {
    PyTypeObject* t = Py_TYPE(x);
    return t == &PyTuple_Type || t == &PyList_Type || is_ndarray(x);
}

// NumPy's method `name` of x as its type's method descriptor: calling that with x first
// is what `x.name(...)` does in Python (x is a NumPy array, without instance dictionary),
// messages included. Empty when the attribute is anything else.
Ref method_descriptor(const Road& road, PyObject* x, PyObject* name) {
    PyTypeObject* type = road.arrays->ndarray;
    if (Py_TYPE(x) != type) return {};
#ifndef Py_GIL_DISABLED
    // The attributes of an immutable type never change: the descriptors found are kept.
    struct Kept {
        PyObject* name = nullptr;  // strong references, both
        PyObject* descriptor = nullptr;
    };
    static constinit std::array<Kept, 32> kept{};
    Kept& slot = kept[(reinterpret_cast<std::uintptr_t>(name) >> 4) % kept.size()];
    if (slot.name == name) return Ref::borrow(slot.descriptor);
#endif
    Ref d = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name));
    if (!d) {
        PyErr_Clear();  // the bound road raises NumPy's own AttributeError
        return {};
    }
    if (!PyType_HasFeature(Py_TYPE(d.get()), Py_TPFLAGS_METHOD_DESCRIPTOR)) return {};
#ifndef Py_GIL_DISABLED
    if (PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE)) {
        PyObject* old_name = std::exchange(slot.name, Py_NewRef(name));
        PyObject* old_descriptor = std::exchange(slot.descriptor, Py_NewRef(d.get()));
        Py_XDECREF(old_name);
        Py_XDECREF(old_descriptor);
    }
#endif
    return d;
}

// callable(*args[:nargs], **kw) with the operands through views, where kw is kwnames
// over the values after the positionals or the dictionary kwargs (either may be null).
// With an object `self`, callable is a method name looked up on it, called with self first.
Result<Ref> call_through(const Road& road, PyObject* callable, PyObject* self, PyObject* const* args,
                         std::size_t nargs, PyObject* kwnames, PyObject* kwargs) {
    Views views(road);
    const bool method = self != nullptr;
    const std::size_t nkw = kwnames != nullptr ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    const std::size_t total = (method ? 1 : 0) + nargs + nkw;
    // Slot 0 is free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET).
    Argv argv(total + 1);
    PyObject** out = argv.data() + 1;
    if (method) out[0] = self;
    std::copy_n(args, nargs + nkw, out + (method ? 1 : 0));
    if (method) nargs += 1;
    for (std::size_t i = 0; i < total; ++i) {
        PyObject* x = out[i];
        if (!may_hold(x)) continue;
        auto c = views.of(x, method && i == 0 ? 0 : 1);  // the object stands alone
        if (!c) return failure(std::move(c.error()));
        out[i] = *c;
    }
    Ref kw_copy;  // kwargs with views, made at the first change
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!may_hold(value)) continue;
            auto c = views.of(value, 0);  // keyword values stand alone
            if (!c) return failure(std::move(c.error()));
            if (*c == value) continue;
            if (!kw_copy) {
                kw_copy = Ref::steal(PyDict_Copy(kwargs));
                if (!kw_copy) return failure();
            }
            if (auto s = check_status(PyDict_SetItem(kw_copy.get(), key, *c)); !s) {
                return failure(std::move(s.error()));
            }
        }
        if (kw_copy) kwargs = kw_copy.get();
    }
    const bool has_dict = kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0;
    const std::size_t offset_nargs = nargs | PY_VECTORCALL_ARGUMENTS_OFFSET;
    Ref r;
    if (!method) {
        r = has_dict ? Ref::steal(PyObject_VectorcallDict(callable, out, nargs, kwargs))
                     : Ref::steal(PyObject_Vectorcall(callable, out, offset_nargs, kwnames));
    } else if (Ref d = method_descriptor(road, out[0], callable)) {
        r = has_dict ? Ref::steal(PyObject_VectorcallDict(d.get(), out, nargs, kwargs))
                     : Ref::steal(PyObject_Vectorcall(d.get(), out, offset_nargs, kwnames));
    } else {
        // Any other attribute: called as getattr gives it.
        Ref bound = Ref::steal(PyObject_GetAttr(out[0], callable));
        if (!bound) return failure();
        r = has_dict ? Ref::steal(PyObject_VectorcallDict(bound.get(), out + 1, nargs - 1, kwargs))
                     : Ref::steal(PyObject_Vectorcall(bound.get(), out + 1, (nargs - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                      kwnames));
    }
    if (!r) return failure();
    return views.back(std::move(r));
}

// NumPy's function of that name, as the fallback module finds it.
Result<Ref> numpy_function(const Road& road, PyObject* name) {
    // The last functions found, valid while the table is unchanged (the table keeps them).
    struct Found {
        PyObject* name = nullptr;  // a strong reference, so that its address is not reused
        PyObject* function = nullptr;
        std::uint64_t generation = 0;
    };
    static constinit std::array<Found, 32> found{};
    Found& slot = found[(reinterpret_cast<std::uintptr_t>(name) >> 4) % found.size()];
    if (road.watched && slot.name == name && slot.generation == WATCH.generation) return Ref::borrow(slot.function);
    PyObject* f = PyDict_GetItemWithError(road.numpy_table.get(), name);  // borrowed
    if (f != nullptr) {
        if (road.watched) {
            PyObject* old = std::exchange(slot.name, Py_NewRef(name));
            slot.function = f;
            slot.generation = WATCH.generation;
            Py_XDECREF(old);
        }
        return Ref::borrow(f);
    }
    if (PyErr_Occurred()) return failure();
    return check(PyObject_GetAttr(road.numpy.get(), name));
}

// numpy.<name>(...) on the C road.
Result<Ref> call_numpy(const Road& road, PyObject* name, PyObject* const* args, std::size_t nargs, PyObject* kwnames,
                       PyObject* kwargs) {
    auto f = numpy_function(road, name);
    if (!f) return f;
    return call_through(road, f->get(), nullptr, args, nargs, kwnames, kwargs);
}

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
    auto r = road();
    if (!r) return failure(std::move(r.error()));
    auto f = function_of(**r, function);
    if (!f) return f;
    return check(PyObject_VectorcallDict(f->get(), args.data(), args.size(), kwargs));
}

Result<Ref> call(std::string_view np_name, std::span<PyObject* const> operands, PyObject* kwargs) {
    auto name = text(np_name);
    if (!name) return name;
    auto r = road();
    if (!r) return failure(std::move(r.error()));
    const Road& rd = **r;
    if (own(rd, Function::call)) return call_numpy(rd, name->get(), operands.data(), operands.size(), nullptr, kwargs);
    return invoke_with(Function::call, {name->get()}, operands, kwargs);
}

Result<Ref> call_named(PyObject* np_name, PyObject* x, PyObject* y) {
    auto r = road();
    if (!r) return failure(std::move(r.error()));
    const Road& rd = **r;
    PyObject* const operands[] = {x, y};
    if (own(rd, Function::call)) return call_numpy(rd, np_name, operands, 2, nullptr, nullptr);
    return invoke_with(Function::call, {np_name}, operands, nullptr);
}

Result<Ref> call(std::string_view np_name, std::initializer_list<PyObject*> operands, PyObject* kwargs) {
    return call(np_name, std::span<PyObject* const>(operands.begin(), operands.size()), kwargs);
}

Result<Ref> call_vector(PyObject* np_name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto r = road();
    if (!r) return failure(std::move(r.error()));
    const Road& rd = **r;
    if (own(rd, Function::call)) {
        return call_numpy(rd, np_name, args, static_cast<std::size_t>(nargs), kwnames, nullptr);
    }
    auto f = function_of(rd, Function::call);
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
    auto r = road();
    if (!r) return failure(std::move(r.error()));
    const Road& rd = **r;
    if (own(rd, Function::call_method)) return call_through(rd, name->get(), a, rest.data(), rest.size(), nullptr, kwargs);
    return invoke_with(Function::call_method, {a, name->get()}, rest, kwargs);
}

Result<Ref> call_method_vector(PyObject* a, std::string_view method, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    auto name = text(method);
    if (!name) return name;
    auto r = road();
    if (!r) return failure(std::move(r.error()));
    const Road& rd = **r;
    if (own(rd, Function::call_method)) {
        return call_through(rd, name->get(), a, args, static_cast<std::size_t>(nargs), kwnames, nullptr);
    }
    auto kwargs = CallArgs{args, nargs, kwnames}.keywords_dict();
    if (!kwargs) return kwargs;
    return invoke_with(Function::call_method, {a, name->get()},
                       std::span<PyObject* const>(args, static_cast<std::size_t>(nargs)), kwargs->get());
}

namespace {

// `native(views, operands)` on NumPy views of the lone operands xs when the C road
// stands for `function`; otherwise the module's function called with `args`.
template <class Native, std::same_as<PyObject*>... X>
Result<Ref> on_views(Function function, std::span<PyObject* const> args, Native native, X... xs) {
    auto rd = own_road(function);
    if (!rd) return failure(std::move(rd.error()));
    if (*rd == nullptr) return invoke(function, args);
    Views views(**rd);
    auto operands = views.lone_operands(xs...);
    if (!operands) return failure(std::move(operands.error()));
    return native(views, *operands);
}

}  // namespace

Result<Ref> compare(PyObject* a, int op, PyObject* other) {
    static constexpr const char* OPERATORS[] = {"lt", "le", "eq", "ne", "gt", "ge"};
    auto name = text(OPERATORS[op]);
    if (!name) return name;
    PyObject* const args[] = {a, name->get(), other};
    auto native = [op](Views& views, const auto& xy) -> Result<Ref> {
        auto out = check(PyObject_RichCompare(xy[0], xy[1], op));
        if (!out) return out;
        return views.back(std::move(*out));
    };
    return on_views(Function::compare, args, native, a, other);
}

Result<Ref> getitem(PyObject* a, PyObject* key) {
    PyObject* const args[] = {a, key};
    // A new NumPy view or copy, never one of ours.
    auto native = [](Views&, const auto& xk) { return check(PyObject_GetItem(xk[0], xk[1])); };
    return on_views(Function::getitem, args, native, a, key);
}

Result<> setitem(PyObject* a, PyObject* key, PyObject* value) {
    PyObject* const args[] = {a, key, value};
    auto native = [](Views&, const auto& xkv) -> Result<Ref> {
        if (PyObject_SetItem(xkv[0], xkv[1], xkv[2]) < 0) return failure();
        return Ref::borrow(Py_None);
    };
    auto result = on_views(Function::setitem, args, native, a, key, value);
    if (!result) return failure(std::move(result.error()));
    return {};
}

namespace {

// NumPy's in-place operators by the name of their function.
using InPlace = PyObject* (*)(PyObject*, PyObject*);
struct NamedInPlace {
    std::string_view name;
    InPlace op;
};
constexpr NamedInPlace IN_PLACE[] = {
    {"add", PyNumber_InPlaceAdd},          {"subtract", PyNumber_InPlaceSubtract},
    {"multiply", PyNumber_InPlaceMultiply}, {"divide", PyNumber_InPlaceTrueDivide},
    {"true_divide", PyNumber_InPlaceTrueDivide}, {"floor_divide", PyNumber_InPlaceFloorDivide},
    {"remainder", PyNumber_InPlaceRemainder}, {"mod", PyNumber_InPlaceRemainder},
    {"power", [](PyObject* x, PyObject* y) { return PyNumber_InPlacePower(x, y, Py_None); }},
    {"bitwise_and", PyNumber_InPlaceAnd},     {"bitwise_or", PyNumber_InPlaceOr},
    {"bitwise_xor", PyNumber_InPlaceXor},     {"left_shift", PyNumber_InPlaceLshift},
    {"right_shift", PyNumber_InPlaceRshift},  {"matmul", PyNumber_InPlaceMatrixMultiply},
};

}  // namespace

Result<> inplace(PyObject* a, std::string_view np_name, PyObject* other) {
    auto r = road();
    if (!r) return failure(std::move(r.error()));
    const Road& rd = **r;
    const auto known = std::ranges::find(IN_PLACE, np_name, &NamedInPlace::name);
    if (known != std::end(IN_PLACE) && own(rd, Function::inplace)) {
        Views views(rd);
        auto xy = views.lone_operands(a, other);
        if (!xy) return failure(std::move(xy.error()));
        auto out = check(known->op((*xy)[0], (*xy)[1]));
        if (!out) return failure(std::move(out.error()));
        return {};
    }
    auto name = text(np_name);
    if (!name) return failure(std::move(name.error()));
    PyObject* const args[] = {a, name->get(), other};
    auto result = invoke(Function::inplace, args);
    if (!result) return failure(std::move(result.error()));
    return {};
}

Result<Ref> argsort_descending(PyObject* a, std::span<PyObject* const> rest, PyObject* kwargs) {
    return invoke_with(Function::argsort_descending, {a}, rest, kwargs);
}

}  // namespace corvantile::python::fallback

namespace corvantile::python {

Result<Ref> call_method_fallback(PyArray& a, std::string_view name, const CallArgs& call) {
    return fallback::call_method_vector(a.object(), name, call.args, call.nargs, call.kwnames);
}

}  // namespace corvantile::python
