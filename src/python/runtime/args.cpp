#include "python/runtime/args.hpp"

#include "array/error.hpp"

#include <algorithm>
#include <format>
#include <string>
#include <vector>

namespace corvantile::python {

std::string quoted_list(std::span<const std::string_view> names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i != 0) {
            if (names.size() > 2) out += ',';
            out += (i + 1 == names.size()) ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

PyObject* CallArgs::keyword(std::string_view name) const noexcept {
    const Py_ssize_t n = keyword_count();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_EqualToUTF8AndSize(key, name.data(), static_cast<Py_ssize_t>(name.size()))) return args[nargs + i];
    }
    return nullptr;
}

Result<Ref> CallArgs::keywords_dict() const {
    const Py_ssize_t n = keyword_count();
    if (n == 0) return Ref();
    auto dict = check(PyDict_New());
    if (!dict) return dict;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (auto r = check_status(PyDict_SetItem(dict->get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i])); !r) {
            return failure(std::move(r.error()));
        }
    }
    return dict;
}

namespace {

bool is_numpy_bool_type(PyTypeObject* type) {
    Ref module = Ref::steal(PyType_GetModuleName(type));
    Ref name = Ref::steal(PyType_GetName(type));
    if (!module || !name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_EqualToUTF8(module.get(), "numpy") &&
           (PyUnicode_EqualToUTF8(name.get(), "bool_") || PyUnicode_EqualToUTF8(name.get(), "bool"));
}

}  // namespace

Result<bool> extract_bool(PyObject* object) {
    if (PyBool_Check(object)) return object == Py_True;
    PyTypeObject* type = Py_TYPE(object);
    if (!is_numpy_bool_type(type)) return failure(Error::not_an_instance(object, "bool"));
    inquiry nb_bool = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
    if (nb_bool == nullptr) {
        return failure(Error::type_error(
            std::format("object of type '{}' does not define a '__bool__' conversion", type_name(object))));
    }
    const int truth = nb_bool(object);
    if (truth < 0) return failure();
    return truth != 0;
}

namespace {

struct Keywords {
    PyObject* const* names;
    PyObject* const* values;  // values[i] belongs to names[i]
    Py_ssize_t count;
};

std::string_view text_of(PyObject* s) {
    Py_ssize_t size = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &size);
    if (p == nullptr) {
        PyErr_Clear();
        return "?";
    }
    return {p, static_cast<std::size_t>(size)};
}

Error missing(const Signature& sig, std::span<const std::string_view> names, bool keyword) {
    return Error::type_error(std::format("{}() missing {} required {} {}: {}", sig.function, names.size(),
                                         keyword ? "keyword" : "positional",
                                         names.size() == 1 ? "argument" : "arguments", quoted_list(names)));
}

Result<> match_impl(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, Keywords kw,
                    std::span<PyObject*> values, Ref* rest, Ref* kwargs) {
    const auto params = sig.params;
    if (values.size() != params.size()) internal_failure("argument table of the wrong size");
    std::ranges::fill(values, nullptr);

    std::size_t n_pos = 0, n_required_pos = 0;
    for (const Param& p : params) {
        if (p.kind == ParamKind::KeywordOnly) continue;
        ++n_pos;
        if (p.required) ++n_required_pos;
    }

    const auto given = static_cast<std::size_t>(nargs);
    if (given > n_pos && !sig.var_args) {
        const char* was = given == 1 ? "was" : "were";
        if (n_required_pos != n_pos) {
            return failure(Error::type_error(std::format("{}() takes from {} to {} positional arguments but {} {} given",
                                                         sig.function, n_required_pos, n_pos, given, was)));
        }
        return failure(Error::type_error(
            std::format("{}() takes {} positional arguments but {} {} given", sig.function, n_pos, given, was)));
    }
    const std::size_t bound = std::min(given, n_pos);
    std::copy_n(args, bound, values.begin());
    if (sig.var_args && rest != nullptr) {
        Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(given - bound)));
        if (!tuple) return failure();
        for (std::size_t i = bound; i < given; ++i) {
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i - bound), Py_NewRef(args[i]));
        }
        *rest = std::move(tuple);
    }

    std::vector<std::string_view> positional_only;
    Ref extra;
    auto keep_extra = [&](PyObject* name, PyObject* value) -> Result<> {
        if (!extra) {
            extra = Ref::steal(PyDict_New());
            if (!extra) return failure();
        }
        return check_status(PyDict_SetItem(extra.get(), name, value));
    };

    for (Py_ssize_t k = 0; k < kw.count; ++k) {
        PyObject* name = kw.names[k];
        if (!PyUnicode_Check(name)) {
            return failure(Error::type_error(std::format("{}() keywords must be strings", sig.function)));
        }
        std::size_t j = 0;
        for (; j < params.size(); ++j) {
            const std::string_view p = params[j].name;
            if (PyUnicode_EqualToUTF8AndSize(name, p.data(), static_cast<Py_ssize_t>(p.size()))) break;
        }
        if (j < params.size() && params[j].kind != ParamKind::PositionalOnly) {
            if (values[j] != nullptr) {
                return failure(Error::type_error(
                    std::format("{}() got multiple values for argument '{}'", sig.function, params[j].name)));
            }
            values[j] = kw.values[k];
            continue;
        }
        if (sig.var_kwargs) {
            // A keyword that names a positional-only parameter belongs to **kwargs.
            if (auto r = keep_extra(name, kw.values[k]); !r) return r;
            continue;
        }
        if (j < params.size()) {
            positional_only.push_back(params[j].name);
            continue;
        }
        return failure(Error::type_error(
            std::format("{}() got an unexpected keyword argument '{}'", sig.function, text_of(name))));
    }
    if (!positional_only.empty()) {
        return failure(
            Error::type_error(std::format("{}() got some positional-only arguments passed as keyword arguments: {}",
                                          sig.function, quoted_list(positional_only))));
    }

    std::vector<std::string_view> absent;
    for (std::size_t j = 0; j < params.size(); ++j) {
        if (params[j].kind != ParamKind::KeywordOnly && params[j].required && values[j] == nullptr) {
            absent.push_back(params[j].name);
        }
    }
    if (!absent.empty()) return failure(missing(sig, absent, false));
    for (std::size_t j = 0; j < params.size(); ++j) {
        if (params[j].kind == ParamKind::KeywordOnly && params[j].required && values[j] == nullptr) {
            absent.push_back(params[j].name);
        }
    }
    if (!absent.empty()) return failure(missing(sig, absent, true));

    if (kwargs != nullptr) *kwargs = std::move(extra);
    return {};
}

}  // namespace

Result<> match(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::span<PyObject*> values, Ref* rest, Ref* kwargs) {
    Keywords kw{nullptr, nullptr, 0};
    if (kwnames != nullptr) {
        kw.count = PyTuple_GET_SIZE(kwnames);
        kw.names = reinterpret_cast<PyTupleObject*>(kwnames)->ob_item;
        kw.values = args + nargs;
    }
    return match_impl(sig, args, nargs, kw, values, rest, kwargs);
}

Result<> match(const Signature& sig, PyObject* args, PyObject* kwargs_in, std::span<PyObject*> values,
               Ref* rest, Ref* kwargs) {
    std::vector<PyObject*> names, vals;
    if (kwargs_in != nullptr) {
        const Py_ssize_t n = PyDict_GET_SIZE(kwargs_in);
        names.reserve(static_cast<std::size_t>(n));
        vals.reserve(static_cast<std::size_t>(n));
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs_in, &pos, &key, &value)) {
            names.push_back(key);
            vals.push_back(value);
        }
    }
    Keywords kw{names.data(), vals.data(), static_cast<Py_ssize_t>(names.size())};
    return match_impl(sig, reinterpret_cast<PyTupleObject*>(args)->ob_item, PyTuple_GET_SIZE(args), kw, values,
                      rest, kwargs);
}

}  // namespace corvantile::python
