// Item assignment: a[key] = value with integer keys and scalar values natively, every
// other form through NumPy into the same memory.

#include "python/ndarray/attributes.hpp"

#include "python/convert/classify.hpp"
#include "python/numpy/fallback.hpp"

#include <array>
#include <cstring>
#include <optional>
#include <span>
#include <type_traits>

namespace corvantile::python {

namespace {

struct Indices {
    std::array<std::int64_t, MAX_NDIM> values{};
    std::size_t n = 0;
    std::span<const std::int64_t> span() const noexcept { return {values.data(), n}; }
};

// An int that indexes; a bool is a mask in NumPy, never an index.
bool is_index(PyObject* o) noexcept { return PyLong_Check(o) && !PyBool_Check(o); }

Result<std::int64_t> read_index(PyObject* o) {
    const long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred()) return failure();
    return static_cast<std::int64_t>(v);
}

// The indices of a key that addresses one element: an int for a 1-d array, or a tuple of
// exactly ndim ints. Nothing for any other key.
Result<std::optional<Indices>> element_indices(PyObject* key, std::size_t ndim) {
    Indices out;
    if (is_index(key)) {
        if (ndim != 1) return std::nullopt;
        auto i = read_index(key);
        if (!i) return failure(std::move(i.error()));
        out.values[0] = *i;
        out.n = 1;
        return out;
    }
    if (!PyTuple_Check(key) || static_cast<std::size_t>(PyTuple_GET_SIZE(key)) != ndim) return std::nullopt;
    for (std::size_t k = 0; k < ndim; ++k) {
        if (!is_index(PyTuple_GET_ITEM(key, static_cast<Py_ssize_t>(k)))) return std::nullopt;
    }
    for (std::size_t k = 0; k < ndim; ++k) {
        auto i = read_index(PyTuple_GET_ITEM(key, static_cast<Py_ssize_t>(k)));
        if (!i) return failure(std::move(i.error()));
        out.values[k] = *i;
    }
    out.n = ndim;
    return out;
}

// The value an element of type T takes from the operand, when the array accepts it:
// float64 takes floats, ints and bools; int64 only ints; bool only bools.
template <class T>
std::optional<T> element_value(const Operand& op) noexcept {
    if constexpr (std::is_same_v<T, double>) {
        if (auto f = op.get_if<Operand::FloatScalar>()) return f->value;
        if (auto i = op.get_if<Operand::IntScalar>()) return static_cast<double>(i->value);
        if (auto b = op.get_if<Operand::BoolScalar>()) return b->value ? 1.0 : 0.0;
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        if (auto i = op.get_if<Operand::IntScalar>()) return i->value;
    } else {
        if (auto b = op.get_if<Operand::BoolScalar>()) return to_bool(b->value);
    }
    return std::nullopt;
}

bool accepts(const AnyArray& a, const Operand& op) noexcept {
    return a.visit([&]<class T>(const Array<T>&) { return element_value<T>(op).has_value(); });
}

// Writes the operand, converted to a's element type, at `at`; false when a does not take it.
bool store(const AnyArray& a, std::byte* at, const Operand& op) noexcept {
    return a.visit([&]<class T>(const Array<T>&) {
        std::optional<T> v = element_value<T>(op);
        if (v) std::memcpy(at, &*v, sizeof(T));
        return v.has_value();
    });
}

}  // namespace

Result<> assign_item(PyArray& self, PyObject* key, PyObject* value) {
    if (value == nullptr) return failure(Error::make(PyExc_NotImplementedError, "can't delete item"));
    auto indices = element_indices(key, self.value.ndim());
    if (!indices) return failure(std::move(indices.error()));
    if (*indices) {
        const std::span<const std::int64_t> at = (*indices)->span();
        // Classified first: the value's own code may change the array.
        // An ndarray value is NumPy's to store, unread here.
        const Operand op = is_ndarray(value) ? Operand{Operand::Unsupported{}} : classify_stored(value);
        if (op.is<Operand::Unsupported>() && PyErr_Occurred()) return failure();
        if (self.strided) {
            // Straight into the base memory (a small view's shadow is stale between reads).
            auto element = self.strided_element_at(at);
            if (!element) return failure(std::move(element.error()));
            if (*element && store(self.value, **element, op)) return {};
        } else {
            if (accepts(self.value, op)) {
                auto location = self.value.locate(at);
                if (!location) return failure(array_error(std::move(location.error())));
                auto* base = static_cast<std::byte*>(self.value.raw_data());
                store(self.value, base + location->offset * self.value.dims().itemsize(), op);
                return {};
            }
        }
    }
    return fallback::setitem(self.object(), key, value);
}

}  // namespace corvantile::python
