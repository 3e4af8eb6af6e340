#pragma once

// A buffer taken from an exporter, released exactly once.

#include "python/runtime/error.hpp"

#include <cstring>
#include <optional>
#include <span>
#include <string_view>

namespace corvantile::python {

class BufferView {
public:
    // The exporter's buffer for `flags`, or the exporter's error.
    static Result<BufferView> get(PyObject* exporter, int flags) noexcept {
        BufferView b;
        if (PyObject_GetBuffer(exporter, &b.view_, flags) != 0) return failure();
        b.held_ = true;
        return b;
    }

    BufferView(BufferView&& other) noexcept : view_(other.view_), held_(other.held_) {
        other.held_ = false;
    }
    BufferView& operator=(BufferView&&) = delete;
    BufferView(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }

    Py_buffer& view() noexcept { return view_; }
    const Py_buffer& view() const noexcept { return view_; }
    // The format; a missing one means unsigned bytes.
    std::string_view format() const noexcept { return view_.format ? view_.format : "B"; }
    std::size_t ndim() const noexcept { return static_cast<std::size_t>(view_.ndim); }
    bool has_layout() const noexcept {
        return view_.ndim == 0 || (view_.shape != nullptr && view_.strides != nullptr);
    }
    bool c_contiguous() const noexcept { return PyBuffer_IsContiguous(&view_, 'C') != 0; }
    std::span<const Py_ssize_t> shape() const noexcept {
        return {view_.shape, view_.shape ? ndim() : 0};
    }
    std::size_t item_count() const noexcept {
        return view_.itemsize > 0 ? static_cast<std::size_t>(view_.len / view_.itemsize) : 0;
    }

private:
    BufferView() noexcept { std::memset(&view_, 0, sizeof view_); }
    Py_buffer view_;
    bool held_ = false;
};

}  // namespace corvantile::python
