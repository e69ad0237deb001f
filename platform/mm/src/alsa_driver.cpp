#include "platform/mm/alsa_driver.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "alsa_ports.hpp"
#include "platform/mm/alsa_port_rules.hpp"

namespace ql5::mm {
namespace alsa {
namespace {

// Names from the sequencer are at most 64 bytes; this only keeps a broken
// client's name from growing without limit.
constexpr std::size_t kMaxName = kMaxPortName;

using Direction = PortDirection;

struct SeqPort {
    SeqAddress address;
    int card = -1;
    std::string name;
};

std::string boundedName(const char* text) {
    if (text == nullptr) return {};
    return std::string(text, ::strnlen(text, kMaxName));
}

// The ports in (client, port) order, which is the order the sequencer gives
// them in. Our own clients list nothing: their ports are not exported.
std::vector<SeqPort> listPorts(snd_seq_t* seq, Direction direction) {
    std::vector<SeqPort> ports;
    snd_seq_client_info_t* client = nullptr;
    snd_seq_port_info_t* port = nullptr;
    if (snd_seq_client_info_malloc(&client) < 0) return ports;
    if (snd_seq_port_info_malloc(&port) < 0) {
        snd_seq_client_info_free(client);
        return ports;
    }
    const int self = snd_seq_client_id(seq);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq, client) >= 0) {
        const int clientId = snd_seq_client_info_get_client(client);
        if (clientId == SND_SEQ_CLIENT_SYSTEM || clientId == self) continue;
        const std::string clientName = boundedName(snd_seq_client_info_get_name(client));
        const int card = snd_seq_client_info_get_card(client);
        snd_seq_port_info_set_client(port, clientId);
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(seq, port) >= 0) {
            if (!listablePort(snd_seq_port_info_get_capability(port),
                              snd_seq_port_info_get_type(port), direction)) {
                continue;
            }
            SeqPort entry;
            entry.address.client = clientId;
            entry.address.port = snd_seq_port_info_get_port(port);
            entry.card = card;
            entry.name = portDisplayName(clientName, boundedName(snd_seq_port_info_get_name(port)));
            ports.push_back(std::move(entry));
        }
    }
    snd_seq_port_info_free(port);
    snd_seq_client_info_free(client);
    return ports;
}

// The rawmidi substream behind a card's sequencer port. The numbering rule
// above is checked against the card: the substream must exist for the
// stream we want, and its name (or its device's) must be the port's, since a
// card can also carry sequencer ports that are no rawmidi substream (a
// synthesiser's, say). False when it does not hold: the port then goes
// through the sequencer.
bool rawMidiFor(const SeqPort& port, Direction direction, RawMidiAddress& out,
                const std::string& seqPortName) {
    if (port.card < 0) return false;
    const RawMidiSlot slot = rawMidiSlotFor(port.address.port);
    if (slot.device < 0) return false;
    const int device = slot.device;
    const int subdevice = slot.subdevice;
    char name[32];
    std::snprintf(name, sizeof name, "hw:%d", port.card);
    snd_ctl_t* control = nullptr;
    if (snd_ctl_open(&control, name, SND_CTL_NONBLOCK) < 0) return false;
    snd_rawmidi_info_t* info = nullptr;
    bool found = false;
    if (snd_rawmidi_info_malloc(&info) >= 0) {
        snd_rawmidi_info_set_device(info, static_cast<unsigned int>(device));
        snd_rawmidi_info_set_subdevice(info, subdevice);
        // Rawmidi names its streams from the host's side, as the port lists do.
        snd_rawmidi_info_set_stream(info, direction == Direction::Input
                                              ? SND_RAWMIDI_STREAM_INPUT
                                              : SND_RAWMIDI_STREAM_OUTPUT);
        if (snd_ctl_rawmidi_info(control, info) >= 0 &&
            static_cast<int>(snd_rawmidi_info_get_subdevices_count(info)) > subdevice) {
            const std::string subName = boundedName(snd_rawmidi_info_get_subdevice_name(info));
            const std::string devName = boundedName(snd_rawmidi_info_get_name(info));
            found = rawMidiNamesMatch(seqPortName, subName, devName);
        }
        snd_rawmidi_info_free(info);
    }
    snd_ctl_close(control);
    if (found) out = RawMidiAddress{port.card, device, subdevice};
    return found;
}

// What the user is told, once per device and program run, when a card's
// rawmidi device is held by another program and the output goes through the
// sequencer instead: its bridge to the card drops what does not fit, so the
// bytes are paced to a MIDI cable's rate whatever the card is (a USB card
// could take them far faster). A whole update then takes hours rather than
// minutes; closing the other program is the remedy.
std::string heldCardNotice(const std::string& portName, const RawMidiAddress& raw) {
    const WirePacer pacer = cardBridgePacer();
    char text[512];
    std::snprintf(text, sizeof text,
                  "%s: the card's MIDI device hw:%d,%d,%d is held by another program, so the "
                  "bytes go through the ALSA sequencer, paced to a MIDI cable's %.0f bytes/s "
                  "(a whole update takes about 95 minutes instead of a few). Close the program "
                  "that holds it (fuser -v /dev/snd/midiC%dD%d names it) and start again.",
                  portName.c_str(), raw.card, raw.device, raw.subdevice, pacer.rate(), raw.card,
                  raw.device);
    return text;
}

void tellHeldCardOnce(const std::string& portName, const RawMidiAddress& raw) {
    static std::mutex mutex;
    static std::vector<std::string> told;
    const std::string key = std::to_string(raw.card) + "," + std::to_string(raw.device) + "," +
                            std::to_string(raw.subdevice);
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& k : told) {
            if (k == key) return;
        }
        told.push_back(key);
    }
    std::fprintf(stderr, "%s\n", heldCardNotice(portName, raw).c_str());
}

// "client:port", as aconnect and aplaymidi write a sequencer address.
std::string addressText(const SeqAddress& address) {
    return std::to_string(address.client) + ":" + std::to_string(address.port);
}

class AlsaDriver final : public Driver {
  public:
    explicit AlsaDriver(DriverOptions options) : options_(std::move(options)) {}
    ~AlsaDriver() override {
        if (seq_ != nullptr) snd_seq_close(seq_);
    }

    const char* name() const override { return "alsa"; }

    std::uint32_t inputCount() override {
        return static_cast<std::uint32_t>(ports(Direction::Input).size());
    }
    std::string inputName(std::uint32_t index) override {
        const auto list = ports(Direction::Input);
        return index < list.size() ? list[index].name : std::string();
    }
    std::uint32_t outputCount() override {
        return static_cast<std::uint32_t>(ports(Direction::Output).size());
    }
    std::string outputName(std::uint32_t index) override {
        const auto list = ports(Direction::Output);
        return index < list.size() ? list[index].name : std::string();
    }
    // One sequencer client is one device (a card's client, or a program's).
    std::string inputDevice(std::uint32_t index) override {
        const auto list = ports(Direction::Input);
        return index < list.size() ? "client " + std::to_string(list[index].address.client)
                                   : std::string();
    }
    std::string outputDevice(std::uint32_t index) override {
        const auto list = ports(Direction::Output);
        return index < list.size() ? "client " + std::to_string(list[index].address.client)
                                   : std::string();
    }

    std::string inputAddress(std::uint32_t index) override {
        const auto list = ports(Direction::Input);
        return index < list.size() ? addressText(list[index].address) : std::string();
    }
    std::string outputAddress(std::uint32_t index) override {
        const auto list = ports(Direction::Output);
        return index < list.size() ? addressText(list[index].address) : std::string();
    }

    MMRESULT openInput(std::uint32_t index, InputStream& stream,
                       std::unique_ptr<DriverInput>& port) override {
        SeqPort target;
        std::string seqName;
        if (!find(Direction::Input, index, target, seqName)) return MMSYSERR_BADDEVICEID;
        RawMidiAddress raw;
        if (rawMidiFor(target, Direction::Input, raw, seqName)) {
            const MMRESULT result = openRawMidiInput(raw, stream, port);
            // Busy: another program holds the substream (often through this
            // very port); the sequencer can still share it.
            if (result != MMSYSERR_ALLOCATED) return result;
        }
        return openSeqInput(target.address, stream, port);
    }

    MMRESULT openOutput(std::uint32_t index, std::unique_ptr<DriverOutput>& port) override {
        SeqPort target;
        std::string seqName;
        if (!find(Direction::Output, index, target, seqName)) return MMSYSERR_BADDEVICEID;
        RawMidiAddress raw;
        if (rawMidiFor(target, Direction::Output, raw, seqName)) {
            const MMRESULT result = openRawMidiOutput(raw, port);
            if (result != MMSYSERR_ALLOCATED) return result;
            tellHeldCardOnce(target.name, raw);
        }
        return openSeqOutput(target.address, target.card >= 0, port);
    }

  private:
    std::vector<SeqPort> ports(Direction direction) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ensureOpen()) return {};
        return listPorts(seq_, direction);
    }

    // The listed port at `index` and its sequencer port name (unjoined with
    // the client's, for matching against rawmidi names).
    bool find(Direction direction, std::uint32_t index, SeqPort& out, std::string& seqName) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ensureOpen()) return false;
        const auto list = listPorts(seq_, direction);
        if (index >= list.size()) return false;
        out = list[index];
        snd_seq_port_info_t* info = nullptr;
        if (snd_seq_port_info_malloc(&info) < 0) return false;
        const bool known =
            snd_seq_get_any_port_info(seq_, out.address.client, out.address.port, info) >= 0;
        if (known) seqName = boundedName(snd_seq_port_info_get_name(info));
        snd_seq_port_info_free(info);
        return known;
    }

    // Opened on first use and again after a failure, so a sequencer module
    // loaded later (or a permission granted) is picked up.
    bool ensureOpen() {
        if (seq_ != nullptr) return true;
        // alsa-lib reports a failed open on stderr, and the port lists are
        // asked for every 500 ms while the unit is being unplugged: try only
        // when the sequencer's device node is there for us.
        if (!options_.sequencerNode.empty() &&
            ::access(options_.sequencerNode.c_str(), R_OK | W_OK) != 0) {
            return false;
        }
        snd_seq_t* seq = nullptr;
        if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK) < 0) return false;
        if (snd_seq_set_client_name(seq, kClientName) < 0) {
            snd_seq_close(seq);
            return false;
        }
        seq_ = seq;
        return true;
    }

    const DriverOptions options_;
    std::mutex mutex_;
    snd_seq_t* seq_ = nullptr;
};

}  // namespace

std::shared_ptr<Driver> makeDriver(DriverOptions options) {
    return std::make_shared<AlsaDriver>(std::move(options));
}

}  // namespace alsa

std::shared_ptr<Driver> alsaDriver() {
    static const std::shared_ptr<Driver> instance = alsa::makeDriver({});
    return instance;
}

}  // namespace ql5::mm
