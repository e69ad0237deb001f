#pragma once
// dwFlags of a header is written by the core and polled by the owner of the
// header on another thread (a sender waiting for MHDR_DONE), so every access
// from the core is atomic.
#include <atomic>

#include "platform/mm/atomic_ref.hpp"

#include "platform/mm/mmsystem.hpp"

namespace ql5::mm::detail {

inline DWORD loadFlags(MIDIHDR* hdr) {
    return ql5::mm::AtomicRef<DWORD>(hdr->dwFlags).load(std::memory_order_acquire);
}

inline void changeFlags(MIDIHDR* hdr, DWORD set, DWORD clear) {
    ql5::mm::AtomicRef<DWORD> flags(hdr->dwFlags);
    DWORD value = flags.load(std::memory_order_relaxed);
    while (!flags.compare_exchange_weak(value, (value | set) & ~clear, std::memory_order_acq_rel)) {
    }
}

inline bool validHeader(const MIDIHDR* hdr, UINT size) {
    return hdr != nullptr && size >= sizeof(MIDIHDR) && hdr->lpData != nullptr &&
           hdr->dwBufferLength > 0;
}

}  // namespace ql5::mm::detail
