#pragma once

#include <atomic>

namespace corvantile::python {

// How many entry frames of the module are active on this thread.
[[gnu::tls_model("initial-exec")]] inline thread_local int ATTACH_DEPTH = 0;

namespace detail {
inline std::atomic<bool> PENDING{false};  // the deferred-release queue holds something
void drain_pending_now() noexcept;
}  // namespace detail

// Releases every deferred reference, in the order they were queued. Called attached.
inline void drain_pending() noexcept {
    if (detail::PENDING.load(std::memory_order_acquire)) detail::drain_pending_now();
}

// The entry of a standard frame: marks the thread attached, then performs the deferred
// releases. The depth is restored on every exit path.
class EntryScope {
public:
    EntryScope() noexcept {
        ++ATTACH_DEPTH;
        drain_pending();
    }
    ~EntryScope() { --ATTACH_DEPTH; }
    EntryScope(const EntryScope&) = delete;
    EntryScope& operator=(const EntryScope&) = delete;
};

// The lighter entry of the fast functions: attached, but no drain.
class LightScope {
public:
    LightScope() noexcept { ++ATTACH_DEPTH; }
    ~LightScope() { --ATTACH_DEPTH; }
    LightScope(const LightScope&) = delete;
    LightScope& operator=(const LightScope&) = delete;
};

}  // namespace corvantile::python
