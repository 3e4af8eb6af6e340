#pragma once

#include "python/runtime/attach.hpp"
#include "python/runtime/error.hpp"

#include <atomic>
#include <memory>

namespace corvantile::python {

// A process-wide cell filled once, on first use, with the thread attached. A thread
// that must wait for another thread's initialisation waits detached; a failed
// initialisation leaves the cell empty, so the next use tries again. The value is
// never destroyed.
template <class T>
class OnceCell {
public:
    constexpr OnceCell() noexcept : none_{} {}
    ~OnceCell() {}  // the value lives for the whole process
    OnceCell(const OnceCell&) = delete;
    OnceCell& operator=(const OnceCell&) = delete;

    // The value, or null while the cell is not complete.
    const T* get() const noexcept {
        return state_.load(std::memory_order_acquire) == COMPLETE ? &value_ : nullptr;
    }

    // The value, running init (() -> Result<T>) first when the cell is empty.
    template <class Init>
    Result<const T*> get_or_init(Init&& init) {
        if (const T* v = get()) return v;
        return init_slow(init);
    }

private:
    enum : unsigned char { EMPTY, BUSY, COMPLETE };

    template <class Init>
    Result<const T*> init_slow(Init& init) {
        const unsigned long me = PyThread_get_thread_ident();
        if (state_.load(std::memory_order_acquire) == BUSY &&
            owner_.load(std::memory_order_relaxed) == me) {
            return failure(Error::runtime_error("one-time cell initialised recursively"));
        }
        PyThreadState* detached = PyEval_SaveThread();
        bool mine = false;
        for (;;) {
            unsigned char s = state_.load(std::memory_order_acquire);
            if (s == COMPLETE) break;
            if (s == EMPTY) {
                if (state_.compare_exchange_weak(s, BUSY, std::memory_order_acq_rel)) {
                    mine = true;
                    break;
                }
                continue;
            }
            state_.wait(BUSY, std::memory_order_acquire);
        }
        PyEval_RestoreThread(detached);
        drain_pending();
        if (!mine) return &value_;

        owner_.store(me, std::memory_order_relaxed);
        struct Reopen {  // back to empty unless the value was stored
            OnceCell* cell;
            ~Reopen() {
                if (cell != nullptr) cell->finish(EMPTY);
            }
        } reopen{this};
        Result<T> made = init();
        if (!made) return failure(std::move(made.error()));
        std::construct_at(&value_, std::move(*made));
        reopen.cell = nullptr;
        finish(COMPLETE);
        return &value_;
    }

    void finish(unsigned char state) noexcept {
        owner_.store(0, std::memory_order_relaxed);
        state_.store(state, std::memory_order_release);
        state_.notify_all();
    }

    std::atomic<unsigned char> state_{EMPTY};
    std::atomic<unsigned long> owner_{0};
    union {
        char none_;  // while the cell is not complete
        T value_;
    };
};

}  // namespace corvantile::python
