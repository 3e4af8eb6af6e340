#include "python/runtime/attach.hpp"

#include "python/runtime/ref.hpp"

#include <mutex>
#include <new>
#include <vector>

namespace corvantile::python {

namespace {

std::mutex pending_mutex;
// Made on the first deferred release and never freed, so that releases during
// process exit still find it.
std::vector<PyObject*>* pending = nullptr;

}  // namespace

void defer_release(PyObject* object) noexcept {
    // Attaching is not possible while the interpreter shuts down; leaking is safe.
    if (Py_IsFinalizing()) return;
    std::lock_guard lock(pending_mutex);
    try {
        if (pending == nullptr) pending = new std::vector<PyObject*>();
        pending->push_back(object);
    } catch (const std::bad_alloc&) {
        return;  // out of memory: the reference leaks rather than being dropped unattached
    }
    detail::PENDING.store(true, std::memory_order_release);
}

void detail::drain_pending_now() noexcept {
    std::vector<PyObject*> batch;
    {
        std::lock_guard lock(pending_mutex);
        if (pending == nullptr) return;
        batch.swap(*pending);
        detail::PENDING.store(false, std::memory_order_release);
    }
    for (PyObject* object : batch) Py_DECREF(object);
}

}  // namespace corvantile::python
