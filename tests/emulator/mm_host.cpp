#include "mm_host.hpp"

#include <cstring>
#include <thread>

namespace ql5::emulator::testing {

using namespace ql5::mm;

MmHost::~MmHost() { close(); }

int MmHost::findInput(const std::string& name) {
    int found = -1;
    const UINT n = midiInGetNumDevs();
    for (UINT i = 0; i < n; ++i) {
        MIDIINCAPSA caps{};
        if (midiInGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR &&
            name.compare(0, MAXPNAMELEN - 1, caps.szPname) == 0) {
            found = static_cast<int>(i);
        }
    }
    return found;
}

int MmHost::findOutput(const std::string& name) {
    int found = -1;
    const UINT n = midiOutGetNumDevs();
    for (UINT i = 0; i < n; ++i) {
        MIDIOUTCAPSA caps{};
        if (midiOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR &&
            name.compare(0, MAXPNAMELEN - 1, caps.szPname) == 0) {
            found = static_cast<int>(i);
        }
    }
    return found;
}

bool MmHost::open(const std::string& name) {
    const int inIndex = findInput(name);
    const int outIndex = findOutput(name);
    if (inIndex < 0 || outIndex < 0) return false;
    if (midiOutOpen(&out_, static_cast<UINT>(outIndex), 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
        out_ = nullptr;
        return false;
    }
    if (midiInOpen(&in_, static_cast<UINT>(inIndex), reinterpret_cast<DWORD_PTR>(&MmHost::callback),
                   reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
        in_ = nullptr;
        return false;
    }
    storage_.assign(kBuffers, std::vector<char>(kBufferSize));
    headers_.assign(kBuffers, MIDIHDR{});
    for (int i = 0; i < kBuffers; ++i) {
        headers_[i].lpData = storage_[i].data();
        headers_[i].dwBufferLength = kBufferSize;
        midiInPrepareHeader(in_, &headers_[i], sizeof(MIDIHDR));
        midiInAddBuffer(in_, &headers_[i], sizeof(MIDIHDR));
    }
    closing_ = false;
    return midiInStart(in_) == MMSYSERR_NOERROR;
}

void MmHost::close() {
    if (in_ != nullptr) {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        midiInReset(in_);
        for (MIDIHDR& h : headers_) midiInUnprepareHeader(in_, &h, sizeof(MIDIHDR));
        midiInClose(in_);
        in_ = nullptr;
    }
    if (out_ != nullptr) {
        midiOutClose(out_);
        out_ = nullptr;
    }
}

bool MmHost::send(const std::vector<std::uint8_t>& bytes) {
    std::vector<char> copy(bytes.begin(), bytes.end());
    MIDIHDR h{};
    h.lpData = copy.data();
    h.dwBufferLength = static_cast<DWORD>(copy.size());
    if (midiOutPrepareHeader(out_, &h, sizeof h) != MMSYSERR_NOERROR) return false;
    const bool ok = midiOutLongMsg(out_, &h, sizeof h) == MMSYSERR_NOERROR;
    for (int i = 0; ok && (h.dwFlags & MHDR_DONE) == 0 && i < 5000; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    midiOutUnprepareHeader(out_, &h, sizeof h);
    return ok;
}

void MmHost::callback(HMIDIIN handle, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR) {
    reinterpret_cast<MmHost*>(instance)->onEvent(handle, msg, p1);
}

void MmHost::onEvent(HMIDIIN handle, UINT msg, DWORD_PTR p1) {
    HostEvent e;
    if (msg == MIM_LONGDATA || msg == MIM_LONGERROR) {
        auto* h = reinterpret_cast<MIDIHDR*>(p1);
        e.type = msg == MIM_LONGDATA ? HostEvent::Type::LongData : HostEvent::Type::LongError;
        e.bytes.assign(h->lpData, h->lpData + h->dwBytesRecorded);
        bool closing = false;
        {
            std::lock_guard lock(mutex_);
            closing = closing_;
        }
        if (!closing) midiInAddBuffer(handle, h, sizeof(MIDIHDR));
        if (closing) return;
        if (msg == MIM_LONGDATA && e.bytes.empty()) return;
    } else if (msg == MIM_DATA) {
        e.type = HostEvent::Type::Data;
        e.bytes = {static_cast<std::uint8_t>(p1), static_cast<std::uint8_t>(p1 >> 8),
                   static_cast<std::uint8_t>(p1 >> 16)};
    } else {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(e));
    }
    cv_.notify_all();
}

std::optional<HostEvent> MmHost::next(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [this] { return !events_.empty(); })) return std::nullopt;
    HostEvent e = std::move(events_.front());
    events_.pop_front();
    return e;
}

std::optional<std::vector<std::uint8_t>> MmHost::nextSysEx(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        auto e = next(left);
        if (!e) return std::nullopt;
        if (e->type == HostEvent::Type::LongData) return e->bytes;
    }
}

}  // namespace ql5::emulator::testing
