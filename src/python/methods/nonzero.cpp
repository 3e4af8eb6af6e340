#include "python/methods/methods.hpp"

#include "python/object/pyarray.hpp"
#include "python/object/strided.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

namespace corvantile::python {

namespace {

constexpr bool nonzero(double v) noexcept { return v != 0.0; }  // NaN counts, -0.0 does not
constexpr bool nonzero(std::int64_t v) noexcept { return v != 0; }
constexpr bool nonzero(Bool v) noexcept { return is_true(v); }

}  // namespace

Result<Ref> nonzero_method(PyArray& self, PyObject*) {
    const std::size_t nd = self.value.ndim();
    if (nd == 0) {
        return failure(Error::value_error(
            "Calling nonzero on 0d arrays is not allowed. Use np.atleast_1d(scalar).nonzero() instead."));
    }
    // A view is read where it lies, block by block in logical order.
    const std::optional<walk::Strided> view = in_place_layout(self);
    if (!view) self.refresh();
    return self.value.visit([&]<class T>(const Array<T>& a) -> Result<Ref> {
        // each(x, n): every run of elements in logical order.
        const auto runs = [&](auto each) {
            if (view) {
                walk::Scratch<T> scratch(walk::scratch_size(*view));
                walk::for_blocks<T>(*view, walk::BLOCK, [&](const walk::Block<T>& b) { each(scratch.read(b), b.count); });
            } else {
                each(a.data(), a.len());
            }
        };
        std::uint64_t count = 0;
        runs([&](const T* x, std::size_t n) {
            std::uint64_t c = 0;  // a local sum, which the loop keeps in a register
            for (std::size_t i = 0; i < n; ++i) c += nonzero(x[i]) ? 1 : 0;
            count += c;
        });

        const std::uint64_t length[1] = {count};
        auto dims = ArrayDims::make(length, 8);
        if (!dims) return failure(array_error(std::move(dims.error())));
        auto tuple = check(PyTuple_New(static_cast<Py_ssize_t>(nd)));
        if (!tuple) return tuple;
        std::array<std::int64_t*, MAX_NDIM> out{};
        for (std::size_t d = 0; d < nd; ++d) {
            auto axis = create_unwritten<std::int64_t>(*dims, out[d]);
            if (!axis) return failure(std::move(axis.error()));
            PyTuple_SET_ITEM(tuple->get(), static_cast<Py_ssize_t>(d), axis->release());
        }
        if (count == 0) return tuple;

        // Walk the rows of the last axis, keeping the coordinates of the leading axes.
        const auto shape = a.shape();
        const std::size_t last = nd - 1;
        const std::uint64_t row = shape[last];
        std::array<std::int64_t, MAX_NDIM> index{};
        std::uint64_t j = 0;
        std::uint64_t column = 0;
        runs([&](const T* x, std::size_t n) {
            while (n > 0) {
                const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(row - column, n));
                for (std::size_t c = 0; c < take; ++c) {
                    if (!nonzero(x[c])) continue;
                    for (std::size_t d = 0; d < last; ++d) out[d][j] = index[d];
                    out[last][j] = static_cast<std::int64_t>(column + c);
                    ++j;
                }
                x += take;
                n -= take;
                column += take;
                if (column < row) break;
                column = 0;
                for (std::size_t d = last; d-- > 0;) {
                    if (static_cast<std::uint64_t>(++index[d]) < shape[d]) break;
                    index[d] = 0;
                }
            }
        });
        return tuple;
    });
}

}  // namespace corvantile::python
