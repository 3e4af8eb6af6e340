#pragma once

// The native array: one contiguous C-order block of float64, int64 or Bool elements
// under a shape of at most MAX_NDIM axes.
//
// Naming: "Array::new" is `Array<T>::from_vec` (takes a vector; its elements are copied
// into an exactly sized owned buffer) or `Array<T>::from_storage` (takes a storage over
// without copying). Everything else keeps its usual name. Errors are values
// (std::expected<_, ArrayError>); std::optional means "this form is not handled natively".
// A broken invariant throws InternalFailure; std::bad_alloc may propagate.
// Shapes are passed as std::span<const std::uint64_t>; a std::vector or a Shape converts
// (a literal shape: Shape{2, 3}).

#include <concepts>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "array/error.hpp"
#include "array/owner.hpp"
#include "array/storage.hpp"
#include "dims/dims.hpp"

namespace corvantile {

// The element kinds, in AnyArray's variant order.
enum class ElementKind : std::uint8_t { F64, I64, Bool };

template <class T>
concept Element = std::same_as<T, double> || std::same_as<T, std::int64_t> || std::same_as<T, Bool>;

// The facts of one element kind that the layers above map it to. A kind's row is
// KINDS[static_cast<std::size_t>(kind)].
struct KindFacts {
    ElementKind kind;
    std::string_view name;     // NumPy's dtype name
    std::uint8_t itemsize;     // bytes
    const char* format;        // buffer protocol format, native order and size
    std::uint8_t dlpack_code;  // DLDataTypeCode: 0 int, 2 float, 6 bool
    std::uint8_t dlpack_bits;
    char numpy_kind;  // NumPy's dtype.kind
};

inline constexpr KindFacts KINDS[] = {
    {ElementKind::F64, "float64", 8, "d", 2, 64, 'f'},
    {ElementKind::I64, "int64", 8, "l", 0, 64, 'i'},
    {ElementKind::Bool, "bool", 1, "?", 6, 8, 'b'},
};
static_assert(sizeof(long) == 8, "int64 exports as the buffer format 'l'");

constexpr const KindFacts& facts_of(ElementKind k) noexcept { return KINDS[static_cast<std::size_t>(k)]; }
constexpr std::string_view dtype_name(ElementKind k) noexcept { return facts_of(k).name; }
constexpr std::uint8_t itemsize_of(ElementKind k) noexcept { return facts_of(k).itemsize; }

template <Element T>
struct ElementTraits;
template <>
struct ElementTraits<double> {
    static constexpr ElementKind kind = ElementKind::F64;
};
template <>
struct ElementTraits<std::int64_t> {
    static constexpr ElementKind kind = ElementKind::I64;
};
template <>
struct ElementTraits<Bool> {
    static constexpr ElementKind kind = ElementKind::Bool;
};

// One per-axis item of a basic index.
struct Selector {
    // An index into the axis (negative counts once from the end); the axis disappears.
    struct Index {
        std::int64_t index = 0;
        friend bool operator==(const Index&, const Index&) = default;
    };
    // A slice normalised as Python's slice.indices(len) gives it (step never 0);
    // the axis stays with the slice's element count as its size.
    struct Slice {
        std::int64_t start = 0, stop = 0, step = 1;
        friend bool operator==(const Slice&, const Slice&) = default;
    };

    Selector(Index i) noexcept : item(i) {}
    Selector(Slice s) noexcept : item(s) {}
    std::variant<Index, Slice> item;
};

// Per-axis (start, step, count) of a selection, and the shape of its result.
struct PlanItem {
    std::uint64_t start = 0;
    std::int64_t step = 1;
    std::uint64_t count = 0;
    friend bool operator==(const PlanItem&, const PlanItem&) = default;
};
struct SelectionPlan {
    std::array<PlanItem, MAX_NDIM> items{};
    std::size_t ndim = 0;  // one item per axis of the source
    Shape shape;           // result shape
    std::span<const PlanItem> axes() const noexcept { return {items.data(), ndim}; }
};

// Element offset and the C dims of the axes after the indexed ones.
struct Location {
    std::uint64_t offset = 0;
    ArrayDims dims;
};

template <Element T>
class Array;

namespace array {

// NumPy's broadcasting of two shapes (each at most MAX_NDIM long), or ShapeMismatch(a, b).
std::expected<Shape, ArrayError> broadcast_shape(std::span<const std::uint64_t> a,
                                                 std::span<const std::uint64_t> b);
// Element strides of an operand of `shape` right-aligned in n axes; 0 where it repeats.
Shape broadcast_strides(std::span<const std::uint64_t> shape, std::size_t n);

// Selection plan of selectors against the dims' shape.
std::expected<SelectionPlan, ArrayError> selection_plan(const ArrayDims& dims,
                                                        std::span<const Selector> selectors);

// Appends, at `out`, the elements the plan selects from `data` (C order), recursing from
// `axis` at element `offset`; `out` is advanced past them.
template <Element T>
void gather(std::span<const T> data, const SelectionPlan& plan,
            std::span<const std::uint64_t> strides, std::size_t axis, std::uint64_t offset, T*& out);

}  // namespace array

template <Element T>
class Array {
public:
    using value_type = T;
    static constexpr std::uint8_t ITEMSIZE = sizeof(T);

    // ---- construction -------------------------------------------------------------------
    // "Array::new". Errors in order: Dims (more than MAX_NDIM sizes), the too-big Message,
    // SizeMismatch{expected = product of shape, got = element count}.
    static std::expected<Array, ArrayError> from_vec(std::vector<T> data,
                                                     std::span<const std::uint64_t> shape);
    // "Array::new" over an owned storage, without copying; same checks.
    static std::expected<Array, ArrayError> from_storage(Storage<T> data,
                                                         std::span<const std::uint64_t> shape);
    // Every element equal to value; Dims / too-big errors.
    static std::expected<Array, ArrayError> filled(std::span<const std::uint64_t> shape, T value);
    // Elements unspecified: the caller writes every element before anything reads it.
    static std::expected<Array, ArrayError> uninit(std::span<const std::uint64_t> shape);
    // 0-d array of one element.
    static Array scalar(T value);
    // Borrowed storage over base's elements from `offset`, under `dims` (same itemsize),
    // kept alive by `root_owner` (whose reference the caller has taken).
    // Internal failure "view out of bounds" when offset + dims.size() exceeds base's len.
    static Array view(const Array& base, std::uint64_t offset, const ArrayDims& dims,
                      Owner root_owner);
    // The same with the C dims of `shape`.
    static Array view(const Array& base, std::uint64_t offset, std::span<const std::uint64_t> shape,
                      Owner root_owner);
    // Borrowed storage over dims.size() elements at `data` inside root_owner's memory.
    static Array borrowed(T* data, const ArrayDims& dims, Owner root_owner);
    // Assembles an array; internal failure unless storage len == dims.size() and the
    // itemsize matches.
    static Array from_parts(Storage<T> storage, const ArrayDims& dims);

    Array(Array&&) noexcept = default;
    Array& operator=(Array&&) noexcept = default;
    Array(const Array&) = delete;  // copies are explicit: clone()
    Array& operator=(const Array&) = delete;

    // Copy of the elements under another shape (checks of from_vec); never shares memory.
    std::expected<Array, ArrayError> reshape(std::span<const std::uint64_t> shape) const;
    // Deep copy into owned storage, dims unchanged.
    Array clone() const;

    // ---- access -------------------------------------------------------------------------
    const Storage<T>& storage() const noexcept { return storage_; }
    const ArrayDims& dims() const noexcept { return dims_; }
    // Replaces the shape record; internal failure unless size and itemsize stay the same.
    void set_dims(const ArrayDims& dims);

    // Allocates deferred storage (see Storage::deferred).
    void materialize() { storage_.materialize(); }
    T* data() noexcept { return storage_.ptr(); }
    const T* data() const noexcept { return storage_.ptr(); }
    std::uint64_t len() const noexcept { return storage_.len(); }
    std::span<T> elements() noexcept { return storage_.span(); }
    std::span<const T> elements() const noexcept { return storage_.span(); }
    std::span<const std::uint64_t> shape() const { return dims_.shape(); }
    std::size_t ndim() const noexcept { return dims_.ndim(); }
    bool is_borrowed() const noexcept { return storage_.is_borrowed(); }
    const Owner& owner() const noexcept { return storage_.owner(); }

    // ---- indexing and selection ---------------------------------------------------------
    // Leading integer indices: TooManyIndices, then the first IndexOutOfBounds in axis order.
    std::expected<Location, ArrayError> locate(std::span<const std::int64_t> indices) const;
    std::expected<SelectionPlan, ArrayError> selection_plan(std::span<const Selector> selectors) const {
        return array::selection_plan(dims_, selectors);
    }
    // Copy of the selected elements (at least one selector).
    std::expected<Array, ArrayError> select(std::span<const Selector> selectors) const
        requires std::same_as<T, double>;

    // ---- sorting (1-D float64, int64): stable, ascending, NaN after every number ------
    Array sorted_1d() const
        requires(std::same_as<T, double> || std::same_as<T, std::int64_t>);
    Array<std::int64_t> argsort_1d() const
        requires(std::same_as<T, double> || std::same_as<T, std::int64_t>);

    // ---- element-wise kernels (kernels.hpp) ---------------------------------------------
    // f(self element, other element). Same layout: one contiguous pass; otherwise broadcasts.
    template <class F>
    std::expected<Array, ArrayError> zip_map(const Array& other, F f) const
        requires std::same_as<T, double>;
    template <class F>
    std::expected<Array, ArrayError> zip_map_broadcast(const Array& other, F f) const
        requires std::same_as<T, double>;
    // self = f(self, other) in place; other may not enlarge self. On error self is unchanged.
    template <class F>
    std::expected<void, ArrayError> zip_map_inplace(const Array& other, F f)
        requires std::same_as<T, double>;
    template <class F>
    Array map(F f) const
        requires std::same_as<T, double>;

private:
    Array(Storage<T> storage, const ArrayDims& dims) noexcept
        : storage_(std::move(storage)), dims_(dims) {}
    template <Element U>
    friend class Array;
    friend class AnyArray;

    Storage<T> storage_;
    ArrayDims dims_;
};

// The assembling factories are inline: an ndarray result is built straight into its object.
template <Element T>
inline Array<T> Array<T>::view(const Array& base, std::uint64_t offset, const ArrayDims& dims,
                               Owner root_owner) {
    if (dims.itemsize() != ITEMSIZE) [[unlikely]] internal_failure("view with a foreign itemsize");
    const std::uint64_t n = dims.size();
    std::uint64_t end = 0;
    if (__builtin_add_overflow(offset, n, &end) || end > base.len()) [[unlikely]] {
        internal_failure("view out of bounds");
    }
    // A view of no elements never reads its pointer; keep it inside the base anyway.
    T* p = const_cast<T*>(base.data()) + (n == 0 ? 0 : offset);
    return Array(Storage<T>::borrow(p, n, std::move(root_owner)), dims);
}

template <Element T>
inline Array<T> Array<T>::borrowed(T* data, const ArrayDims& dims, Owner root_owner) {
    if (dims.itemsize() != ITEMSIZE) [[unlikely]] internal_failure("view with a foreign itemsize");
    return Array(Storage<T>::borrow(data, dims.size(), std::move(root_owner)), dims);
}

template <Element T>
inline Array<T> Array<T>::from_parts(Storage<T> storage, const ArrayDims& dims) {
    if (dims.itemsize() != ITEMSIZE || storage.len() != dims.size()) [[unlikely]] {
        internal_failure("storage does not match its dims");
    }
    return Array(std::move(storage), dims);
}

// An array of one of the three element kinds; what an ndarray holds.
class AnyArray {
public:
    using Variant = std::variant<Array<double>, Array<std::int64_t>, Array<Bool>>;
    using Kind = ElementKind;

    AnyArray(Array<double> a) noexcept : v_(std::move(a)) {}
    AnyArray(Array<std::int64_t> a) noexcept : v_(std::move(a)) {}
    AnyArray(Array<Bool> a) noexcept : v_(std::move(a)) {}
    AnyArray(AnyArray&&) noexcept = default;
    AnyArray& operator=(AnyArray&&) noexcept = default;

    Kind kind() const noexcept { return static_cast<Kind>(v_.index()); }
    std::string_view dtype_name() const noexcept { return corvantile::dtype_name(kind()); }
    Variant& variant() noexcept { return v_; }
    const Variant& variant() const noexcept { return v_; }
    template <class F>
    decltype(auto) visit(F&& f) {
        return std::visit(std::forward<F>(f), v_);
    }
    template <class F>
    decltype(auto) visit(F&& f) const {
        return std::visit(std::forward<F>(f), v_);
    }
    template <Element T>
    Array<T>* get_if() noexcept {
        return std::get_if<Array<T>>(&v_);
    }
    template <Element T>
    const Array<T>* get_if() const noexcept {
        return std::get_if<Array<T>>(&v_);
    }

    // Inline: every entry reads these, and the three cases fold into one access (an
    // AnyArray is never valueless: its moves cannot throw).
    const ArrayDims& dims() const noexcept {
        assume_valued();
        return std::visit([](const auto& a) -> const ArrayDims& { return a.dims_; }, v_);
    }
    std::span<const std::uint64_t> shape() const { return dims().shape(); }
    std::size_t ndim() const noexcept { return dims().ndim(); }
    std::uint64_t len() const noexcept {
        assume_valued();
        return std::visit([](const auto& a) { return a.len(); }, v_);
    }
    void* raw_data() noexcept {
        assume_valued();
        return std::visit([](auto& a) -> void* { return a.data(); }, v_);
    }
    const void* raw_data() const noexcept {
        assume_valued();
        return std::visit([](const auto& a) -> const void* { return a.data(); }, v_);
    }
    bool is_borrowed() const noexcept {
        assume_valued();
        return std::visit([](const auto& a) { return a.is_borrowed(); }, v_);
    }
    const Owner& owner() const noexcept {
        assume_valued();
        return std::visit([](const auto& a) -> const Owner& { return a.owner(); }, v_);
    }
    void set_dims(const ArrayDims& dims);
    void materialize() {
        std::visit([](auto& a) { a.materialize(); }, v_);
    }

    // Copy under another shape, same kind; never shares memory.
    std::expected<AnyArray, ArrayError> reshape(std::span<const std::uint64_t> shape) const;
    // Zeros of this kind in the given shape; this array's elements and shape are not read.
    std::expected<AnyArray, ArrayError> zeros_like(std::span<const std::uint64_t> shape) const;
    // Float64 copy (int64 rounded to nearest, bool as 0.0 / 1.0); never fails.
    Array<double> to_f64() const;
    // Conversion to another kind (a copy for its own); nothing for float64 values that
    // int64 cannot hold, which are left to NumPy.
    std::optional<AnyArray> cast(ElementKind to) const;
    // Deep copy into owned storage, dims unchanged.
    AnyArray clone() const;

    std::expected<Location, ArrayError> locate(std::span<const std::int64_t> indices) const;
    std::expected<SelectionPlan, ArrayError> selection_plan(std::span<const Selector> selectors) const {
        return array::selection_plan(dims(), selectors);
    }
    // Integer-array indexing along the first axis.
    std::expected<AnyArray, ArrayError> take_leading(std::span<const std::int64_t> indices) const;
    // Elements (C order) where the mask is true, as a 1-D array.
    std::expected<AnyArray, ArrayError> compress_flat(std::span<const Bool> mask) const;
    // Joins along `axis`; nothing (not an error) when the element kinds differ.
    static std::expected<std::optional<AnyArray>, ArrayError> concatenate(
        std::span<const AnyArray* const> arrays, std::int64_t axis);

private:
    void assume_valued() const noexcept {
        if (v_.valueless_by_exception()) __builtin_unreachable();
    }
    Variant v_;
};

}  // namespace corvantile

#include "array/kernels.hpp"
