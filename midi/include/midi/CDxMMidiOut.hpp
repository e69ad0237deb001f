#pragma once
// One MIDI output device; sends SysEx messages synchronously: SendLong
// returns when the platform has finished with the message.
#include <atomic>
#include <cstdint>

#include "platform/mm/mmsystem.hpp"

namespace ql5::midi {

class CDxMMidiOut {
  public:
    CDxMMidiOut() = default;
    ~CDxMMidiOut();
    CDxMMidiOut(const CDxMMidiOut&) = delete;
    CDxMMidiOut& operator=(const CDxMMidiOut&) = delete;

    int Open(std::int32_t deviceIndex);  // 1 open, 0 failed
    int Close();                         // 1 if a device was open
    // 1 sent, 0 failed (closed port, refused prepare or send, or the platform
    // did not finish within the bound).
    int SendLong(mm::MIDIHDR* header);

    // Longest wait for MHDR_DONE before SendLong gives up (the platform never
    // finishing would otherwise hang the sender forever).
    void setDoneBoundMs(std::uint32_t ms) { doneBoundMs_.store(ms); }

    static std::uint32_t GetNumDevs();
    static int GetDevName(std::uint32_t deviceIndex, char (&name)[40]);

    std::int32_t deviceIndex = 0;
    bool isOpen() const;
    // A send was refused because the device went away (MMSYSERR_NODRIVER):
    // nothing sent can reach it any more. Cleared by Open.
    bool deviceGone() const { return gone_.load(); }

  private:
    // Written by Open/Close on the UI thread, read by senders on the worker
    // and timer threads.
    std::atomic<mm::HMIDIOUT> handle_{nullptr};
    std::atomic<std::uint32_t> doneBoundMs_{5000};
    std::atomic<bool> gone_{false};
};

}  // namespace ql5::midi
