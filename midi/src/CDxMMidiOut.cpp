#include "midi/CDxMMidiOut.hpp"

#include <chrono>

#include "dev_name.hpp"
#include "platform/mm/atomic_ref.hpp"
#include "platform/sync/sync.hpp"

namespace ql5::midi {

CDxMMidiOut::~CDxMMidiOut() { Close(); }

bool CDxMMidiOut::isOpen() const { return handle_.load() != nullptr; }

int CDxMMidiOut::Open(std::int32_t index) {
    if (handle_.load() != nullptr) {
        if (index == deviceIndex) {
            return 1;
        }
        Close();
    }
    deviceIndex = index;
    gone_.store(false);
    mm::HMIDIOUT handle = nullptr;
    if (mm::midiOutOpen(&handle, static_cast<mm::UINT>(index), 0, 0, mm::CALLBACK_NULL) !=
        mm::MMSYSERR_NOERROR) {
        return 0;
    }
    handle_.store(handle);
    return 1;
}

int CDxMMidiOut::Close() {
    mm::HMIDIOUT handle = handle_.exchange(nullptr);
    if (handle == nullptr) {
        return 0;
    }
    mm::midiOutClose(handle);
    return 1;
}

int CDxMMidiOut::SendLong(mm::MIDIHDR* header) {
    const mm::HMIDIOUT handle = handle_.load();
    if (handle == nullptr || header == nullptr) {
        return 0;
    }
    if (mm::midiOutPrepareHeader(handle, header, sizeof(mm::MIDIHDR)) != mm::MMSYSERR_NOERROR) {
        return 0;
    }
    if (const mm::MMRESULT sent = mm::midiOutLongMsg(handle, header, sizeof(mm::MIDIHDR));
        sent != mm::MMSYSERR_NOERROR) {
        if (sent == mm::MMSYSERR_NODRIVER) {
            gone_.store(true);
        }
        mm::midiOutUnprepareHeader(handle, header, sizeof(mm::MIDIHDR));
        return 0;
    }
    const auto start = std::chrono::steady_clock::now();
    const auto bound = std::chrono::milliseconds(doneBoundMs_.load());
    ql5::mm::AtomicRef<mm::DWORD> flags(header->dwFlags);
    while ((flags.load(std::memory_order_acquire) & mm::MHDR_DONE) == 0) {
        if (std::chrono::steady_clock::now() - start >= bound) {
            // The platform never finished. The header and the bytes are the
            // caller's, who will reuse them: from here on they are not
            // touched, not even to unprepare.
            return 0;
        }
        sync::sleepMs(1);
    }
    mm::midiOutUnprepareHeader(handle, header, sizeof(mm::MIDIHDR));
    return 1;
}

std::uint32_t CDxMMidiOut::GetNumDevs() { return mm::midiOutGetNumDevs(); }

int CDxMMidiOut::GetDevName(std::uint32_t deviceIndex, char (&name)[40]) {
    return detail::queryDevName(mm::midiOutGetDevCapsA, deviceIndex, name);
}

}  // namespace ql5::midi
