#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <ranges>
#include <span>
#include <type_traits>
#include <vector>

#include "array/error.hpp"
#include "array/owner.hpp"

namespace corvantile {

// Bool element: one byte that is always 0 or 1. Bytes from outside must be normalised
// (to_bool(byte != 0)) before they are stored as Bool.
enum class Bool : std::uint8_t { False = 0, True = 1 };

constexpr Bool to_bool(bool b) noexcept { return static_cast<Bool>(b); }
constexpr bool is_true(Bool b) noexcept { return b != Bool::False; }

namespace detail {
void* allocate_elements(std::uint64_t count, std::size_t elem_size, bool zeroed);
// bytes: what allocate_elements was asked for.
void free_elements(void* p, std::uint64_t bytes) noexcept;
alignas(64) inline std::byte EMPTY_ELEMENTS[64];
// Non-null, suitably aligned address of an empty storage; never read or written.
inline void* empty_placeholder() noexcept { return EMPTY_ELEMENTS; }
}  // namespace detail

// Contiguous elements: an owned buffer of exactly len elements (owner empty), borrowed
// memory inside the owner object, which the storage keeps alive, or embedded memory that
// its holder keeps alive. Move-only; a moved-from storage is empty.
template <class T>
class Storage {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Storage() noexcept : ptr_(static_cast<T*>(detail::empty_placeholder())) {}

    // Owned buffer whose elements are unspecified: the caller writes every one before reading.
    static Storage uninit(std::uint64_t len) { return Storage(alloc(len, false), len); }
    // Owned buffer allocated by the first materialize(); ptr() is null until then.
    static Storage deferred(std::uint64_t len) noexcept { return Storage(len == 0 ? empty() : nullptr, len); }
    // Owned buffer of zero bytes (0.0, 0, false).
    static Storage zeroed(std::uint64_t len) { return Storage(alloc(len, true), len); }
    // Owned copy of the elements.
    static Storage copy_of(std::span<const T> src) {
        Storage s = uninit(src.size());
        if (!src.empty()) std::memcpy(s.ptr_, src.data(), src.size_bytes());
        return s;
    }
    // Owned storage of exactly the elements of a finite sequence, in order.
    template <std::ranges::input_range R>
        requires std::convertible_to<std::ranges::range_value_t<R>, T>
    static Storage collect(R&& range) {
        if constexpr (std::ranges::sized_range<R>) {
            Storage s = uninit(static_cast<std::uint64_t>(std::ranges::size(range)));
            T* out = s.ptr_;
            for (auto&& x : range) *out++ = static_cast<T>(x);
            return s;
        } else {
            std::vector<T> tmp;
            for (auto&& x : range) tmp.push_back(static_cast<T>(x));
            return copy_of(tmp);
        }
    }
    // Embedded memory: len (not 0) elements at ptr, which live exactly as long as the
    // holder of the storage (an ndarray's elements in the tail of its own object); never freed.
    static Storage embedded(T* ptr, std::uint64_t len) noexcept {
        Storage s(ptr, len);
        s.embedded_ = true;
        return s;
    }
    // Borrowed memory: len elements at ptr inside owner's memory; owner must be set.
    static Storage borrow(T* ptr, std::uint64_t len, Owner owner) {
        if (!owner) internal_failure("borrowed storage without owner");
        Storage s;
        if (len != 0) s.ptr_ = ptr;
        s.len_ = len;
        s.owner_ = std::move(owner);
        return s;
    }

    Storage(Storage&& o) noexcept
        : ptr_(o.ptr_), len_(o.len_), owner_(std::move(o.owner_)), embedded_(o.embedded_) {
        o.ptr_ = static_cast<T*>(detail::empty_placeholder());
        o.len_ = 0;
        o.embedded_ = false;
    }
    Storage& operator=(Storage&& o) noexcept {
        if (this != &o) {
            drop();
            ptr_ = o.ptr_;
            len_ = o.len_;
            owner_ = std::move(o.owner_);
            embedded_ = o.embedded_;
            o.ptr_ = static_cast<T*>(detail::empty_placeholder());
            o.len_ = 0;
            o.embedded_ = false;
        }
        return *this;
    }
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;
    ~Storage() { drop(); }

    // Allocates a deferred buffer (elements unspecified); no-op for any other storage.
    void materialize() {
        if (ptr_ == nullptr) ptr_ = alloc(len_, false);
    }
    T* ptr() noexcept { return ptr_; }
    const T* ptr() const noexcept { return ptr_; }
    std::uint64_t len() const noexcept { return len_; }
    const Owner& owner() const noexcept { return owner_; }
    bool is_borrowed() const noexcept { return static_cast<bool>(owner_); }
    std::span<T> span() noexcept { return {ptr_, static_cast<std::size_t>(len_)}; }
    std::span<const T> span() const noexcept { return {ptr_, static_cast<std::size_t>(len_)}; }

private:
    Storage(T* p, std::uint64_t len) noexcept : ptr_(p), len_(len) {}
    static T* alloc(std::uint64_t len, bool zeroed) {
        return static_cast<T*>(detail::allocate_elements(len, sizeof(T), zeroed));
    }
    static T* empty() noexcept { return static_cast<T*>(detail::empty_placeholder()); }
    void drop() noexcept {
        if (!owner_ && !embedded_ && len_ != 0 && ptr_ != nullptr) detail::free_elements(ptr_, len_ * sizeof(T));
        owner_.reset();
    }

    T* ptr_;
    std::uint64_t len_ = 0;
    Owner owner_;
    bool embedded_ = false;
};

}  // namespace corvantile
