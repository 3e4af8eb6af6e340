#include "array/owner.hpp"

#include <utility>

namespace corvantile {

namespace {
OwnerHooks hooks{nullptr, nullptr};
}

void set_owner_hooks(OwnerHooks h) noexcept { hooks = h; }

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

void Owner::release_held() noexcept {
    void* r = ref_;
    ref_ = nullptr;
    if (hooks.release != nullptr) hooks.release(r);
}

}  // namespace corvantile
