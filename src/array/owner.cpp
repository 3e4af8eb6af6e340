#include "array/owner.hpp"

#include <utility>

namespace corvantile {

namespace {
OwnerHooks hooks{nullptr, nullptr};
}

void set_owner_hooks(OwnerHooks h) noexcept { hooks = h; }

Owner Owner::adopt(void* strong_ref) noexcept { return Owner(strong_ref); }

Owner::Owner(const Owner& other) noexcept : ref_(other.ref_) {
    if (ref_ != nullptr && hooks.acquire != nullptr) hooks.acquire(ref_);
}

Owner& Owner::operator=(const Owner& other) noexcept {
    if (this != &other) {
        Owner copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Owner& Owner::operator=(Owner&& other) noexcept {
    if (this != &other) {
        reset();
        ref_ = other.ref_;
        other.ref_ = nullptr;
    }
    return *this;
}

void Owner::release_held() noexcept {
    void* r = ref_;
    ref_ = nullptr;
    if (hooks.release != nullptr) hooks.release(r);
}

}  // namespace corvantile
