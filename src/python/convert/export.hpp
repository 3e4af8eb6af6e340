#pragma once

// Handing an ndarray's memory to other libraries without copying: the buffer protocol,
// NumPy's __array__ and DLPack capsules.

#include "python/object/pyarray.hpp"

#include <dlpack/dlpack.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace corvantile {

// Where an array's elements really are: the first element's address and signed strides
// in elements (a strided view's point into its base memory). Axes at or beyond ndim: 0.
struct ElementLayout {
    void* data = nullptr;
    std::array<std::int64_t, MAX_NDIM> strides{};
};

// The DLPack records come from the standard header; the layout checks guard against a
// header whose records no longer match the ABI that consumers read.
namespace dlpack {

using ::DLDataType;
using ::DLManagedTensor;
using ::DLManagedTensorVersioned;
using ::DLTensor;

static_assert(DLPACK_MAJOR_VERSION == 1);
static_assert(sizeof(DLPackVersion) == 8 && sizeof(DLDevice) == 8 && sizeof(DLDataType) == 4);
static_assert(facts_of(ElementKind::F64).dlpack_code == kDLFloat &&
              facts_of(ElementKind::I64).dlpack_code == kDLInt && facts_of(ElementKind::Bool).dlpack_code == kDLBool);
static_assert(offsetof(DLTensor, data) == 0 && offsetof(DLTensor, device) == 8 &&
              offsetof(DLTensor, ndim) == 16 && offsetof(DLTensor, dtype) == 20 &&
              offsetof(DLTensor, shape) == 24 && offsetof(DLTensor, strides) == 32 &&
              offsetof(DLTensor, byte_offset) == 40 && sizeof(DLTensor) == 48);
static_assert(offsetof(DLManagedTensor, dl_tensor) == 0 && offsetof(DLManagedTensor, manager_ctx) == 48 &&
              offsetof(DLManagedTensor, deleter) == 56 && sizeof(DLManagedTensor) == 64);
static_assert(offsetof(DLManagedTensorVersioned, version) == 0 &&
              offsetof(DLManagedTensorVersioned, manager_ctx) == 8 &&
              offsetof(DLManagedTensorVersioned, deleter) == 16 &&
              offsetof(DLManagedTensorVersioned, flags) == 24 &&
              offsetof(DLManagedTensorVersioned, dl_tensor) == 32 && sizeof(DLManagedTensorVersioned) == 80);

// One heap block per export: the managed tensor first (so its address is the block's),
// then the shape and element strides it points to, then the reference that keeps the
// exported array alive.
template <class Managed>
struct Export {
    Managed managed;
    std::array<std::int64_t, MAX_NDIM> shape{};
    std::array<std::int64_t, MAX_NDIM> strides{};
    Ref owner;
};
using LegacyExport = Export<DLManagedTensor>;              // capsule "dltensor"
using VersionedExport = Export<DLManagedTensorVersioned>;  // capsule "dltensor_versioned"

static_assert(std::is_standard_layout_v<LegacyExport> && offsetof(LegacyExport, managed) == 0);
static_assert(std::is_standard_layout_v<VersionedExport> && offsetof(VersionedExport, managed) == 0);

// Called by the consumer, possibly on any thread: drop the owner reference and free the block.
void legacy_deleter(DLManagedTensor* managed) noexcept;
void deleter(DLManagedTensorVersioned* managed) noexcept;
// Run when a capsule dies: a capsule nobody took still carries its tensor, which is freed.
void legacy_capsule_destructor(PyObject* capsule) noexcept;
void capsule_destructor(PyObject* capsule) noexcept;

}  // namespace dlpack

namespace python {

// bf_getbuffer / bf_releasebuffer.
Result<> get_buffer(PyArray& self, Py_buffer* view, int flags);
void release_buffer(PyObject* self, Py_buffer* view) noexcept;

// __array__(dtype=None, copy=None), __dlpack__(*, stream, max_version, dl_device, copy)
// and __dlpack_device__(); the first two are fast-call methods with keywords.
Result<Ref> array_protocol(PyArray& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Result<Ref> dlpack_export(PyArray& self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Result<Ref> dlpack_device(PyArray& self, PyObject*);

inline constexpr const char ARRAY_DOC[] =
    "__array__($self, dtype=None, copy=None)\n--\n\n"
    "NumPy's `__array__` protocol. NumPy normally takes the zero-copy\n"
    "buffer-protocol route first; this exists for libraries that call\n"
    "`__array__` directly. `copy=False` is honoured (the view is writable).";
inline constexpr const char DLPACK_DOC[] =
    "__dlpack__($self, *, stream=None, max_version=None, dl_device=None, copy=None)\n--\n\n"
    "DLPack export: versioned (protocol 1.0) when the consumer passes\n"
    "`max_version`, the legacy unversioned capsule otherwise.";
inline constexpr const char DLPACK_DEVICE_DOC[] = "__dlpack_device__($self)\n--\n\n";

}  // namespace python
}  // namespace corvantile
