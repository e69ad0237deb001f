#pragma once
// The ALSA driver's open ports, by the way their bytes travel. Internal to
// the driver (alsa_driver.cpp) and the sequencer client helper.
#include <alsa/asoundlib.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/mm/alsa_seq_codec.hpp"
#include "platform/mm/driver.hpp"
#include "platform/mm/wire_pacer.hpp"

namespace ql5::mm::alsa {

// Our sequencer clients carry this name. It must not contain the unit's name:
// another copy of the updater would otherwise see our ports as the unit's.
inline constexpr char kClientName[] = "ql5-updater";

// Short enough that closing an input port (which joins its reader) is prompt.
inline constexpr int kPollMilliseconds = 20;

// Kernel cells for events waiting to be read by a client of ours. A 256-byte
// SysEx piece takes about ten; the default 200 hold little more than one
// write block, and a card's bridge cannot wait for room: what does not fit
// is lost. 2,000 is the most the kernel grants. A kernel that grants less
// leaves the default, which still works with senders that retry.
inline constexpr std::size_t kInputPoolCells = 2000;
void growInputPool(snd_seq_t* seq);

struct SeqAddress {
    int client = -1;
    int port = -1;
};

struct RawMidiAddress {
    int card = -1;
    int device = -1;
    int subdevice = -1;
};

// A device that stops taking bytes must not hold a sending thread for ever:
// one second plus the message at a third of MIDI's wire rate.
inline std::chrono::milliseconds sendAllowance(std::size_t count) {
    return std::chrono::milliseconds(1000 + count);
}

MMRESULT mmResultFor(int alsaError);

MMRESULT openRawMidiInput(const RawMidiAddress& address, InputStream& stream,
                          std::unique_ptr<DriverInput>& port);
MMRESULT openRawMidiOutput(const RawMidiAddress& address, std::unique_ptr<DriverOutput>& port);
MMRESULT openSeqInput(const SeqAddress& source, InputStream& stream,
                      std::unique_ptr<DriverInput>& port);
// paced: the destination is a card's port, behind the kernel's
// sequencer-to-MIDI bridge (see cardBridgePacer()).
MMRESULT openSeqOutput(const SeqAddress& destination, bool paced,
                       std::unique_ptr<DriverOutput>& port);

// The bridge from the sequencer to a card's rawmidi device copies each event
// into the device's 4 KiB buffer and drops it, without telling the sender,
// when it does not fit. Events are therefore never sent further ahead of the
// wire than the buffer holds (less room for the short answers the reply
// dispatcher may send in between), at MIDI's own 3,125 bytes per second, the
// slowest rate a MIDI device takes bytes at.
inline WirePacer cardBridgePacer() { return WirePacer(4096 - 512, 3125.0); }

// Sends one message from `sourcePort` of `seq` to that port's subscribers: a
// SysEx message (F0 first) in pieces of at most kSeqSysExChunk bytes, anything
// else as the short messages the coder makes of it. Each event waits for the
// pacer (when given), and is retried while the sequencer's pools are full,
// until `deadline`. Every alsa-lib result is checked; 0 or a negative errno.
int sendSeqMessage(snd_seq_t* seq, int sourcePort, const std::uint8_t* bytes, std::size_t count,
                   std::chrono::steady_clock::time_point deadline, WirePacer* pacer = nullptr);

// Calls onEvent for every event waiting on `seq` (non-blocking handle), after
// waiting at most timeoutMs for the first. Returns false when the handle
// failed for good; an input overrun (events lost) is reported through
// onOverrun.
bool drainSeqInput(snd_seq_t* seq, int timeoutMs,
                   const std::function<void(const snd_seq_event_t&)>& onEvent,
                   const std::function<void()>& onOverrun);

}  // namespace ql5::mm::alsa
