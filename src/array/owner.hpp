#pragma once

// The array core's only contact with the interpreter: a strong reference to the
// object whose memory a borrowed storage points into. The core never looks inside
// the pointer; the Python layer installs the functions that take and drop references.

namespace corvantile {

struct OwnerHooks {
    void (*acquire)(void*);  // take one more strong reference
    void (*release)(void*);  // drop one strong reference (may defer it)
};

// Installed once by the Python layer at start-up, before any Owner is copied or dropped.
void set_owner_hooks(OwnerHooks hooks) noexcept;

// An owned strong reference to an opaque object; empty or holding exactly one reference.
class Owner {
public:
    Owner() noexcept = default;

    // Takes over a reference the caller already owns (no acquire).
    [[nodiscard]] static Owner adopt(void* strong_ref) noexcept { return Owner(strong_ref); }

    Owner(const Owner& other) noexcept;  // acquires one more reference
    Owner& operator=(const Owner& other) noexcept;
    Owner(Owner&& other) noexcept : ref_(other.ref_) { other.ref_ = nullptr; }
    Owner& operator=(Owner&& other) noexcept {
        if (this != &other) {
            reset();
            ref_ = other.ref_;
            other.ref_ = nullptr;
        }
        return *this;
    }
    ~Owner() { reset(); }

    // Drops the reference (release hook) and leaves the handle empty. Inline, since most
    // arrays own their buffer and every result drops several empty owners.
    void reset() noexcept {
        if (ref_ != nullptr) release_held();
    }
    // Gives the reference up to the caller without releasing it; the handle is left empty.
    [[nodiscard]] void* detach() noexcept {
        void* r = ref_;
        ref_ = nullptr;
        return r;
    }

    void* get() const noexcept { return ref_; }
    explicit operator bool() const noexcept { return ref_ != nullptr; }

private:
    explicit Owner(void* ref) noexcept : ref_(ref) {}
    void release_held() noexcept;
    void* ref_ = nullptr;
};

}  // namespace corvantile
