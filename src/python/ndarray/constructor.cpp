#include "python/object/pyarray.hpp"

#include "python/convert/dtype.hpp"

#include "python/runtime/args.hpp"
#include "python/convert/convert.hpp"
#include "python/convert/nested.hpp"

#include <string_view>
#include <vector>

namespace corvantile::python {

namespace {

constexpr std::string_view UNSUPPORTED =
    "corvantile.ndarray holds contiguous float64, int64 or bool data; use numpy.ndarray for other dtypes or strides";

constexpr Param PARAMS[] = {
    {"shape", ParamKind::Either, true}, {"dtype"}, {"buffer"}, {"offset"}, {"strides"}, {"order"},
};
constexpr Signature SIGNATURE{"ndarray.__new__", PARAMS};

Result<std::uint64_t> offset_of(PyObject* offset) {
    if (offset == nullptr) return 0;
    Ref index = Ref::steal(PyNumber_Index(offset));
    if (!index) return failure(Error::fetch().for_argument("offset"));
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return failure(Error::fetch().for_argument("offset"));
    }
    return static_cast<std::uint64_t>(v);
}

template <Element T>
Result<AnyArray> zeros(std::span<const std::uint64_t> shape) {
    auto a = Array<T>::filled(shape, T{});
    if (!a) return failure(array_error(std::move(a.error())));
    return AnyArray(std::move(*a));
}

// A float64 copy of the first prod(shape) elements of the buffer after offset bytes.
Result<AnyArray> from_buffer(PyObject* buffer, std::uint64_t offset, std::span<const std::uint64_t> shape) {
    // An oversized shape is refused before NumPy is asked for anything.
    if (auto dims = ArrayDims::make(shape, 8); !dims && dims.error().kind() == ArrayError::Kind::Message) {
        return failure(array_error(std::move(dims.error())));
    }
    const std::uint64_t n = array::checked_product(shape).value_or(0);
    auto frombuffer = numpy_attr("frombuffer");
    if (!frombuffer) return failure(std::move(frombuffer.error()));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:s,s:K}", "dtype", "float64", "offset",
                                          static_cast<unsigned long long>(offset)));
    if (!kwargs) return failure();
    Ref args = Ref::steal(PyTuple_Pack(1, buffer));
    if (!args) return failure();
    auto flat = check(PyObject_Call(frombuffer->get(), args.get(), kwargs.get()));
    if (!flat) return failure(std::move(flat.error()));
    Ref stop = Ref::steal(PyLong_FromUnsignedLongLong(n));
    if (!stop) return failure();
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return failure();
    Ref slice = Ref::steal(PySlice_New(nullptr, stop.get(), one.get()));
    if (!slice) return failure();
    auto head = check(PyObject_GetItem(flat->get(), slice.get()));
    if (!head) return failure(std::move(head.error()));
    auto data = from_f64_buffer(head->get());
    if (!data) return failure(std::move(data.error()));
    if (!*data) return failure(Error::type_error("buffer must expose float64 data"));
    auto shaped = (*data)->reshape(shape);
    if (!shaped) return failure(array_error(std::move(shaped.error())));
    return AnyArray(std::move(*shaped));
}

}  // namespace

Result<Ref> construct_ndarray(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    auto bound = bind<6>(SIGNATURE, args, kwargs);
    if (!bound) return failure(std::move(bound.error()));
    PyObject* shape_arg = (*bound)[0];
    PyObject* buffer = bound->unless_none(2);
    auto offset = offset_of((*bound)[3]);
    if (!offset) return failure(std::move(offset.error()));
    PyObject* dtype_arg = bound->unless_none(1);
    auto dtype = dtype_arg != nullptr ? native_kind(dtype_arg) : Result<std::optional<ElementKind>>(ElementKind::F64);
    if (!dtype) return failure(std::move(dtype.error()));
    if (bound->unless_none(4) != nullptr) return failure(Error::type_error(UNSUPPORTED));
    auto shape = extract_shape(shape_arg);
    if (!shape) return failure(std::move(shape.error()));

    // A non-native byte order is refused rather than read as native.
    const std::optional<ElementKind> kind = *dtype;
    auto make = [&]() -> Result<AnyArray> {
        if (kind == ElementKind::F64) {
            return buffer != nullptr ? from_buffer(buffer, *offset, *shape) : zeros<double>(*shape);
        }
        if (buffer == nullptr && kind == ElementKind::I64) return zeros<std::int64_t>(*shape);
        if (buffer == nullptr && kind == ElementKind::Bool) return zeros<Bool>(*shape);
        return failure(Error::type_error(UNSUPPORTED));
    };
    auto value = make();
    if (!value) return failure(std::move(value.error()));

    return create_instance(type, std::move(*value));
}

}  // namespace corvantile::python
