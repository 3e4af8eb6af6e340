#include "array/array.hpp"
#include "array/walk_map.hpp"
#include "array/loops.hpp"
#include "array/cast.hpp"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace corvantile {

namespace {

std::size_t stream_bytes() noexcept {
#if defined(__linux__) && defined(_SC_LEVEL3_CACHE_SIZE)
    const long cache = sysconf(_SC_LEVEL3_CACHE_SIZE);
    if (cache > 0) return static_cast<std::size_t>(cache) / 2;
#endif
    return std::numeric_limits<std::size_t>::max();
}

std::size_t far_bytes() noexcept {
#if defined(__linux__) && defined(_SC_LEVEL2_CACHE_SIZE)
    const long cache = sysconf(_SC_LEVEL2_CACHE_SIZE);
    if (cache > 0) return static_cast<std::size_t>(cache);
#endif
    return std::size_t{1} << 20;
}

}  // namespace

const std::size_t loops::STREAM_BYTES = stream_bytes();
const std::size_t loops::FAR_BYTES = far_bytes();

namespace detail {

namespace {

// Large buffers ask for transparent huge pages (where the system grants them only on
// request): a pass over many megabytes then misses the TLB far less often.
void advise_huge_pages([[maybe_unused]] void* p, [[maybe_unused]] std::uint64_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uint64_t threshold = std::uint64_t{1} << 22;
    constexpr std::uintptr_t page = 4096;
    if (bytes < threshold) return;
    const auto start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t aligned = (start + page - 1) & ~(page - 1);
    const std::uintptr_t end = (start + bytes) & ~(page - 1);
    if (end > aligned) madvise(reinterpret_cast<void*>(aligned), end - aligned, MADV_HUGEPAGE);  // advice only
#endif
}

}  // namespace

// Buffers of 1 KiB or more start on a 64-byte line, so that the vector loops' loads and
// stores do not straddle lines (where they did, a pass in place ran 1.4x slower, and two
// operands into a result up to 1.7x). Their block from malloc is a line longer, and the
// address it gave is kept in the 8 bytes before the buffer (malloc's blocks are 16-byte
// aligned, so there is room). Smaller buffers stay as malloc gives them: a line more would
// move them out of its fastest cache of blocks, and their loops are short.
constexpr std::uintptr_t LINE = loops::LINE_BYTES;
constexpr std::uint64_t LINED_FROM = 1024;

void* allocate_elements(std::uint64_t count, std::size_t elem_size, bool zeroed) {
    if (count == 0) return empty_placeholder();
    std::uint64_t bytes = 0;
    if (__builtin_mul_overflow(count, elem_size, &bytes) ||
        bytes > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        internal_failure("capacity overflow");
    }
    const std::uint64_t slack = bytes >= LINED_FROM ? LINE : 0;
    void* block = zeroed ? std::calloc(1, bytes + slack) : std::malloc(bytes + slack);
    if (block == nullptr) throw std::bad_alloc();
    if (slack == 0) return block;
    void* p = reinterpret_cast<void*>((reinterpret_cast<std::uintptr_t>(block) + LINE) & ~(LINE - 1));
    static_cast<void**>(p)[-1] = block;
    advise_huge_pages(p, bytes);
    return p;
}

void free_elements(void* p, std::uint64_t bytes) noexcept {
    std::free(bytes >= LINED_FROM ? static_cast<void**>(p)[-1] : p);
}

}  // namespace detail

// ---- Array<T> construction ---------------------------------------------------------------

template <Element T>
std::expected<Array<T>, ArrayError> Array<T>::from_storage(Storage<T> data,
                                                           std::span<const std::uint64_t> shape) {
    if (data.is_borrowed()) internal_failure("Array::from_storage given borrowed storage");
    auto dims = ArrayDims::make(shape, ITEMSIZE);
    if (!dims) return std::unexpected(std::move(dims.error()));
    if (dims->size() != data.len()) {
        return std::unexpected(ArrayError::SizeMismatch{dims->size(), data.len()});
    }
    return Array(std::move(data), *dims);
}

template <Element T>
std::expected<Array<T>, ArrayError> Array<T>::from_vec(std::vector<T> data,
                                                       std::span<const std::uint64_t> shape) {
    auto dims = ArrayDims::make(shape, ITEMSIZE);
    if (!dims) return std::unexpected(std::move(dims.error()));
    if (dims->size() != data.size()) {
        return std::unexpected(ArrayError::SizeMismatch{dims->size(), data.size()});
    }
    return Array(Storage<T>::copy_of(data), *dims);
}

template <Element T>
std::expected<Array<T>, ArrayError> Array<T>::filled(std::span<const std::uint64_t> shape,
                                                     T value) {
    auto dims = ArrayDims::make(shape, ITEMSIZE);
    if (!dims) return std::unexpected(std::move(dims.error()));
    const std::uint64_t n = dims->size();
    using Bits = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint8_t>;
    if (std::bit_cast<Bits>(value) == 0) return Array(Storage<T>::zeroed(n), *dims);
    Storage<T> s = Storage<T>::uninit(n);
    std::fill_n(s.ptr(), n, value);
    return Array(std::move(s), *dims);
}

template <Element T>
std::expected<Array<T>, ArrayError> Array<T>::uninit(std::span<const std::uint64_t> shape) {
    auto dims = ArrayDims::make(shape, ITEMSIZE);
    if (!dims) return std::unexpected(std::move(dims.error()));
    return Array(Storage<T>::uninit(dims->size()), *dims);
}

template <Element T>
Array<T> Array<T>::scalar(T value) {
    Storage<T> s = Storage<T>::uninit(1);
    s.ptr()[0] = value;
    return Array(std::move(s), ArrayDims::scalar(ITEMSIZE));
}

template <Element T>
Array<T> Array<T>::view(const Array& base, std::uint64_t offset,
                        std::span<const std::uint64_t> shape, Owner root_owner) {
    return view(base, offset, ArrayDims::c_of_valid(shape, ITEMSIZE), std::move(root_owner));
}

template <Element T>
std::expected<Array<T>, ArrayError> Array<T>::reshape(std::span<const std::uint64_t> shape) const {
    auto dims = ArrayDims::make(shape, ITEMSIZE);
    if (!dims) return std::unexpected(std::move(dims.error()));
    if (dims->size() != len()) return std::unexpected(ArrayError::SizeMismatch{dims->size(), len()});
    return Array(Storage<T>::copy_of(elements()), *dims);
}

template <Element T>
Array<T> Array<T>::clone() const {
    return Array(Storage<T>::copy_of(elements()), dims_);
}

template <Element T>
void Array<T>::set_dims(const ArrayDims& dims) {
    if (dims.itemsize() != ITEMSIZE || dims.size() != len()) {
        internal_failure("set_dims changes the element count");
    }
    dims_ = dims;
}

template <Element T>
std::expected<Location, ArrayError> Array<T>::locate(std::span<const std::int64_t> indices) const {
    const std::size_t nd = dims_.ndim();
    if (indices.size() > nd) {
        return std::unexpected(ArrayError::TooManyIndices{indices.size(), nd});
    }
    const auto shape = dims_.shape();
    const Shape strides = dims_.element_strides();
    std::uint64_t offset = 0;
    for (std::size_t k = 0; k < indices.size(); ++k) {
        const std::int64_t i = indices[k];
        const std::uint64_t size = shape[k];
        // Wrap a negative index once; unsigned arithmetic keeps extreme values defined.
        const std::uint64_t j = i < 0 ? static_cast<std::uint64_t>(i) + size : static_cast<std::uint64_t>(i);
        if ((i < 0 && static_cast<std::uint64_t>(-(i + 1)) >= size) || j >= size) {
            return std::unexpected(ArrayError::IndexOutOfBounds{i, k, size});
        }
        offset += j * strides[k];
    }
    return Location{offset, ArrayDims::c_of_valid(shape.subspan(indices.size()), ITEMSIZE)};
}

template class Array<double>;
template class Array<std::int64_t>;
template class Array<Bool>;

// ---- AnyArray ----------------------------------------------------------------------------

void AnyArray::set_dims(const ArrayDims& dims) {
    std::visit([&](auto& a) { a.set_dims(dims); }, v_);
}

std::expected<AnyArray, ArrayError> AnyArray::reshape(std::span<const std::uint64_t> shape) const {
    return std::visit(
        [&](const auto& a) -> std::expected<AnyArray, ArrayError> {
            auto r = a.reshape(shape);
            if (!r) return std::unexpected(std::move(r.error()));
            return AnyArray(std::move(*r));
        },
        v_);
}

std::expected<AnyArray, ArrayError> AnyArray::zeros_like(std::span<const std::uint64_t> shape) const {
    return std::visit(
        [&]<class T>(const Array<T>&) -> std::expected<AnyArray, ArrayError> {
            auto r = Array<T>::filled(shape, T{});
            if (!r) return std::unexpected(std::move(r.error()));
            return AnyArray(std::move(*r));
        },
        v_);
}

AnyArray AnyArray::clone() const {
    return std::visit([](const auto& a) { return AnyArray(a.clone()); }, v_);
}

std::expected<Location, ArrayError> AnyArray::locate(std::span<const std::int64_t> indices) const {
    return std::visit([&](const auto& a) { return a.locate(indices); }, v_);
}

namespace {

// Element-by-element conversion into a new owned array of the same shape.
template <Element To, Element From, class F>
Array<To> convert(const Array<From>& a, F f) {
    const std::size_t n = a.len();
    Storage<To> out = Storage<To>::uninit(n);
    loops::map_loop(a.data(), out.ptr(), n, f);
    return Array<To>::from_parts(std::move(out), ArrayDims::c_of_valid(a.shape(), Array<To>::ITEMSIZE));
}

}  // namespace

// x[0..n) truncated toward zero into o; false (o then holds anything) when an element
// is NaN, infinite or at least 9.2e18 in magnitude (not 2^63: those are left to NumPy).
bool truncate_checked(const double* x, std::int64_t* __restrict o, std::size_t n) noexcept {
    bool inside = true;
    auto fill = [&](std::int64_t* __restrict dst, std::size_t start, std::size_t count) {
        inside = loops::truncate_run(x + start, dst, count) && inside;
    };
    loops::write_result(o, n, sizeof(double) + sizeof(std::int64_t), fill);
    return inside;
}

CORVANTILE_CLONES void int64_to_double(const std::int64_t* x, double* __restrict o, std::size_t n) noexcept {
    loops::map_loop(x, o, n, [](std::int64_t v) CORVANTILE_INLINE_LAMBDA { return loops::to_double(v); });
}

Array<double> AnyArray::to_f64() const {
    return std::visit(
        []<class T>(const Array<T>& a) -> Array<double> {
            if constexpr (std::same_as<T, double>) {
                return a.clone();
            } else if constexpr (std::same_as<T, std::int64_t>) {
                Storage<double> out = Storage<double>::uninit(a.len());
                int64_to_double(a.data(), out.ptr(), a.len());
                return Array<double>::from_parts(std::move(out), ArrayDims::c_of_valid(a.shape(), Array<double>::ITEMSIZE));
            } else {
                return convert<double>(a, [](Bool x) { return is_true(x) ? 1.0 : 0.0; });
            }
        },
        v_);
}

std::optional<AnyArray> AnyArray::cast(ElementKind to) const {
    if (to == kind()) return clone();
    if (to == ElementKind::F64) return AnyArray(to_f64());
    if (const auto* a = get_if<double>()) {
        if (to == ElementKind::I64) {
            Storage<std::int64_t> out = Storage<std::int64_t>::uninit(a->len());
            if (!truncate_checked(a->data(), out.ptr(), a->len())) return std::nullopt;
            return AnyArray(Array<std::int64_t>::from_parts(
                std::move(out), ArrayDims::c_of_valid(a->shape(), Array<std::int64_t>::ITEMSIZE)));
        }
        if (to == ElementKind::Bool) return AnyArray(convert<Bool>(*a, [](double x) { return to_bool(x != 0.0); }));
        return std::nullopt;
    }
    if (const auto* a = get_if<std::int64_t>()) {
        if (to == ElementKind::Bool) {
            return AnyArray(convert<Bool>(*a, [](std::int64_t x) { return to_bool(x != 0); }));
        }
        return std::nullopt;
    }
    if (const auto* a = get_if<Bool>()) {
        if (to == ElementKind::I64) {
            return AnyArray(convert<std::int64_t>(*a, [](Bool x) { return std::int64_t{is_true(x)}; }));
        }
    }
    return std::nullopt;
}

}  // namespace corvantile
