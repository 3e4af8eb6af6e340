#include "python/operators/binary.hpp"

namespace corvantile::python {

Result<std::optional<Ref>> operator_function(std::string_view name, PyObject* a, PyObject* b) {
    using Engine = Result<std::optional<Ref>> (*)(PyObject*, PyObject*);
    struct Named {
        std::string_view name;
        Engine engine;
    };
    static constexpr Named NAMES[] = {
        {"add", &operator_function<Add>}, {"subtract", &operator_function<Sub>},
        {"multiply", &operator_function<Mul>}, {"divide", &operator_function<Div>},
        {"true_divide", &operator_function<Div>}, {"floor_divide", &operator_function<FloorDiv>},
        {"remainder", &operator_function<Mod>}, {"mod", &operator_function<Mod>},
        {"power", &operator_function<Pow>},
    };
    for (const Named& entry : NAMES) {
        if (entry.name == name) return entry.engine(a, b);
    }
    return std::nullopt;
}

// ---- slots --------------------------------------------------------------------------------

PyObject* nb_and(PyObject* l, PyObject* r) noexcept { return entry<&binary::bitwise_slot<And>>(l, r); }
PyObject* nb_or(PyObject* l, PyObject* r) noexcept { return entry<&binary::bitwise_slot<Or>>(l, r); }
PyObject* nb_xor(PyObject* l, PyObject* r) noexcept { return entry<&binary::bitwise_slot<Xor>>(l, r); }
PyObject* nb_lshift(PyObject* l, PyObject* r) noexcept { return entry<&binary::numpy_slot<binary::LShift>>(l, r); }
PyObject* nb_rshift(PyObject* l, PyObject* r) noexcept { return entry<&binary::numpy_slot<binary::RShift>>(l, r); }
PyObject* nb_matrix_multiply(PyObject* l, PyObject* r) noexcept { return entry<&binary::numpy_slot<binary::MatMul>>(l, r); }

}  // namespace corvantile::python
