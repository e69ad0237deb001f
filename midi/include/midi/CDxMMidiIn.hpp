#pragma once
// One MIDI input device. Keeps exactly one receive buffer queued with the
// platform and turns every SysEx buffer the platform hands back into an entry
// of a first-in, first-out queue, which the reply dispatcher drains from the
// timer thread while the input callback appends to it.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/mm/mmsystem.hpp"

namespace ql5::midi {

struct SysExEntry {
    std::uint8_t* data = nullptr;  // exactly the recorded bytes
    std::size_t length = 0;
    std::atomic<SysExEntry*> next{nullptr};
};

struct SysExView {
    const std::uint8_t* data = nullptr;
    std::size_t length = 0;
    explicit operator bool() const { return data != nullptr; }
};

class CDxMMidiIn {
  public:
    static constexpr std::uint32_t kBufferSize = 8192;

    CDxMMidiIn();
    ~CDxMMidiIn();
    CDxMMidiIn(const CDxMMidiIn&) = delete;
    CDxMMidiIn& operator=(const CDxMMidiIn&) = delete;

    // Open and Close may be called from any thread, also at the same time.
    int Open();  // 1 started, 0 failed (and everything it took released)
    void Close();

    // Consumer side (one consumer at a time).
    SysExView FrontSysEx();
    void RemoveFrontSysEx();

    static std::uint32_t GetNumDevs();
    // Bounded copy of the device's name into a 40-byte buffer; a device whose
    // query fails is listed with an empty name. Returns 0 when the query
    // succeeded, else the platform's error.
    static int GetDevName(std::uint32_t deviceIndex, char (&name)[40]);

    // The platform's callback; forwards to the port given as instance value.
    static void InputCallback(mm::HMIDIIN handle, mm::UINT message, mm::DWORD_PTR instance,
                              mm::DWORD_PTR param1, mm::DWORD_PTR param2);

    std::int32_t deviceIndex = 0;  // set by the owner before Open

    bool started() const { return started_.load() != 0; }
    // The platform said the device went away while open (MIM_CLOSE that we
    // did not ask for): no reply can come any more. Cleared by Open.
    bool deviceGone() const { return gone_.load(); }

    // Makes the next `count` allocations of queue entries or their bytes fail,
    // as an exhausted heap would (tests only).
    static void failAllocationsForTest(int count);

    // Called on the platform's input thread right after an entry was
    // queued, so the owner can bring its consumer's next poll forward. The
    // function must be quick and must not call into this port.
    using ArrivalNotify = void (*)(void* context);
    void setArrivalNotify(ArrivalNotify notify, void* context) {
        arrivalContext_.store(context);
        arrivalNotify_.store(notify);
    }

  private:
    void stopSequence();
    // Stops, resets, unprepares and closes the device, retrying the steps a
    // failure skipped. Frees the header and buffer only when the device was
    // closed (then the platform holds neither); otherwise they are kept for
    // good rather than freed under a platform that may still write them.
    void releaseDevice();
    void freeHeader();
    void onLongData(mm::HMIDIIN handle, mm::MIDIHDR* hdr);
    void onLongError(mm::HMIDIIN handle, mm::MIDIHDR* hdr);
    void onDeviceGone();
    // Gives the receive buffer back to the platform unless the port stops.
    void requeue(mm::HMIDIIN handle, mm::MIDIHDR* hdr);

    mm::HMIDIIN handle_ = nullptr;
    mm::MIDIHDR* header_ = nullptr;
    std::atomic<int> started_{0};
    // Held by Open and Close for their whole run, never by the callback.
    std::mutex lifecycle_;
    // Set while the stop sequence runs, so that the callback does not queue
    // the buffer again behind midiInReset's back.
    std::atomic<bool> stopping_{false};
    std::atomic<bool> gone_{false};
    std::atomic<ArrivalNotify> arrivalNotify_{nullptr};
    std::atomic<void*> arrivalContext_{nullptr};
    // The queue: a linked list that always holds one dummy node. The consumer
    // owns queueHead_ (the dummy; the oldest entry is its next), the producer
    // owns queueTail_ (the youngest node). The producer publishes an entry by
    // storing it into the tail's next after filling it; the consumer frees
    // only the old dummy, which the producer can no longer reach.
    SysExEntry* queueHead_ = nullptr;
    SysExEntry* queueTail_ = nullptr;
};

// True when the port name contains the unit's name ("Tarvik QL-5"): an
// ECMAScript regular-expression search, case-sensitive, compiled afresh on
// every call.
bool matchPortName(const char* name);

}  // namespace ql5::midi
