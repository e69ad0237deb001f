#include "midi/CDxMMidiIn.hpp"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "dev_name.hpp"
#include "platform/mm/atomic_ref.hpp"

namespace ql5::midi {

namespace {

std::atomic<int> allocationsToFail{0};

bool allocationRefused() {
    int left = allocationsToFail.load(std::memory_order_relaxed);
    while (left > 0) {
        if (allocationsToFail.compare_exchange_weak(left, left - 1)) {
            return true;
        }
    }
    return false;
}

SysExEntry* newEntry() { return allocationRefused() ? nullptr : new (std::nothrow) SysExEntry; }

std::uint8_t* newBytes(std::size_t count) {
    return allocationRefused() ? nullptr : new (std::nothrow) std::uint8_t[count];
}

void deleteEntry(SysExEntry* entry) {
    delete[] entry->data;
    delete entry;
}

}  // namespace

void CDxMMidiIn::failAllocationsForTest(int count) { allocationsToFail.store(count); }

CDxMMidiIn::CDxMMidiIn() : queueHead_(new SysExEntry), queueTail_(queueHead_) {}

CDxMMidiIn::~CDxMMidiIn() {
    stopSequence();
    // By now the timer that runs the consumer is gone and the device is
    // closed, so this thread is the only one left on the queue.
    while (queueHead_ != nullptr) {
        SysExEntry* next = queueHead_->next.load(std::memory_order_acquire);
        deleteEntry(queueHead_);
        queueHead_ = next;
    }
}

int CDxMMidiIn::Open() {
    const std::lock_guard<std::mutex> lock(lifecycle_);
    if (started_.load() == 1) {
        return 1;
    }
    header_ = new (std::nothrow) mm::MIDIHDR{};
    if (header_ == nullptr) {
        return 0;
    }
    char* buffer = new (std::nothrow) char[kBufferSize]();
    if (buffer == nullptr) {
        delete header_;
        header_ = nullptr;
        return 0;
    }
    header_->lpData = buffer;
    header_->dwBufferLength = kBufferSize;
    stopping_.store(false);
    gone_.store(false);

    handle_ = nullptr;
    if (mm::midiInOpen(&handle_, static_cast<mm::UINT>(deviceIndex),
                       reinterpret_cast<mm::DWORD_PTR>(&CDxMMidiIn::InputCallback),
                       reinterpret_cast<mm::DWORD_PTR>(this),
                       mm::CALLBACK_FUNCTION) != mm::MMSYSERR_NOERROR) {
        handle_ = nullptr;
        freeHeader();  // the platform never saw it
        return 0;
    }
    mm::MMRESULT result = mm::midiInReset(handle_);
    if (result == mm::MMSYSERR_NOERROR) {
        result = mm::midiInPrepareHeader(handle_, header_, sizeof(mm::MIDIHDR));
    }
    if (result == mm::MMSYSERR_NOERROR) {
        result = mm::midiInAddBuffer(handle_, header_, sizeof(mm::MIDIHDR));
    }
    if (result == mm::MMSYSERR_NOERROR) {
        result = mm::midiInStart(handle_);
    }
    if (result != mm::MMSYSERR_NOERROR) {
        // Give back what this attempt took; otherwise the device would stay
        // open with no port to close it, and the next Open would find it busy.
        releaseDevice();
        return 0;
    }
    started_.store(1);
    return 1;
}

void CDxMMidiIn::Close() { stopSequence(); }

void CDxMMidiIn::stopSequence() {
    // The window's destruction and a worker's closePorts may close the port
    // at the same time: one of them releases the device, the other finds it
    // released, and neither returns while the release is still under way.
    const std::lock_guard<std::mutex> lock(lifecycle_);
    if (started_.load() != 1) {
        return;
    }
    releaseDevice();
    started_.store(0);
}

void CDxMMidiIn::releaseDevice() {
    stopping_.store(true);
    bool unprepared = false;
    bool closed = false;
    // A failed step must not leave the device open with our buffer in it, so
    // the whole path is tried again rather than given up at the first error.
    for (int attempt = 0; attempt < 3 && !closed; ++attempt) {
        mm::midiInStop(handle_);
        mm::midiInReset(handle_);
        unprepared = mm::midiInUnprepareHeader(handle_, header_, sizeof(mm::MIDIHDR)) ==
                     mm::MMSYSERR_NOERROR;
        if (unprepared) {
            closed = mm::midiInClose(handle_) == mm::MMSYSERR_NOERROR;
        }
    }
    if (closed) {
        handle_ = nullptr;
        freeHeader();
        stopping_.store(false);
        return;
    }
    // The platform may still hold the buffer and write into it: keep header
    // and buffer alive for good, and keep the callback from queuing it again.
    header_ = nullptr;
    handle_ = nullptr;
}

void CDxMMidiIn::freeHeader() {
    if (header_ == nullptr) {
        return;
    }
    delete[] header_->lpData;
    delete header_;
    header_ = nullptr;
}

SysExView CDxMMidiIn::FrontSysEx() {
    const SysExEntry* oldest = queueHead_->next.load(std::memory_order_acquire);
    if (oldest == nullptr) {
        return {};
    }
    return SysExView{oldest->data, oldest->length};
}

void CDxMMidiIn::RemoveFrontSysEx() {
    SysExEntry* oldest = queueHead_->next.load(std::memory_order_acquire);
    if (oldest == nullptr) {
        return;
    }
    // The oldest entry becomes the dummy; the old dummy is freed. The
    // producer only ever touches the tail, which is `oldest` or younger.
    delete[] oldest->data;
    oldest->data = nullptr;
    oldest->length = 0;
    delete queueHead_;
    queueHead_ = oldest;
}

void CDxMMidiIn::InputCallback(mm::HMIDIIN handle, mm::UINT message, mm::DWORD_PTR instance,
                               mm::DWORD_PTR param1, mm::DWORD_PTR param2) {
    (void)param2;
    // Short messages, the open notice and errors are not kept; a close
    // notice the port did not cause means the device went away.
    if (instance == 0) {
        return;
    }
    auto* port = reinterpret_cast<CDxMMidiIn*>(instance);
    auto* hdr = reinterpret_cast<mm::MIDIHDR*>(param1);
    if (message == mm::MIM_LONGDATA) {
        port->onLongData(handle, hdr);
    } else if (message == mm::MIM_LONGERROR) {
        port->onLongError(handle, hdr);
    } else if (message == mm::MIM_CLOSE) {
        port->onDeviceGone();
    }
}

void CDxMMidiIn::onDeviceGone() {
    // Our own close sets stopping_ first: a close notice without it is the
    // device pulled out from under the open port. The owner's consumer is
    // woken so that a wait for a reply ends now rather than at its time-out.
    if (stopping_.load()) {
        return;
    }
    gone_.store(true);
    if (const ArrivalNotify notify = arrivalNotify_.load(); notify != nullptr) {
        notify(arrivalContext_.load());
    }
}

void CDxMMidiIn::onLongError(mm::HMIDIIN handle, mm::MIDIHDR* hdr) {
    // The buffer holds a broken message (the ALSA driver reports an input
    // overrun this way). Nothing of it is queued, but the buffer must go
    // back to the platform: it is the only one, and without it every later
    // reply would be lost.
    if (hdr == nullptr || hdr != header_) {
        return;
    }
    const mm::DWORD flags =
        ql5::mm::AtomicRef<mm::DWORD>(hdr->dwFlags).load(std::memory_order_acquire);
    if ((flags & mm::MHDR_DONE) == 0) {
        return;
    }
    requeue(handle, hdr);
}

void CDxMMidiIn::requeue(mm::HMIDIIN handle, mm::MIDIHDR* hdr) {
    if (!stopping_.load()) {
        mm::midiInPrepareHeader(handle, hdr, sizeof(mm::MIDIHDR));
        mm::midiInAddBuffer(handle, hdr, sizeof(mm::MIDIHDR));
    }
}

void CDxMMidiIn::onLongData(mm::HMIDIIN handle, mm::MIDIHDR* hdr) {
    if (hdr == nullptr || hdr != header_) {
        return;
    }
    const mm::DWORD flags =
        ql5::mm::AtomicRef<mm::DWORD>(hdr->dwFlags).load(std::memory_order_acquire);
    if ((flags & mm::MHDR_DONE) == 0) {
        return;
    }
    std::size_t count = hdr->dwBytesRecorded;
    if (count == 0) {
        return;  // reset handed the buffer back empty: leave it with us
    }
    if (count > hdr->dwBufferLength) {
        count = hdr->dwBufferLength;  // never copy past the buffer
    }
    SysExEntry* entry = newEntry();
    std::uint8_t* bytes = entry != nullptr ? newBytes(count) : nullptr;
    if (entry != nullptr && bytes != nullptr) {
        std::memcpy(bytes, hdr->lpData, count);
        entry->data = bytes;
        entry->length = count;
        // Filled first, published second: the consumer sees it whole.
        queueTail_->next.store(entry, std::memory_order_release);
        queueTail_ = entry;
    } else {
        // Out of memory: this message is lost, but reception must go on.
        delete entry;
    }
    requeue(handle, hdr);
    if (const ArrivalNotify notify = arrivalNotify_.load(); notify != nullptr) {
        notify(arrivalContext_.load());
    }
}

std::uint32_t CDxMMidiIn::GetNumDevs() { return mm::midiInGetNumDevs(); }

int CDxMMidiIn::GetDevName(std::uint32_t deviceIndex, char (&name)[40]) {
    return detail::queryDevName(mm::midiInGetDevCapsA, deviceIndex, name);
}

}  // namespace ql5::midi
