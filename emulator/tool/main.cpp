// ql5-emulator: the virtual QL-5 as a program of its own, for trying the
// updater without hardware. It answers over two file paths (FIFOs it makes
// when missing, or device nodes), on one rawmidi node (the device side of a
// USB gadget's MIDI function), or as an ALSA sequencer client whose ports
// are named like the unit's, and prints one line per message it receives or
// sends.
//
// Commands on standard input, one per line: plug, unplug, identity (send an
// identity request), cmd NN (send maker command NN, hex), raw HEX... (send
// bytes), longerror, stamps, quit.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "emulator/virtual_unit.hpp"
#include "rawmidi_link.hpp"
#include "stream_link.hpp"
#if QL5_EMULATOR_TOOL_ALSA
#include "alsa_link.hpp"
#endif

namespace {

using namespace ql5::emulator;

std::atomic<bool> gStop{false};

void onSignal(int) { gStop.store(true); }

void usage(std::FILE* to) {
    std::fprintf(
        to,
        "usage: ql5-emulator --stream FROM_HOST TO_HOST [options]\n"
        "       ql5-emulator --rawmidi NODE|CARD_ID [options]\n"
#if QL5_EMULATOR_TOOL_ALSA
        "       ql5-emulator --alsa [options]\n"
#endif
        "\n"
        "  --stream FROM_HOST TO_HOST  read requests from FROM_HOST, answer into TO_HOST\n"
        "                              (FIFOs are made when missing and removed while unplugged;\n"
        "                              for the updater: QL5_RAW_MIDI=\"NAME:TO_HOST:FROM_HOST\")\n"
        "  --rawmidi NODE|CARD_ID      serve one rawmidi node (64 KiB kernel buffers), or the\n"
        "                              first of the card with that id; opened again when it\n"
        "                              comes back after going away (a gadget unbound)\n"
#if QL5_EMULATOR_TOOL_ALSA
        "  --alsa                      appear as an ALSA sequencer client with two ports\n"
#endif
        "  --name NAME                 port name (default \"Tarvik QL-5 MIDI 1\")\n"
        "  --fault SCRIPT              scripted faults, e.g. \"write#3:drop; read#*:badcrc\"\n"
        "  --system/--preset/--boot STAMP   version stamps on the unit (1.10, 1.00, 0.90)\n"
        "  --identity HEX8             identity bytes (default 6E001000)\n"
        "  --normal-mode               not in firmware update mode (begin-update gets 11)\n"
        "  --unplug-after-finish MS    ports vanish MS after the finish reply (default 1500)\n"
        "  --replug-after MS           and come back after MS (default 0: on 'plug')\n"
        "  --realistic                 model link rate, erase and program times\n"
        "  --trace                     print every byte of every message\n"
        "  --quiet                     print no message lines\n");
}

std::optional<std::vector<std::uint8_t>> parseHex(std::string_view text) {
    std::vector<std::uint8_t> out;
    int nibbles = 0;
    std::uint8_t cur = 0;
    for (char c : text) {
        int v = -1;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c == ' ' || c == '\t' || c == ',')
            continue;
        else
            return std::nullopt;
        cur = static_cast<std::uint8_t>((cur << 4) | v);
        if (++nibbles == 2) {
            out.push_back(cur);
            nibbles = 0;
            cur = 0;
        }
    }
    if (nibbles != 0) return std::nullopt;
    return out;
}

bool parseMs(const char* text, std::uint32_t& out) {
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v > 3600000UL) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    UnitConfig cfg;
    cfg.unplugAfterFinishMs = 1500;
    cfg.transcriptBytesPerEntry = 64;  // the program prints; it need not keep whole blocks
    std::string fromHost, toHost, rawNode;
    bool useAlsa = false;
    bool trace = false;
    bool quiet = false;
    std::string faultText;

    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ql5-emulator: %s needs %s\n", a.c_str(), what);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--stream") {
            fromHost = value("two paths");
            toHost = value("two paths");
        } else if (a == "--rawmidi") {
            rawNode = value("a node or a card id");
        } else if (a == "--alsa") {
            useAlsa = true;
        } else if (a == "--name") {
            cfg.inputName = cfg.outputName = value("a name");
        } else if (a == "--fault") {
            faultText = value("a script");
        } else if (a == "--system") {
            cfg.systemStamp = value("a stamp");
        } else if (a == "--preset") {
            cfg.presetStamp = value("a stamp");
        } else if (a == "--boot") {
            cfg.bootStamp = value("a stamp");
        } else if (a == "--identity") {
            const auto id = parseHex(value("8 hex digits"));
            if (!id || id->size() != 4) {
                std::fprintf(stderr, "ql5-emulator: --identity needs 8 hex digits\n");
                return 2;
            }
            std::copy(id->begin(), id->end(), cfg.identity.begin());
        } else if (a == "--normal-mode") {
            cfg.updateMode = false;
        } else if (a == "--unplug-after-finish") {
            if (!parseMs(value("milliseconds"), cfg.unplugAfterFinishMs)) {
                std::fprintf(stderr, "ql5-emulator: bad milliseconds for %s\n", a.c_str());
                return 2;
            }
        } else if (a == "--replug-after") {
            if (!parseMs(value("milliseconds"), cfg.replugAfterMs)) {
                std::fprintf(stderr, "ql5-emulator: bad milliseconds for %s\n", a.c_str());
                return 2;
            }
        } else if (a == "--realistic") {
            cfg.timing = TimingProfile::realistic();
        } else if (a == "--trace") {
            trace = true;
        } else if (a == "--quiet") {
            quiet = true;
        } else {
            std::fprintf(stderr, "ql5-emulator: unknown option %s\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (int(useAlsa) + int(!fromHost.empty()) + int(!rawNode.empty()) != 1) {
        std::fprintf(stderr, "ql5-emulator: give exactly one of --stream, --rawmidi or --alsa\n");
        usage(stderr);
        return 2;
    }
#if !QL5_EMULATOR_TOOL_ALSA
    if (useAlsa) {
        std::fprintf(stderr, "ql5-emulator: built without ALSA\n");
        return 2;
    }
#endif
    if (!faultText.empty()) {
        std::string error;
        const auto script = parseFaultScript(faultText, &error);
        if (!script) {
            std::fprintf(stderr, "ql5-emulator: --fault: %s\n", error.c_str());
            std::fprintf(stderr, "  %s\n", faultText.c_str());
            return 2;
        }
        cfg.faults = *script;
    }

    std::shared_ptr<UnitLink> link;
    std::function<std::string()> describe;
    std::function<bool()> failed;
    if (!rawNode.empty()) {
        auto raw = std::make_shared<tool::RawMidiLink>(
            [rawNode] { return tool::resolveRawMidiNode(rawNode); });
        link = raw;
        describe = [raw, rawNode] {
            return "rawmidi " + tool::resolveRawMidiNode(rawNode) + ", kernel buffers " +
                   std::to_string(raw->kernelBuffer()) + " bytes";
        };
        failed = [raw] {
            if (raw->connected()) return false;
            std::fprintf(stderr, "ql5-emulator: %s\n", raw->error().c_str());
            return true;
        };
    } else if (!useAlsa) {
        auto stream = std::make_shared<tool::StreamLink>(fromHost, toHost);
        link = stream;
        describe = [fromHost, toHost] {
            return "reading " + fromHost + ", answering into " + toHost;
        };
        failed = [stream] {
            const std::string e = stream->error();
            if (!e.empty()) std::fprintf(stderr, "ql5-emulator: %s\n", e.c_str());
            return !e.empty();
        };
    }
#if QL5_EMULATOR_TOOL_ALSA
    else {
        auto alsa = std::make_shared<tool::AlsaLink>("Tarvik QL-5", cfg.inputName, cfg.outputName);
        link = alsa;
        describe = [alsa] { return "ALSA sequencer client, " + alsa->describe(); };
        failed = [alsa] {
            if (alsa->failed())
                std::fprintf(stderr, "ql5-emulator: cannot open the ALSA sequencer\n");
            return alsa->failed();
        };
    }
#endif

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    std::mutex printMutex;
    const auto print = [&printMutex](const std::string& line) {
        std::lock_guard lock(printMutex);
        std::fputs(line.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };

    cfg.plugOnStart = false;
    VirtualUnit unit(cfg, link);
    const auto origin = unit.transcript().origin();
    if (!quiet) {
        unit.transcript().setListener([&, origin](const TranscriptEntry& e) {
            print(Transcript::format(e, origin, trace ? 0 : 24));
        });
    }
    unit.plug();
    if (failed()) return 1;
    const Stamps st = unit.stamps();
    print("ql5-emulator: " + cfg.inputName + ", " + describe());
    print("  SYSTEM " + st.system + ", PRESET " + st.preset + ", BOOT " + st.boot +
          (cfg.updateMode ? ", firmware update mode" : ", normal mode") +
          (faultText.empty() ? "" : ", faults: " + formatFaultScript(cfg.faults)));

    bool stdinOpen = true;
    std::string pending;
    while (!gStop.load()) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        const int r = stdinOpen ? ::poll(&p, 1, 100) : (::usleep(100000), 0);
        if (r <= 0) continue;
        char buf[512];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            stdinOpen = false;  // no more commands; run until a signal
            continue;
        }
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            std::istringstream line(pending.substr(0, nl));
            pending.erase(0, nl + 1);
            std::string cmd;
            line >> cmd;
            std::string rest;
            std::getline(line, rest);
            if (cmd.empty()) continue;
            if (cmd == "quit" || cmd == "exit") {
                gStop.store(true);
            } else if (cmd == "plug") {
                unit.plug();
            } else if (cmd == "unplug") {
                unit.unplug();
            } else if (cmd == "identity") {
                unit.sendIdentityRequest();
            } else if (cmd == "cmd") {
                const auto b = parseHex(rest);
                if (b && b->size() == 1 && (*b)[0] < 0x80) {
                    unit.sendMakerCommand((*b)[0]);
                } else {
                    print("cmd needs one hex byte below 80");
                }
            } else if (cmd == "raw") {
                const auto b = parseHex(rest);
                if (b && !b->empty()) {
                    unit.sendRaw(*b);
                } else {
                    print("raw needs hex bytes");
                }
            } else if (cmd == "longerror") {
                unit.sendLongError();
            } else if (cmd == "stamps") {
                const Stamps s = unit.stamps();
                print("SYSTEM " + s.system + ", PRESET " + s.preset + ", BOOT " + s.boot);
            } else {
                print(
                    "commands: plug, unplug, identity, cmd NN, raw HEX..., longerror, stamps, "
                    "quit");
            }
        }
    }
    return 0;
}
