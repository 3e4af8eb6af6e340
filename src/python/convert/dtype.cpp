#include "python/convert/dtype.hpp"

#include "python/convert/convert.hpp"
#include "python/runtime/once.hpp"

#include <array>
#include <bit>
#include <string_view>

namespace corvantile::python {

namespace {

constexpr std::size_t KIND_COUNT = std::size(KINDS);

// NumPy's objects per kind, looked up once.
struct NumpyKinds {
    Ref dtype_type;                            // numpy.dtype
    std::array<Ref, KIND_COUNT> descriptors;   // numpy.dtype('float64'), ...
    std::array<Ref, KIND_COUNT> scalar_types;  // numpy.float64, numpy.int64, numpy.bool
};

constinit OnceCell<NumpyKinds> NUMPY_KINDS;

Result<NumpyKinds> load_kinds() {
    auto numpy = import_numpy();
    if (!numpy) return failure(std::move(numpy.error()));
    NumpyKinds k;
    auto dtype_type = check(PyObject_GetAttrString(numpy->get(), "dtype"));
    if (!dtype_type) return failure(std::move(dtype_type.error()));
    k.dtype_type = std::move(*dtype_type);
    for (const KindFacts& f : KINDS) {
        const auto i = static_cast<std::size_t>(f.kind);
        auto descr = check(PyObject_CallFunction(k.dtype_type.get(), "s#", f.name.data(),
                                                 static_cast<Py_ssize_t>(f.name.size())));
        if (!descr) return failure(std::move(descr.error()));
        auto type = check(PyObject_GetAttrString(descr->get(), "type"));
        if (!type) return failure(std::move(type.error()));
        k.descriptors[i] = std::move(*descr);
        k.scalar_types[i] = std::move(*type);
    }
    return k;
}

Result<const NumpyKinds*> numpy_kinds() { return NUMPY_KINDS.get_or_init(load_kinds); }

constexpr char NATIVE_ORDER = std::endian::native == std::endian::little ? '<' : '>';

struct Spelling {
    std::string_view text;
    ElementKind kind;
};

// Names NumPy takes without a byte-order prefix.
constexpr Spelling NAMES[] = {
    {"float64", ElementKind::F64}, {"float", ElementKind::F64},   {"double", ElementKind::F64},
    {"int64", ElementKind::I64},   {"int", ElementKind::I64},     {"long", ElementKind::I64},
    {"intp", ElementKind::I64},    {"int_", ElementKind::I64},    {"longlong", ElementKind::I64},
    {"bool", ElementKind::Bool},   {"bool_", ElementKind::Bool},
};
// Type codes, which may carry '=', '|' or the native byte-order character.
constexpr Spelling CODES[] = {
    {"f8", ElementKind::F64}, {"d", ElementKind::F64},  {"i8", ElementKind::I64}, {"q", ElementKind::I64},
    {"l", ElementKind::I64},  {"p", ElementKind::I64},  {"b1", ElementKind::Bool}, {"?", ElementKind::Bool},
};
static_assert(sizeof(long) == 8 && sizeof(void*) == 8, "'l' and 'p' name int64");

std::optional<ElementKind> kind_of_text(std::string_view text) noexcept {
    for (const Spelling& s : NAMES) {
        if (s.text == text) return s.kind;
    }
    if (!text.empty() && (text[0] == '=' || text[0] == '|' || text[0] == NATIVE_ORDER)) text.remove_prefix(1);
    for (const Spelling& s : CODES) {
        if (s.text == text) return s.kind;
    }
    return std::nullopt;
}

// A NumPy dtype object that is not one of the kinds' own descriptors: native when
// its facts are a kind's and it carries nothing more.
Result<std::optional<ElementKind>> kind_of_descriptor(PyObject* d) {
    auto attr = [&](const char* name) { return check(PyObject_GetAttrString(d, name)); };
    auto isnative = attr("isnative");
    if (!isnative) return failure(std::move(isnative.error()));
    if (isnative->get() != Py_True) return std::nullopt;
    for (const char* extra : {"metadata", "names", "subdtype"}) {
        auto v = attr(extra);
        if (!v) return failure(std::move(v.error()));
        if (v->get() != Py_None) return std::nullopt;
    }
    auto kind = attr("kind");
    if (!kind) return failure(std::move(kind.error()));
    auto itemsize = attr("itemsize");
    if (!itemsize) return failure(std::move(itemsize.error()));
    const long size = PyLong_AsLong(itemsize->get());
    if (size == -1 && PyErr_Occurred()) return failure();
    for (const KindFacts& f : KINDS) {
        const char k[2] = {f.numpy_kind, '\0'};
        if (PyUnicode_Check(kind->get()) && PyUnicode_EqualToUTF8(kind->get(), k) && size == f.itemsize) {
            return f.kind;
        }
    }
    return std::nullopt;
}

}  // namespace

Result<std::optional<ElementKind>> native_kind(PyObject* dtype) {
    if (PyUnicode_CheckExact(dtype)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(dtype, &size);
        if (text == nullptr) return failure();
        if (auto k = kind_of_text({text, static_cast<std::size_t>(size)})) return k;
    } else if (dtype == reinterpret_cast<PyObject*>(&PyFloat_Type)) {
        return ElementKind::F64;
    } else if (dtype == reinterpret_cast<PyObject*>(&PyLong_Type)) {
        return ElementKind::I64;
    } else if (dtype == reinterpret_cast<PyObject*>(&PyBool_Type)) {
        return ElementKind::Bool;
    }
    auto kinds = numpy_kinds();
    if (!kinds) return failure(std::move(kinds.error()));
    const NumpyKinds& k = **kinds;
    for (const KindFacts& f : KINDS) {
        const auto i = static_cast<std::size_t>(f.kind);
        if (dtype == k.descriptors[i].get() || dtype == k.scalar_types[i].get()) return f.kind;
    }
    auto* dtype_type = reinterpret_cast<PyTypeObject*>(k.dtype_type.get());
    Ref descr;
    if (PyObject_TypeCheck(dtype, dtype_type)) {
        descr = Ref::borrow(dtype);
    } else {
        auto d = check(PyObject_CallOneArg(k.dtype_type.get(), dtype));
        if (!d) return failure(std::move(d.error()));
        descr = std::move(*d);
    }
    for (const KindFacts& f : KINDS) {
        if (descr.get() == k.descriptors[static_cast<std::size_t>(f.kind)].get()) return f.kind;
    }
    return kind_of_descriptor(descr.get());
}

Result<bool> is_float64_or_none(PyObject* dtype) {
    if (dtype == nullptr || dtype == Py_None) return true;
    auto kind = native_kind(dtype);
    if (!kind) return failure(std::move(kind.error()));
    return *kind == ElementKind::F64;
}

PyObject* loaded_numpy_dtype(ElementKind kind) noexcept {
    const NumpyKinds* kinds = NUMPY_KINDS.get();
    return kinds == nullptr ? nullptr : kinds->descriptors[static_cast<std::size_t>(kind)].get();
}

Result<PyObject*> numpy_dtype_of(ElementKind kind) {
    auto kinds = numpy_kinds();
    if (!kinds) return failure(std::move(kinds.error()));
    return (*kinds)->descriptors[static_cast<std::size_t>(kind)].get();
}

}  // namespace corvantile::python
