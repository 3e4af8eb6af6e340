#include "python/ndarray/indexing.hpp"

#include "python/convert/classify.hpp"
#include "python/numpy/fallback.hpp"
#include "python/runtime/interned.hpp"
#include "python/numpy/numpy.hpp"
#include "python/object/pyarray.hpp"
#include "python/object/strided.hpp"
#include "array/walk_copy.hpp"

#include <algorithm>
#include <cstring>
#include <format>
#include <memory>
#include <memory_resource>
#include <optional>
#include <array>
#include <vector>

namespace corvantile::python {

namespace {

constinit Interned INDEX_NAME("__index__");

Error index_error(const char* message) noexcept { return Error::make(PyExc_IndexError, message); }

// The NumPy scalar of the element stored at `at`, of a's element kind.
Result<Ref> scalar_at(const PyArray& a, const std::byte* at) {
    return a.value.visit([&]<class T>(const Array<T>&) {
        T value;
        std::memcpy(&value, at, sizeof(T));
        return numpy_scalar(value);
    });
}

// One strong reference to a's root owner, for a new view.
Owner root_reference(const PyArray& a) noexcept { return Owner::adopt(Py_NewRef(root_owner(a))); }

// A contiguous view of `dims` at element `offset` of a's own storage.
Result<Ref> contiguous_view(const PyArray& a, std::uint64_t offset, const ArrayDims& dims) {
    return a.value.visit([&]<class T>(const Array<T>& x) { return create_view(x, offset, dims, root_reference(a)); });
}

// An int key (int subclasses and bool included) as int64; the interpreter's overflow error.
Result<std::int64_t> int_value(PyObject* item) {
    const long long v = PyLong_AsLongLong(item);
    if (v == -1 && PyErr_Occurred()) return failure();
    return static_cast<std::int64_t>(v);
}

// A slice of None and small exact ints (step not 0) read without the interpreter's
// general unpacking, with its defaults; false for any other slice.
bool small_bounds(const PySliceObject* slice, Py_ssize_t& start, Py_ssize_t& stop, Py_ssize_t& step) noexcept {
    const auto compact = [](PyObject* item, Py_ssize_t& out) {
        if (!PyLong_CheckExact(item) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) return false;
        out = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item));
        return true;
    };
    if (slice->step == Py_None) {
        step = 1;
    } else if (!compact(slice->step, step) || step == 0) {
        return false;  // a zero step takes the general road for its error
    }
    const bool back = step < 0;
    const auto bound = [&](PyObject* item, Py_ssize_t absent, Py_ssize_t& out) {
        if (item == Py_None) {
            out = absent;
            return true;
        }
        return compact(item, out);
    };
    return bound(slice->start, back ? PY_SSIZE_T_MAX : 0, start) &&
           bound(slice->stop, back ? PY_SSIZE_T_MIN : PY_SSIZE_T_MAX, stop);
}

// A slice's bounds as given (step not 0). Unpacking may run __index__, which may change
// the array: normalise only after every key item is read.
Result<Selector::Slice> slice_bounds(PyObject* slice) {
    Py_ssize_t start = 0, stop = 0, step = 0;
    if (!small_bounds(reinterpret_cast<PySliceObject*>(slice), start, stop, step) &&
        PySlice_Unpack(slice, &start, &stop, &step) < 0) {
        return failure();
    }
    return Selector::Slice{start, stop, step};
}

// Bounds normalised against an axis of `len` elements, as slice.indices(len) gives them;
// returns the element count.
Py_ssize_t normalise(Selector::Slice& s, std::uint64_t len) noexcept {
    Py_ssize_t start = static_cast<Py_ssize_t>(s.start), stop = static_cast<Py_ssize_t>(s.stop);
    const Py_ssize_t count = PySlice_AdjustIndices(static_cast<Py_ssize_t>(len), &start, &stop, static_cast<Py_ssize_t>(s.step));
    s.start = start;
    s.stop = stop;
    return count;
}

// `a[slice]` with a non-empty result: the leading axis cut and stepped, the others kept,
// without a selection plan. Empty results take the general road.
std::optional<Result<Ref>> leading_slice(const PyArray& a, const Selector::Slice& s, Py_ssize_t count) {
    if (count <= 0 || a.value.len() == 0) return std::nullopt;
    if (!a.strided && (s.step == 1 || count == 1)) {
        // One block of the source's own storage: its dims with the first axis cut.
        const ArrayDims& dims = a.value.dims();
        const auto row = static_cast<std::uint64_t>(dims.stride_slots()[0]) / dims.itemsize();
        return contiguous_view(a, static_cast<std::uint64_t>(s.start) * row,
                               dims.with_first_size(static_cast<std::uint64_t>(count)));
    }
    Layout layout = Layout::of(a);
    layout.data += s.start * layout.strides[0];
    layout.shape[0] = static_cast<std::uint64_t>(count);
    // Wraps like Layout::select for a huge step, which only a length-1 result can have.
    layout.strides[0] = static_cast<std::int64_t>(static_cast<std::uint64_t>(s.step) *
                                                  static_cast<std::uint64_t>(layout.strides[0]));
    return view_from_layout(a, layout);
}

// The row indices of a key: contiguous int64 (stride 8) or an int64 view read where it lies.
struct RowKeys {
    const std::byte* data;
    std::int64_t step;
    std::size_t count;
    std::int64_t operator[](std::size_t i) const noexcept {
        return walk::load<std::int64_t>(data + static_cast<std::int64_t>(i) * step);
    }
};

RowKeys row_keys(std::span<const std::int64_t> rows) noexcept {
    return {reinterpret_cast<const std::byte*>(rows.data()), 8, rows.size()};
}

// out[i] = the element at base + wrap(keys[i]) * step, keys KEY_STEP bytes apart and the step
// S element sizes where those are not 0 (else the run-time ones). Returns the position of the
// first key outside, or count. A branch per key, taken at most once, costs less than
// branch-free bounds kept in a flag; keys that are all in [0, size), the usual ones, gather
// about 1.3-1.8x faster for being tested once rather than wrapped first.
template <class T, std::int64_t KEY_STEP, std::int64_t S>
std::size_t gather_keys_by(const std::byte* base, std::int64_t step, std::uint64_t size, const RowKeys& rows,
                           T* out) noexcept {
    const std::int64_t n = static_cast<std::int64_t>(size);
    const std::int64_t st = S != 0 ? S * static_cast<std::int64_t>(sizeof(T)) : step;
    const std::int64_t ks = KEY_STEP != 0 ? KEY_STEP : rows.step;
    const std::byte* const keys = rows.data;
    const std::size_t count = rows.count;
    const auto key = [&](std::size_t i) { return walk::load<std::int64_t>(keys + static_cast<std::int64_t>(i) * ks); };
    // Keys in [0, size) pass one test (a negative one fails it as a huge unsigned value)...
    std::size_t i = 0;
    for (; i < count; ++i) {
        const std::int64_t j = key(i);
        if (static_cast<std::uint64_t>(j) >= size) [[unlikely]] break;
        out[i] = walk::load<T>(base + j * st);
    }
    // ... and from the first that does not, each is wrapped without a branch: keys of
    // either sign may come mixed.
    for (; i < count; ++i) {
        std::int64_t j = key(i);
        j += (j >> 63) & n;
        if (static_cast<std::uint64_t>(j) >= size) [[unlikely]] return i;
        out[i] = walk::load<T>(base + j * st);
    }
    return count;
}

template <class T, std::int64_t KEY_STEP>
std::size_t gather_keys_from(const std::byte* base, std::int64_t step, std::uint64_t size, const RowKeys& rows,
                             T* out) noexcept {
    constexpr auto e = static_cast<std::int64_t>(sizeof(T));
    if (step == e) return gather_keys_by<T, KEY_STEP, 1>(base, step, size, rows, out);
    if (step == -e) return gather_keys_by<T, KEY_STEP, -1>(base, step, size, rows, out);
    if (step == 2 * e) return gather_keys_by<T, KEY_STEP, 2>(base, step, size, rows, out);
    return gather_keys_by<T, KEY_STEP, 0>(base, step, size, rows, out);
}

template <class T>
std::size_t gather_keys(const std::byte* base, std::int64_t step, std::uint64_t size, const RowKeys& rows,
                        T* out) noexcept {
    if (rows.step == 8) return gather_keys_from<T, 8>(base, step, size, rows, out);
    return gather_keys_from<T, 0>(base, step, size, rows, out);
}

// a[rows] read where a's elements lie (its base memory for a view, its storage otherwise):
// one pass that checks each index and gathers it; an index out of bounds drops the result.
Result<Ref> take_rows_from(const PyArray& a, const walk::Strided& s, const RowKeys& rows) {
    const std::uint64_t size = s.shape[0];
    const auto bad = [&](std::size_t i) {
        return failure(array_error(ArrayError::IndexOutOfBounds{rows[i], 0, size}));
    };
    const auto wrap = [size](std::int64_t j) noexcept {
        return static_cast<std::uint64_t>(j < 0 ? j + static_cast<std::int64_t>(size) : j);
    };
    Shape shape;
    shape.push_back(rows.count);
    for (std::size_t k = 1; k < s.ndim; ++k) shape.push_back(s.shape[k]);
    auto dims = ArrayDims::make(shape, static_cast<std::uint8_t>(a.value.dims().itemsize()));
    if (!dims) return failure(array_error(std::move(dims.error())));
    return a.value.visit([&]<class T>(const Array<T>&) -> Result<Ref> {
        T* out = nullptr;
        if (s.ndim == 1) {
            auto r = create_unwritten<T>(*dims, out);
            if (!r) return r;
            if (size == 0 && rows.count != 0) return bad(0);
            const std::size_t first_bad = gather_keys<T>(s.data, s.strides[0], size, rows, out);
            if (first_bad != rows.count) return bad(first_bad);
            return r;
        }
        for (std::size_t i = 0; i < rows.count; ++i) {
            if (wrap(rows[i]) >= size) return bad(i);
        }
        auto r = create_unwritten<T>(*dims, out);
        if (!r) return r;
        walk::Strided row;
        row.ndim = s.ndim - 1;
        for (std::size_t k = 1; k < s.ndim; ++k) {
            row.shape[k - 1] = s.shape[k];
            row.strides[k - 1] = s.strides[k];
        }
        const std::uint64_t len = row.size();
        std::size_t i = 0;
        const auto start = [&](std::size_t q) {
            return s.data + static_cast<std::int64_t>(wrap(rows[q])) * s.strides[0];
        };
        const walk::Strided flat = walk::simplify(row);
        const bool one_run = flat.ndim <= 1 && (flat.ndim == 0 || flat.strides[0] == static_cast<std::int64_t>(sizeof(T)));
        // Rows of one axis (up to the length the offsets table below serves), and of two in
        // a view that fits the first-level cache (a transpose's columns, a permutation's
        // planes), one after another, their strides stepped directly without a table of
        // offsets to read.
        const bool stepped = len <= (std::uint64_t{1} << 16);
        const bool cached = s.size() * sizeof(T) <= (std::uint64_t{1} << 14);
        if (!one_run && !cached && len != 0 && walk::magnitude(s.strides[0]) <= 64 &&
            walk::magnitude(s.strides[0]) < walk::magnitude(flat.strides[flat.ndim - 1])) {
            // Rows lying within a line or so of each other, each row's last axis far apart (a
            // take of a transpose's columns, of a permutation's planes): tiles of the last
            // axis by all rows, which use the lines they read fully.
            std::vector<std::int64_t> offsets(rows.count);
            for (std::size_t q = 0; q < rows.count; ++q) offsets[q] = start(q) - s.data;
            walk::Strided from = flat;
            from.data = s.data;
            walk::copy_taken<T>(from, offsets.data(), rows.count, out);
            return r;
        }
        // A row of one or two axes: `outer` runs of `inner` elements.
        const std::uint64_t inner = flat.ndim == 0 ? 1 : flat.shape[flat.ndim - 1];
        const std::uint64_t outer = flat.ndim == 2 ? flat.shape[0] : 1;
        const std::int64_t outer_step = flat.ndim == 2 ? flat.strides[0] : 0;
        const std::int64_t st = flat.ndim == 0 ? 0 : flat.strides[flat.ndim - 1];
        if (!one_run && flat.ndim <= 2 && inner >= 2 * walk::SHORT_ROW) {
            // Long rows: gathered whole, in vectors where they are stepped.
            for (; i < rows.count; ++i) walk::gather<T>(start(i), st, outer_step, outer, inner, out + i * len);
        }
        if (!one_run && ((flat.ndim == 1 && stepped) || (cached && flat.ndim == 2))) {
            for (; i < rows.count; ++i) {
                const std::byte* at = start(i);
                T* o = out + i * len;
                for (std::uint64_t q = 0; q < outer; ++q, at += outer_step, o += inner) {
                    // Four read before any is stored (a byte-sized store could alias them).
                    const std::byte* e = at;
                    std::uint64_t p = 0;
                    for (; p + 4 <= inner; p += 4, e += 4 * st) {
                        const T v0 = walk::load<T>(e), v1 = walk::load<T>(e + st);
                        const T v2 = walk::load<T>(e + 2 * st), v3 = walk::load<T>(e + 3 * st);
                        o[p] = v0;
                        o[p + 1] = v1;
                        o[p + 2] = v2;
                        o[p + 3] = v3;
                    }
                    for (; p < inner; ++p, e += st) o[p] = walk::load<T>(e);
                }
            }
        }
        if (!one_run && i < rows.count && stepped) {
            // Rows whose elements lie apart, one row after another (rows taken eight at a
            // time side by side measured slower for large views, the keys in any order),
            // through their offsets, listed once in logical order.
            std::vector<std::int64_t> offsets(len);
            std::array<std::uint64_t, MAX_NDIM> counter{};
            std::int64_t off = 0;
            for (std::uint64_t p = 0; p < len; ++p) {
                offsets[p] = off;
                for (std::size_t k = row.ndim; k-- > 0;) {
                    off += row.strides[k];
                    if (++counter[k] < row.shape[k]) break;
                    off -= row.strides[k] * static_cast<std::int64_t>(row.shape[k]);
                    counter[k] = 0;
                }
            }
            const std::int64_t* const offs = offsets.data();
            for (; i < rows.count; ++i) {
                const std::byte* at = start(i);
                T* o = out + i * len;
                for (std::uint64_t p = 0; p < len; ++p) o[p] = walk::load<T>(at + offs[p]);
            }
        }
        for (; i < rows.count && len != 0; ++i) {
            row.data = start(i);
            // A row in one forward run needs no walk (its setup would cost more than short rows).
            if (one_run) {
                std::memcpy(out + i * len, row.data, len * sizeof(T));
            } else {
                walk::copy<T>(row, out + i * len);
            }
        }
        return r;
    });
}

// a[mask] read where a's elements lie, block by block in logical order.
Result<Ref> compress_in_place(const PyArray& a, const walk::Strided& s, std::span<const Bool> mask) {
    std::uint64_t count = 0;
    for (Bool m : mask) count += is_true(m) ? 1 : 0;
    const std::uint64_t shape[1] = {count};
    return a.value.visit([&]<class T>(const Array<T>&) -> Result<Ref> {
        T* out = nullptr;
        auto r = create_unwritten<T>(ArrayDims::c_of_valid(shape, sizeof(T)), out);
        if (!r) return r;
        T* const end = out + count;
        const walk::Strided flat = walk::simplify(s);
        if (flat.ndim == 1) {
            // One axis read where it lies, without gathering blocks first.
            const std::byte* const at = flat.data;
            const std::int64_t step = flat.strides[0];
            const Bool* const m = mask.data();
            for (std::uint64_t i = 0; i < flat.shape[0] && out != end; ++i) {
                *out = walk::load<T>(at + static_cast<std::int64_t>(i) * step);
                out += is_true(m[i]) ? 1 : 0;
            }
            return r;
        }
        walk::Scratch<T> scratch(walk::scratch_size(s));
        walk::for_blocks<T>(s, walk::BLOCK, [&](const walk::Block<T>& b) {
            const T* x = scratch.read(b);
            const Bool* m = mask.data() + b.pos;
            // Without a branch on the mask: every element is written and the cursor moves
            // past the kept ones; once the result is full the rest of the mask is clear.
            for (std::size_t i = 0; i < b.count && out != end; ++i) {
                *out = x[i];
                out += is_true(m[i]) ? 1 : 0;
            }
        });
        return r;
    });
}

Result<Ref> take_rows(PyArray& a, const RowKeys& rows) {
    if (a.value.ndim() == 0) return failure(array_error(ArrayError::TooManyIndices{1, 0}));
    return take_rows_from(a, read_layout(a), rows);
}

// The elements of a bool ndarray key in logical order: its own storage, or a view's copied
// from its base memory into `held` (a small view's from its shadow).
std::span<const Bool> mask_values(PyArray& k, std::unique_ptr<Bool[]>& held) {
    if (const std::optional<walk::Strided> view = in_place_layout(k)) {
        held = std::make_unique_for_overwrite<Bool[]>(k.value.len());
        walk::copy<Bool>(*view, held.get());
        return {held.get(), k.value.len()};
    }
    k.refresh();
    return k.value.get_if<Bool>()->elements();
}

// The tuple walk: integers, exact slices and None natively; anything else sends the
// whole key to NumPy. Every item is read before any is checked against the shape.
Result<Ref> tuple_key(PyArray& a, PyObject* key) {
    const Py_ssize_t n = PyTuple_GET_SIZE(key);
    // Short keys keep their lists on the stack.
    std::array<std::byte, 640> buffer;
    std::pmr::monotonic_buffer_resource arena(buffer.data(), buffer.size());
    std::pmr::vector<std::int64_t> integers(&arena);
    std::pmr::vector<Selector> selectors(&arena);
    std::pmr::vector<std::uint64_t> new_axes(&arena);
    integers.reserve(static_cast<std::size_t>(n));
    selectors.reserve(static_cast<std::size_t>(n));
    std::uint64_t out_axes = 0;
    bool only_integers = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(key, i);
        if (item == Py_None) {
            new_axes.push_back(out_axes++);
            only_integers = false;
        } else if (PyLong_Check(item) && !PyBool_Check(item)) {
            auto v = int_value(item);
            if (!v) return failure(std::move(v.error()));
            integers.push_back(*v);
            selectors.emplace_back(Selector::Index{*v});
        } else if (PySlice_Check(item)) {
            auto s = slice_bounds(item);
            if (!s) return failure(std::move(s.error()));
            selectors.push_back(*s);
            ++out_axes;
            only_integers = false;
        } else {
            return fallback::getitem(a.object(), key);
        }
    }
    if (only_integers) return index_result(a, integers);
    // The slices against the shape as it stands once every item is read. A slice past
    // the last axis has the short text; integers past it are counted by the plan.
    const auto shape = a.value.shape();
    for (std::size_t k = 0; k < selectors.size(); ++k) {
        auto* s = std::get_if<Selector::Slice>(&selectors[k].item);
        if (s == nullptr) continue;
        if (k >= shape.size()) return failure(index_error("too many indices for array"));
        normalise(*s, shape[k]);
    }
    return select_result(a, selectors, new_axes);
}

// A list key: every item an int, else the whole key goes to NumPy (a bool makes it a mask).
Result<Ref> list_key(PyArray& a, PyObject* key) {
    std::array<std::byte, 256> buffer;
    std::pmr::monotonic_buffer_resource arena(buffer.data(), buffer.size());
    std::pmr::vector<std::int64_t> rows(&arena);
    rows.reserve(static_cast<std::size_t>(PyList_GET_SIZE(key)));
    // Converting an int runs no Python code, so the list cannot change under the walk.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(key); ++i) {
        PyObject* item = PyList_GET_ITEM(key, i);
        if (!PyLong_Check(item) || PyBool_Check(item)) return fallback::getitem(a.object(), key);
        auto v = int_value(item);
        if (!v) return failure(std::move(v.error()));
        rows.push_back(*v);
    }
    return take_rows(a, row_keys(rows));
}

bool same_shape(std::span<const std::uint64_t> a, std::span<const std::uint64_t> b) noexcept {
    return std::ranges::equal(a, b);
}

// index_result for a strided view, apart so that the everyday road keeps a small frame.
[[gnu::noinline]] Result<Ref> strided_index_result(PyArray& a, std::span<const std::int64_t> indices) {
    auto at = a.strided_element_at(indices);
    if (!at) return failure(std::move(at.error()));
    if (*at) return scalar_at(a, **at);
    std::array<std::byte, 320> buffer;
    std::pmr::monotonic_buffer_resource arena(buffer.data(), buffer.size());
    std::pmr::vector<Selector> selectors(&arena);
    selectors.reserve(indices.size());
    for (std::int64_t i : indices) selectors.emplace_back(Selector::Index{i});
    auto plan = a.value.selection_plan(selectors);
    if (!plan) return failure(array_error(std::move(plan.error())));
    return view_from_layout(a, Layout::of(a).select(*plan, selectors));
}

}  // namespace

Result<Ref> index_result(PyArray& a, std::span<const std::int64_t> indices) {
    if (a.strided) return strided_index_result(a, indices);
    if (indices.size() == a.value.ndim()) {
        // One element: its offset straight from the C strides; an index out of bounds
        // takes the general road for its error.
        const ArrayDims& dims = a.value.dims();
        std::uint64_t offset = 0;
        bool inside = true;
        for (std::size_t k = 0; k < indices.size(); ++k) {
            const auto len = static_cast<std::int64_t>(dims.shape_slots()[k]);
            const std::int64_t i = indices[k] < 0 ? indices[k] + len : indices[k];
            inside = inside && i >= 0 && i < len;
            offset += static_cast<std::uint64_t>(i) * static_cast<std::uint64_t>(dims.stride_slots()[k]);
        }
        if (inside) return scalar_at(a, static_cast<const std::byte*>(a.value.raw_data()) + offset);
    }
    // Fewer indices than axes (a full index inside the array was answered above).
    auto location = a.value.locate(indices);
    if (!location) return failure(array_error(std::move(location.error())));
    return contiguous_view(a, location->offset, location->dims);
}

Result<Ref> select_result(PyArray& a, std::span<const Selector> selectors, std::span<const std::uint64_t> new_axes) {
    auto plan = a.value.selection_plan(selectors);
    if (!plan) return failure(array_error(std::move(plan.error())));

    if (!a.strided) {
        // One C-ordered block of the source: leading unit axes, then one axis of step 1,
        // then whole axes.
        const ArrayDims& dims = a.value.dims();
        const auto& strides = dims.stride_slots();  // in bytes
        const auto shape = dims.shape();
        std::uint64_t offset = 0;  // in bytes until the walk ends
        bool past_long_axis = false, one_block = true, empty = false;
        for (std::size_t k = 0; k < plan->ndim; ++k) {
            const PlanItem& item = plan->items[k];
            if (item.count == 0) {
                empty = true;
                break;
            }
            if (!past_long_axis) {
                offset += item.start * static_cast<std::uint64_t>(strides[k]);
                if (item.count == 1) continue;
                past_long_axis = true;
                if (item.step != 1) {
                    one_block = false;
                    break;
                }
            } else if (item.start != 0 || item.step != 1 || item.count != shape[k]) {
                one_block = false;
                break;
            }
        }
        if (empty || one_block) {
            const std::size_t total = plan->shape.size() + new_axes.size();
            if (total > MAX_NDIM) return failure(array_error(DimsError{total}));
            Shape& out = plan->shape;
            for (std::uint64_t p : new_axes) {
                const std::size_t q = std::min<std::uint64_t>(p, out.size());
                out.push_back(1);
                for (std::size_t k = out.size() - 1; k > q; --k) out[k] = out[k - 1];
                out[q] = 1;
            }
            if (empty) {
                auto fresh = a.value.zeros_like(out);
                if (!fresh) return failure(array_error(std::move(fresh.error())));
                return create_class_object(std::move(*fresh));
            }
            auto out_dims = ArrayDims::make(out, static_cast<std::uint8_t>(dims.itemsize()));
            if (!out_dims) return failure(array_error(std::move(out_dims.error())));
            return contiguous_view(a, offset / dims.itemsize(), *out_dims);
        }
    }

    Layout layout = Layout::of(a).select(*plan, selectors);
    for (std::uint64_t p : new_axes) {
        if (layout.ndim == MAX_NDIM) {
            return failure(Error::value_error(std::format("at most {} dimensions are supported", MAX_NDIM)));
        }
        const std::size_t q = std::min<std::uint64_t>(p, layout.ndim);
        for (std::size_t k = layout.ndim; k > q; --k) {
            layout.shape[k] = layout.shape[k - 1];
            layout.strides[k] = layout.strides[k - 1];
        }
        layout.shape[q] = 1;
        layout.strides[q] = 0;
        ++layout.ndim;
    }
    return view_from_layout(a, layout);
}

Result<Ref> get_item(PyArray& a, PyObject* key) {
    // A bool key is a 0-d mask, not an integer.
    if (PyBool_Check(key)) return fallback::getitem(a.object(), key);
    if (PyLong_CheckExact(key) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(key))) {
        const std::int64_t index = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(key));
        return index_result(a, std::span(&index, 1));
    }
    if (PyLong_Check(key)) {
        auto v = int_value(key);
        if (!v) return failure(std::move(v.error()));
        const std::int64_t index = *v;
        return index_result(a, std::span(&index, 1));
    }
    if (PySlice_Check(key)) {
        constexpr const char* ZERO_D = "too many indices for array: array is 0-dimensional";
        if (a.value.ndim() == 0) return failure(index_error(ZERO_D));
        auto s = slice_bounds(key);
        if (!s) return failure(std::move(s.error()));
        if (a.value.ndim() == 0) return failure(index_error(ZERO_D));
        const Py_ssize_t count = normalise(*s, a.value.shape()[0]);
        if (auto view = leading_slice(a, *s, count)) return std::move(*view);
        const Selector selector(*s);
        return select_result(a, std::span(&selector, 1), {});
    }
    if (PyTuple_Check(key)) return tuple_key(a, key);
    if (key == Py_None) {
        constexpr std::uint64_t front = 0;
        return select_result(a, {}, std::span(&front, 1));
    }
    if (key == Py_Ellipsis) return select_result(a, {}, {});
    if (PyList_Check(key)) return list_key(a, key);

    if (PyArray* k = is_ndarray(key) ? PyArray::of(key) : nullptr) {
        if (k->value.kind() == ElementKind::I64 && k->value.ndim() == 1) {
            if (const std::optional<walk::Strided> view = in_place_layout(*k)) {
                return take_rows(a, RowKeys{view->data, view->strides[0], k->value.len()});
            }
            k->refresh();
            return take_rows(a, row_keys(k->value.get_if<std::int64_t>()->elements()));
        }
        if (k->value.kind() == ElementKind::Bool && same_shape(k->value.shape(), a.value.shape())) {
            std::unique_ptr<Bool[]> held;
            const std::span<const Bool> mask = mask_values(*k, held);
            return compress_in_place(a, read_layout(a), mask);
        }
        // Only a 0-d array is an integer key; one with axes indexes as an array (NumPy
        // reads a view key where it lies).
        if (k->value.ndim() != 0) return fallback::getitem(a.object(), key);
    } else if (auto mask = numpy_bool_buffer(key); mask && same_shape(mask->shape, a.value.shape())) {
        return compress_in_place(a, read_layout(a), mask->values);
    }

    auto name = INDEX_NAME.get();
    if (!name) return failure(std::move(name.error()));
    const int has_index = PyObject_HasAttrWithError(key, *name);
    if (has_index < 0) return failure();
    if (has_index == 1) {
        Ref number = Ref::steal(PyNumber_Index(key));
        if (number) {
            const long long v = PyLong_AsLongLong(number.get());
            if (!(v == -1 && PyErr_Occurred())) {
                const auto index = static_cast<std::int64_t>(v);
                return index_result(a, std::span(&index, 1));
            }
        }
        PyErr_Clear();
    }
    return fallback::getitem(a.object(), key);
}

}  // namespace corvantile::python
