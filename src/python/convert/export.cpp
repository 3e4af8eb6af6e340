#include "python/convert/export.hpp"

#include "python/object/view_map.hpp"
#include "python/runtime/args.hpp"

#include <format>
#include <memory>

namespace corvantile {

ElementLayout PyArray::element_layout() noexcept {
    ElementLayout out;
    const ArrayDims& dims = value.dims();
    const auto itemsize = static_cast<std::int64_t>(dims.itemsize());
    if (strided) {
        out.data = strided->data;
        for (std::size_t k = 0; k < dims.ndim(); ++k) out.strides[k] = strided->strides[k] / itemsize;
    } else {
        out.data = value.raw_data();
        for (std::size_t k = 0; k < dims.ndim(); ++k) out.strides[k] = dims.strides()[k] / itemsize;
    }
    return out;
}

namespace python {

namespace {

constexpr int CONTIGUITY_BITS = 0x20 | 0x40 | 0x80;  // C, F and any contiguity on top of strides

// A C-ordered record is also Fortran-ordered when at most one axis is longer than 1, or
// when it holds no elements.
bool fortran_ordered(const ArrayDims& dims) noexcept {
    if (dims.size() == 0) return true;
    int long_axes = 0;
    for (std::uint64_t n : dims.shape()) long_axes += n > 1 ? 1 : 0;
    return long_axes <= 1;
}

Error buffer_error(std::string_view message) { return Error::make(PyExc_BufferError, message); }

// Each buffer export owns its shape and strides, so a later reshape of the array in
// place cannot change what a live consumer reads.
struct BufferRecord {
    std::array<Py_ssize_t, MAX_NDIM> shape{};
    std::array<Py_ssize_t, MAX_NDIM> strides{};
};

}  // namespace

Result<> get_buffer(PyArray& self, Py_buffer* view, int flags) {
    if (view == nullptr) return failure(buffer_error("view is null"));
    view->obj = nullptr;
    const ArrayDims& dims = self.value.dims();
    const std::size_t ndim = dims.ndim();
    void* buf = nullptr;
    const std::int64_t* byte_strides = nullptr;
    if (self.strided) {
        if ((flags & PyBUF_STRIDES) != PyBUF_STRIDES || (flags & CONTIGUITY_BITS) != 0) {
            return failure(buffer_error("ndarray is not C-contiguous"));
        }
        buf = self.strided->data;
        byte_strides = self.strided->strides.data();
    } else {
        if ((flags & 0x40) != 0 && !fortran_ordered(dims)) {
            return failure(buffer_error("ndarray is not Fortran contiguous"));
        }
        buf = self.value.raw_data();
        byte_strides = dims.stride_slots().data();
    }

    std::unique_ptr<BufferRecord> record;
    const bool nd = (flags & PyBUF_ND) == PyBUF_ND;
    if (nd && ndim > 0) {
        record = std::make_unique<BufferRecord>();
        for (std::size_t k = 0; k < ndim; ++k) {
            record->shape[k] = static_cast<Py_ssize_t>(dims.shape()[k]);
            record->strides[k] = static_cast<Py_ssize_t>(byte_strides[k]);
        }
    }

    view->buf = buf;
    view->len = static_cast<Py_ssize_t>(dims.size() * dims.itemsize());
    view->readonly = 0;
    view->itemsize = static_cast<Py_ssize_t>(dims.itemsize());
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(facts_of(self.value.kind()).format) : nullptr;
    if (nd) {
        view->ndim = static_cast<int>(ndim);
        view->shape = record ? record->shape.data() : nullptr;
        const bool with_strides = self.strided || (flags & PyBUF_STRIDES) == PyBUF_STRIDES;
        view->strides = record && with_strides ? record->strides.data() : nullptr;
    } else {
        view->ndim = 1;
        view->shape = nullptr;
        view->strides = nullptr;
    }
    view->suboffsets = nullptr;
    view->internal = record.release();
    view->obj = Py_NewRef(self.object());
    return {};
}

void release_buffer(PyObject*, Py_buffer* view) noexcept {
    EntryScope scope;
    delete static_cast<BufferRecord*>(view->internal);
    view->internal = nullptr;
}

// ---- __array__ ----------------------------------------------------------------------------

namespace {

constexpr Param ARRAY_PARAMS[] = {{"dtype"}, {"copy"}};
constexpr Signature ARRAY_SIG{"ndarray.__array__", ARRAY_PARAMS};

}  // namespace

Result<Ref> array_protocol(PyArray& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<2>(ARRAY_SIG, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    PyObject* dtype = bound->unless_none(0);
    std::optional<bool> copy;
    if (PyObject* c = bound->unless_none(1)) {
        auto flag = extract_bool(c);
        if (!flag) return failure(std::move(flag.error()).for_argument("copy"));
        copy = *flag;
    }

    auto numpy = check(PyImport_ImportModule("numpy"));
    if (!numpy) return numpy;
    auto asarray = check(PyObject_GetAttrString(numpy->get(), "asarray"));
    if (!asarray) return asarray;
    // The memoryview asks for a full strided buffer, so strided views export too.
    auto memory = check(PyMemoryView_FromObject(self.object()));
    if (!memory) return memory;
    auto kwargs = check(PyDict_New());
    if (!kwargs) return kwargs;
    if (dtype != nullptr) {
        if (auto r = check_status(PyDict_SetItemString(kwargs->get(), "dtype", dtype)); !r) {
            return failure(std::move(r.error()));
        }
    }
    if (copy) {
        if (auto r = check_status(PyDict_SetItemString(kwargs->get(), "copy", *copy ? Py_True : Py_False)); !r) {
            return failure(std::move(r.error()));
        }
    }
    PyObject* call_args[] = {memory->get()};
    return check(PyObject_VectorcallDict(asarray->get(), call_args, 1, kwargs->get()));
}

// ---- DLPack -------------------------------------------------------------------------------

namespace {

constexpr const char LEGACY_NAME[] = "dltensor";
constexpr const char VERSIONED_NAME[] = "dltensor_versioned";

constexpr Param DLPACK_PARAMS[] = {
    {"stream", ParamKind::KeywordOnly},
    {"max_version", ParamKind::KeywordOnly},
    {"dl_device", ParamKind::KeywordOnly},
    {"copy", ParamKind::KeywordOnly},
};
constexpr Signature DLPACK_SIG{"ndarray.__dlpack__", DLPACK_PARAMS};

// A tuple of exactly two ints, each converted by `convert` (which raises the C API's
// integer conversion error for a value out of range).
template <class T>
Result<std::array<T, 2>> int_pair(PyObject* object, int (*convert)(PyObject*, T*)) {
    if (!PyTuple_Check(object)) return failure(Error::not_an_instance(object, "tuple"));
    const Py_ssize_t n = PyTuple_GET_SIZE(object);
    if (n != 2) {
        return failure(Error::value_error(std::format("expected tuple of length 2, but got tuple of length {}", n)));
    }
    std::array<T, 2> out{};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        if (convert(PyTuple_GET_ITEM(object, i), &out[static_cast<std::size_t>(i)]) < 0) return failure();
    }
    return out;
}

dlpack::DLDataType dl_dtype(ElementKind kind) noexcept {
    const KindFacts& f = facts_of(kind);
    return {f.dlpack_code, f.dlpack_bits, 1};
}

// Fills the block's tensor, shape and strides from the exported array, whose reference
// the block takes over.
template <class Managed>
void fill(dlpack::Export<Managed>& block, Ref owner) {
    PyArray& source = *PyArray::of(owner.get());
    const ElementLayout layout = source.element_layout();
    const ArrayDims& dims = source.value.dims();
    for (std::size_t k = 0; k < dims.ndim(); ++k) block.shape[k] = static_cast<std::int64_t>(dims.shape()[k]);
    block.strides = layout.strides;
    dlpack::DLTensor& t = block.managed.dl_tensor;
    t.data = layout.data;
    t.device = {kDLCPU, 0};
    t.ndim = static_cast<std::int32_t>(dims.ndim());
    t.dtype = dl_dtype(source.value.kind());
    t.shape = block.shape.data();
    t.strides = block.strides.data();
    t.byte_offset = 0;
    block.owner = std::move(owner);
}

template <class Managed>
Result<Ref> make_capsule(std::unique_ptr<dlpack::Export<Managed>> block, const char* name,
                         PyCapsule_Destructor destructor) {
    PyObject* capsule = PyCapsule_New(&block->managed, name, destructor);
    if (capsule == nullptr) {
        PyErr_Clear();
        block->owner.reset();
        return failure(buffer_error("could not create DLPack capsule"));
    }
    (void)block.release();  // the capsule, then the consumer, owns it now
    return Ref::steal(capsule);
}

}  // namespace

Result<Ref> dlpack_export(PyArray& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<4>(DLPACK_SIG, args, nargs, kwnames);
    if (!bound) return failure(std::move(bound.error()));
    std::optional<std::array<std::uint32_t, 2>> max_version;
    if (PyObject* v = bound->unless_none(1)) {
        auto pair = int_pair<std::uint32_t>(v, PyLong_AsUInt32);
        if (!pair) return failure(std::move(pair.error()).for_argument("max_version"));
        max_version = *pair;
    }
    std::optional<std::array<std::int32_t, 2>> device;
    if (PyObject* d = bound->unless_none(2)) {
        auto pair = int_pair<std::int32_t>(d, PyLong_AsInt32);
        if (!pair) return failure(std::move(pair.error()).for_argument("dl_device"));
        device = *pair;
    }
    bool copy = false;
    if (PyObject* c = bound->unless_none(3)) {
        auto flag = extract_bool(c);
        if (!flag) return failure(std::move(flag.error()).for_argument("copy"));
        copy = *flag;
    }

    if (bound->unless_none(0) != nullptr) return failure(Error::value_error("stream is not supported for CPU arrays"));
    if (device && (*device != std::array<std::int32_t, 2>{kDLCPU, 0})) {
        return failure(buffer_error("corvantile arrays live on the CPU; cannot export to another device"));
    }

    Ref owner;
    if (copy) {
        const std::optional<walk::Strided> view = in_place_layout(self);
        if (!view) self.refresh();
        auto fresh = view ? copy_view(self.value, *view, self.value.shape()) : create_class_object(self.value.clone());
        if (!fresh) return fresh;
        owner = std::move(*fresh);
    } else {
        owner = Ref::borrow(self.object());
    }

    if (max_version && (*max_version)[0] != 0) {
        auto block = std::make_unique<dlpack::VersionedExport>();
        block->managed.version = {1, 0};
        block->managed.manager_ctx = block.get();
        block->managed.deleter = &dlpack::deleter;
        block->managed.flags = 0;
        fill(*block, std::move(owner));
        return make_capsule(std::move(block), VERSIONED_NAME, &dlpack::capsule_destructor);
    }
    auto block = std::make_unique<dlpack::LegacyExport>();
    block->managed.manager_ctx = nullptr;
    block->managed.deleter = &dlpack::legacy_deleter;
    fill(*block, std::move(owner));
    return make_capsule(std::move(block), LEGACY_NAME, &dlpack::legacy_capsule_destructor);
}

Result<Ref> dlpack_device(PyArray&, PyObject*) { return check(Py_BuildValue("(ii)", kDLCPU, 0)); }

}  // namespace python

namespace dlpack {

namespace {

// Drops the block's owner reference from whatever thread the consumer frees it on.
// While the interpreter is finalising it cannot be attached to: the reference leaks.
void drop_owner(Ref& owner) noexcept {
    if (!owner) return;
    if (PyThreadState_GetUnchecked() != nullptr) {
        python::LightScope scope;
        owner.reset();
        return;
    }
    if (!Py_IsInitialized() || Py_IsFinalizing()) {
        (void)owner.release();
        return;
    }
    const PyGILState_STATE state = PyGILState_Ensure();
    {
        python::LightScope scope;
        owner.reset();
    }
    PyGILState_Release(state);
}

template <class Managed>
void free_block(Managed* managed) noexcept {
    if (managed == nullptr) return;
    auto* block = reinterpret_cast<Export<Managed>*>(managed);
    drop_owner(block->owner);
    delete block;
}

template <class Managed>
void destroy_capsule(PyObject* capsule, const char* name) noexcept {
    // A consumer that took the tensor renamed the capsule and calls the deleter itself.
    if (!PyCapsule_IsValid(capsule, name)) return;
    auto* managed = static_cast<Managed*>(PyCapsule_GetPointer(capsule, name));
    if (managed != nullptr && managed->deleter != nullptr) managed->deleter(managed);
}

}  // namespace

void legacy_deleter(DLManagedTensor* managed) noexcept { free_block(managed); }
void deleter(DLManagedTensorVersioned* managed) noexcept { free_block(managed); }

void legacy_capsule_destructor(PyObject* capsule) noexcept {
    destroy_capsule<DLManagedTensor>(capsule, python::LEGACY_NAME);
}
void capsule_destructor(PyObject* capsule) noexcept {
    destroy_capsule<DLManagedTensorVersioned>(capsule, python::VERSIONED_NAME);
}

}  // namespace dlpack
}  // namespace corvantile
