#pragma once
// A stand-in for the kernel's sequencer behind alsa-lib's sequencer calls,
// linked into one test program in place of the library's own functions (the
// program's definitions take precedence over the shared library's). The rest
// of alsa-lib (the MIDI event coder, rawmidi, control) stays the real one.
//
// It knows a list of clients with their ports, records every event our
// clients send and every connection they make, lets a test deliver events to
// our clients' ports, and can refuse sends for a while.
#include <alsa/asoundlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ql5::test::fakeseq {

struct FakePort {
    int port = 0;
    std::string name;
    unsigned int capability = 0;
    unsigned int type = 0;
};

struct SentEvent {
    int sourceClient = -1;
    int sourcePort = -1;
    bool toSubscribers = false;
    bool direct = false;
    snd_seq_event_type_t type = SND_SEQ_EVENT_NONE;
    std::vector<std::uint8_t> data;  // SYSEX: the piece; other events: their raw data union
};

struct Connection {
    int ourClient = -1;
    int ourPort = -1;
    int otherClient = -1;
    int otherPort = -1;
    bool from = false;  // connect_from (we read from it) or connect_to (we write to it)
};

// Forgets everything; the next client made gets id 128.
void reset();
// A client that is already there, as a card's or another program's.
void addClient(int client, const std::string& name, int card, std::vector<FakePort> ports);
// Removes a client; our clients that read the system's announce port (0:1)
// get its SND_SEQ_EVENT_CLIENT_EXIT.
void removeClient(int client);
// Makes snd_seq_open fail with this error while non-zero.
void failOpen(int error);
// The next `count` sends fail with `error` (negative errno) before going
// through; a send that gives up leaves the rest of the count.
void failSends(int count, int error);

std::vector<SentEvent> sent();
std::vector<Connection> connections();
// Client ids of the clients our code made, in order.
std::vector<int> ourClients();
// The input pool a client asked for (0: none).
std::size_t inputPool(int client);
// The ports our code made on a client, with their capabilities and types.
std::vector<FakePort> portsOf(int client);

// Delivers an event to `client` as if `source` had sent it to `destPort`: a
// SYSEX piece, or a short message encoded by the test.
void deliverSysEx(int client, int destPort, int sourceClient, int sourcePort,
                  const std::vector<std::uint8_t>& piece);
void deliverEvent(int client, const snd_seq_event_t& event);
// The next snd_seq_event_input on `client` reports an overrun (-ENOSPC).
void deliverOverrun(int client);

}  // namespace ql5::test::fakeseq
