#pragma once
// std::atomic_ref where the standard library has it; elsewhere (libc++ 13,
// the WebAssembly build's library) the same few operations on the compiler's
// __atomic builtins, which GCC and Clang provide for every word-sized type.
#include <atomic>
#include <type_traits>

namespace ql5::mm {

#if defined(__cpp_lib_atomic_ref)
template <class T>
using AtomicRef = std::atomic_ref<T>;
#else
template <class T>
class AtomicRef {
    static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= sizeof(void*),
                  "only word-sized values are used through AtomicRef");

  public:
    explicit AtomicRef(T& object) noexcept : object_(&object) {}

    T load(std::memory_order order = std::memory_order_seq_cst) const noexcept {
        return __atomic_load_n(object_, toBuiltin(order));
    }
    void store(T value, std::memory_order order = std::memory_order_seq_cst) const noexcept {
        __atomic_store_n(object_, value, toBuiltin(order));
    }
    T fetch_or(T value, std::memory_order order = std::memory_order_seq_cst) const noexcept {
        return __atomic_fetch_or(object_, value, toBuiltin(order));
    }
    T fetch_and(T value, std::memory_order order = std::memory_order_seq_cst) const noexcept {
        return __atomic_fetch_and(object_, value, toBuiltin(order));
    }
    bool compare_exchange_weak(T& expected, T desired,
                               std::memory_order order = std::memory_order_seq_cst) const noexcept {
        // A failed exchange only reloads expected: acquire is enough there.
        return __atomic_compare_exchange_n(object_, &expected, desired, true, toBuiltin(order),
                                           __ATOMIC_ACQUIRE);
    }

  private:
    static constexpr int toBuiltin(std::memory_order order) noexcept {
        switch (order) {
            case std::memory_order_relaxed:
                return __ATOMIC_RELAXED;
            case std::memory_order_consume:
                return __ATOMIC_CONSUME;
            case std::memory_order_acquire:
                return __ATOMIC_ACQUIRE;
            case std::memory_order_release:
                return __ATOMIC_RELEASE;
            case std::memory_order_acq_rel:
                return __ATOMIC_ACQ_REL;
            default:
                return __ATOMIC_SEQ_CST;
        }
    }
    T* object_;
};
#endif

}  // namespace ql5::mm
