#pragma once
// A stand-in for sound cards' rawmidi devices behind alsa-lib's rawmidi and
// control calls, linked into a test program in place of the library's own
// functions, like fake_alsa_seq.hpp for the sequencer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ql5::test::fakeraw {

struct Substream {
    std::string name;
    bool input = true;   // the host can read from it
    bool output = true;  // the host can write to it
};

struct Address {
    int card = 0;
    int device = 0;
    int subdevice = 0;
};

void reset();
void addDevice(int card, int device, const std::string& name, std::vector<Substream> subdevices);
// Opens of this substream fail with EBUSY (another program holds it).
void setBusy(Address address, bool output, bool busy);
// Each write takes at most this many bytes (0: all).
void setWriteChunk(std::size_t bytes);
// Output ports opened from now on take no bytes at all (a device that stopped
// reading): writes fail with EAGAIN and poll never reports room.
void setStalled(bool stalled);
// Writes and reads fail with ENODEV (the card was unplugged).
void setGone(bool gone);

// Bytes the device receives; sizes of the output at each drain; bytes taken
// by each write (at most the output buffer's size, 4 KiB unless set).
std::vector<std::uint8_t> wire(Address address);
std::vector<std::size_t> drains(Address address);
std::vector<std::size_t> writes(Address address);
std::size_t outputBufferSize(Address address);
// Whether a substream is open, and the input buffer size set on it.
bool isOpen(Address address, bool output);
std::size_t inputBufferSize(Address address);

// The most an input buffer may be set to (the kernel may grant less than
// asked for).
void setInputBufferCap(std::size_t bytes);

// The device sends bytes to the host. As in the kernel, what does not fit
// the input buffer's free room is dropped and counted as an overrun.
void send(Address address, const std::vector<std::uint8_t>& bytes);

}  // namespace ql5::test::fakeraw
