#include "cli/run.hpp"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "cli/all_units.hpp"
#include "cli/interrupt.hpp"
#include "cli/options.hpp"
#include "cli/ports.hpp"
#include "cli/terminal.hpp"
#include "cli/terminal_window.hpp"
#include "emulator/virtual_unit.hpp"
#include "engine/engine.hpp"
#include "engine/image_check.hpp"
#include "engine/images.hpp"
#include "json.hpp"
#include "midi/port_names.hpp"
#if defined(QL5_HAVE_RAW_STREAM)
#include "platform/mm/raw_stream_driver.hpp"
#endif
#include "platform/mm/driver.hpp"
#include "platform/mm/port_pairing.hpp"

namespace ql5::cli {

namespace {

constexpr std::uint32_t kFlashBytes = engine::kFlashSize;

std::vector<std::string> portAddresses(bool input, std::size_t count) {
    std::vector<std::string> addresses;
    for (std::size_t i = 0; i < count; ++i) {
        const auto index = static_cast<std::uint32_t>(i);
        addresses.push_back(input ? mm::inputDeviceAddress(index) : mm::outputDeviceAddress(index));
    }
    return addresses;
}

// Names are cut to 31 characters; the address, where the platform has one,
// tells apart two ports whose names differ only after that.
void listPortsOf(std::FILE* out, const std::vector<std::string>& names,
                 const std::vector<std::string>& addresses) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        const char mark = midi::matchPortName(names[i].c_str()) ? '*' : ' ';
        if (addresses[i].empty()) {
            std::fprintf(out, "  %c %2zu  %s\n", mark, i, names[i].c_str());
        } else {
            std::fprintf(out, "  %c %2zu  %-31s  %s\n", mark, i, names[i].c_str(),
                         addresses[i].c_str());
        }
    }
}

// Why no MIDI port at all was found, as far as this machine can tell. A bad
// QL5_RAW_MIDI is said on standard error when the ports are first listed;
// withRawSetting repeats it (for the JSON document).
std::vector<std::string> noPortReasons(bool withRawSetting) {
    std::vector<std::string> why;
#if defined(QL5_HAVE_RAW_STREAM)
    if (std::string raw = mm::rawStreamEnvironmentProblem(); withRawSetting && !raw.empty()) {
        why.push_back(std::move(raw));
    }
#else
    (void)withRawSetting;
#endif
#if defined(QL5_HAVE_ALSA)
    struct stat node {};
    if (::stat("/dev/snd/seq", &node) != 0) {
        why.emplace_back(
            "this machine has no ALSA sequencer (/dev/snd/seq is missing; the snd-seq kernel "
            "module is not loaded, or this is a container without sound devices)");
    } else if (::access("/dev/snd/seq", R_OK | W_OK) != 0) {
        why.emplace_back(
            "the ALSA sequencer /dev/snd/seq cannot be opened by this user (not in the audio "
            "group?)");
    } else {
        why.emplace_back("no MIDI device was found: is the unit connected and switched on?");
    }
#else
    why.emplace_back("no MIDI device was found: is the unit connected and switched on?");
#endif
    return why;
}

void printPortsJson(std::FILE* out, const char* key, const std::vector<std::string>& names,
                    const std::vector<std::string>& addresses) {
    std::fprintf(out, "  %s: [", jsonString(key).c_str());
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::fprintf(out, "%s\n    {\"index\": %zu, \"name\": %s, \"address\": %s, \"unit\": %s}",
                     i == 0 ? "" : ",", i, jsonString(names[i]).c_str(),
                     addresses[i].empty() ? "null" : jsonString(addresses[i]).c_str(),
                     midi::matchPortName(names[i].c_str()) ? "true" : "false");
    }
    std::fprintf(out, "%s]", names.empty() ? "" : "\n  ");
}

int listPorts(std::FILE* out, std::FILE* err, bool json) {
    const std::vector<std::string> ins = midi::inputPortNames();
    const std::vector<std::string> outs = midi::outputPortNames();
    const std::vector<std::string> why =
        ins.empty() && outs.empty() ? noPortReasons(json) : std::vector<std::string>{};
    if (json) {
        std::fprintf(out, "{\n");
        printPortsJson(out, "inputs", ins, portAddresses(true, ins.size()));
        std::fprintf(out, ",\n");
        printPortsJson(out, "outputs", outs, portAddresses(false, outs.size()));
        std::fprintf(out, ",\n  \"problems\": [");
        for (std::size_t i = 0; i < why.size(); ++i) {
            std::fprintf(out, "%s%s", i == 0 ? "" : ", ", jsonString(why[i]).c_str());
        }
        std::fprintf(out, "]\n}\n");
        return kExitOk;
    }
    if (!why.empty()) {
        for (const std::string& w : why) {
            std::fprintf(err, "ql5: no MIDI ports: %s\n", w.c_str());
        }
        return kExitOk;
    }
    std::fprintf(out, "MIDI inputs:\n");
    listPortsOf(out, ins, portAddresses(true, ins.size()));
    std::fprintf(out, "MIDI outputs:\n");
    listPortsOf(out, outs, portAddresses(false, outs.size()));
    // The pairs as the drivers tell them (what --all updates), and the unit
    // ports no driver could pair.
    const mm::Pairing pairing = mm::pairPorts(mm::listPorts(true), mm::listPorts(false));
    std::fprintf(out, "Devices (input + output):\n");
    for (const mm::PortPair& p : pairing.pairs) {
        const bool unit =
            midi::matchPortName(p.input.name.c_str()) && midi::matchPortName(p.output.name.c_str());
        std::fprintf(out, "  %c in %2u + out %2u  %s\n", unit ? '*' : ' ', p.input.index,
                     p.output.index, p.input.name.c_str());
    }
    for (const auto* side : {&pairing.unpairedIn, &pairing.unpairedOut}) {
        for (const mm::PortInfo& p : *side) {
            if (midi::matchPortName(p.name.c_str())) {
                std::fprintf(out, "  ! %s %2u  %s: cannot be paired\n",
                             side == &pairing.unpairedIn ? "in " : "out", p.index, p.name.c_str());
            }
        }
    }
    return kExitOk;
}

// The versions as one JSON document: for each stamp the unit's (null when
// it could not be read), the carried one, whether they differ, and whether
// an update would change the unit's (BOOT is never written by an update).
void printVersionsJson(std::FILE* out, const engine::UpdateState& st) {
    struct Row {
        const char* key;
        const std::string& unit;
        std::uint32_t image;
        std::uint32_t offset;
    };
    const Row rows[] = {
        {"system", st.deviceVersions.system, engine::kImageSystem, engine::kStampSystemOffset},
        {"preset", st.deviceVersions.preset, engine::kImagePreset, engine::kStampPresetOffset},
        {"boot", st.deviceVersions.boot, engine::kImageBoot, engine::kStampBootOffset},
    };
    std::fprintf(out, "{\n");
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& r = rows[i];
        char carried[5] = {};
        (void)engine::readResourceBytes(r.image, r.offset, 4, carried);
        engine::sanitizeVersionText(carried);
        bool written = false;
        for (const engine::FlashPlanRow& row : engine::FlashPlan) {
            written =
                written || (row.operation == engine::kOperationWrite && row.resourceId == r.image);
        }
        // A stamp that could not be read leaves both answers unknown.
        const bool known = !r.unit.empty();
        const bool differs = r.unit != carried;
        const char* changes = !written ? "false" : !known ? "null" : differs ? "true" : "false";
        std::fprintf(out,
                     "  \"%s\": {\"unit\": %s, \"carried\": %s, \"differs\": %s, "
                     "\"update_changes\": %s}%s\n",
                     r.key, known ? jsonString(r.unit).c_str() : "null",
                     jsonString(carried).c_str(),
                     !known    ? "null"
                     : differs ? "true"
                               : "false",
                     changes, i + 1 < std::size(rows) ? "," : "");
    }
    std::fprintf(out, "}\n");
}

// Writes one line per SysEx message: seconds since start, direction, bytes.
class TraceFile {
  public:
    explicit TraceFile(const std::string& path) : file_(std::fopen(path.c_str(), "w")) {}
    ~TraceFile() {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }
    bool ok() const { return file_ != nullptr; }
    void write(bool outgoing, const std::uint8_t* bytes, std::size_t n) {
        const double t =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        std::lock_guard<std::mutex> lock(mutex_);
        std::fprintf(file_, "%12.6f %s", t, outgoing ? "->" : "<-");
        for (std::size_t i = 0; i < n; ++i) {
            std::fprintf(file_, " %02X", bytes[i]);
        }
        std::fputc('\n', file_);
    }

  private:
    std::FILE* file_;
    std::mutex mutex_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

bool loadFlash(emulator::VirtualUnit& unit, const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        return true;  // first run: the unit as it comes
    }
    std::vector<std::uint8_t> bytes(kFlashBytes);
    f.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return f.gcount() == static_cast<std::streamsize>(bytes.size()) && unit.pokeFlash(0, bytes);
}

bool saveFlash(const emulator::VirtualUnit& unit, const std::string& path) {
    const std::vector<std::uint8_t> bytes = unit.readFlash(0, kFlashBytes);
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

bool portPresent(const std::vector<std::string>& names, const std::string& name) {
    for (const std::string& n : names) {
        if (n == name) {
            return true;
        }
    }
    return false;
}

// Runs the worker on its own thread while this thread waits for it, or for
// the user's interrupt. True when interrupted.
// Whether the run was interrupted; nothing when the worker's thread could not
// be started.
std::optional<bool> runWorker(engine::UpdateState& st,
                              const std::function<void(engine::UpdateState&)>& worker) {
    std::atomic<bool> done{false};
    std::thread t;
    try {
        t = std::thread([&] {
            worker(st);
            done.store(true);
        });
    } catch (const std::system_error&) {
        return std::nullopt;
    }
    bool interrupted = false;
    while (!done.load()) {
        if (waitForInterrupt(50)) {
            // As closing the window: ports closed, a waiting worker released
            // quietly with 255.
            engine::abortForClose(st);
            interrupted = true;
            break;
        }
    }
    t.join();
    return interrupted;
}

// ql5 verify on the worker thread: identify the unit, then read back every
// region the update writes. result: 0 read, -1 not (identification or a
// read failed, or interrupted).
void verifyWorker(engine::UpdateState& st, std::vector<engine::ImageVerdict>& verdicts,
                  int& result) {
    result = -1;
    if (engine::identifyDevice(st) != 0) {
        return;
    }
    engine::stampModelId(st);
    result = engine::verifyUnitFlash(st, verdicts);
}

// The verdicts, one line per image and a summary; the exit code.
int reportVerdicts(const std::vector<engine::ImageVerdict>& verdicts, int result, std::FILE* out,
                   std::FILE* err) {
    int differing = 0;
    for (const engine::ImageVerdict& v : verdicts) {
        std::fprintf(out, "image %" PRIu32 " at 0x%06" PRIX32 " (%d bytes): ", v.imageId, v.address,
                     v.length);
        if (v.state == 0) {
            std::fprintf(out, "equal\n");
        } else if (v.state == 1) {
            ++differing;
            std::fprintf(out, "differs, first at 0x%06" PRIX32 ", %lld %s\n", v.firstDifference,
                         static_cast<long long>(v.differingBytes),
                         v.differingBytes == 1 ? "byte differs" : "bytes differ");
        } else {
            std::fprintf(out, "could not be read\n");
        }
    }
    if (result != 0) {
        std::fprintf(err,
                     "ql5: the unit's flash could not be read; nothing was compared past "
                     "the last image listed\n");
        return kExitTransferError;
    }
    if (differing != 0) {
        std::fprintf(out, "%d of %zu images differ from the carried firmware\n", differing,
                     verdicts.size());
        return kExitMismatch;
    }
    std::fprintf(out, "all %zu images equal the carried firmware\n", verdicts.size());
    return kExitOk;
}

int runUnitCommand(const Options& o, std::FILE* out, std::FILE* err) {
    const bool update = o.command == Command::Update;
    const bool verify = o.command == Command::Verify;
    if (update || verify) {
        // Checked before anything is sent: a damaged program must not write
        // damaged firmware into a unit.
        if (const std::uint32_t bad = engine::firstDamagedImage(); bad != 0) {
            std::fprintf(err,
                         "ql5: firmware image %u does not match the SHA-256 recorded when it was "
                         "built; refusing to %s (nothing was sent)\n",
                         bad, update ? "update" : "compare with it");
            return kExitImageCheck;
        }
    }

    std::unique_ptr<emulator::VirtualUnit> unit;
    if (o.virtualUnit) {
        emulator::UnitConfig cfg;
        cfg.unplugAfterFinishMs = 300;
        if (!o.faults.empty()) {
            std::string error;
            auto script = emulator::parseFaultScript(o.faults, &error);
            if (!script) {
                std::fprintf(err, "ql5: --fault: %s\n", error.c_str());
                return kExitUsage;
            }
            cfg.faults = *script;
        }
        unit = std::make_unique<emulator::VirtualUnit>(cfg);
        if (!o.virtualFlash.empty() && !loadFlash(*unit, o.virtualFlash)) {
            std::fprintf(err, "ql5: cannot load the virtual unit's flash from %s\n",
                         o.virtualFlash.c_str());
            return kExitUsage;
        }
    }

    const std::vector<std::string> inNames = midi::inputPortNames();
    const std::vector<std::string> outNames = midi::outputPortNames();
    const PortChoice in = choosePort(inNames, portAddresses(true, inNames.size()), o.in, "input");
    const PortChoice outPort =
        choosePort(outNames, portAddresses(false, outNames.size()), o.out, "output");
    for (const PortChoice* c : {&outPort, &in}) {
        if (c->index < 0) {
            std::fprintf(err, "ql5: %s\n", c->error.c_str());
            return kExitNoUnit;
        }
    }

    engine::UpdateState st;
    st.verifyAll = o.verify;
    // Read once, before any worker runs; nothing in the program sets it.
    const char* t = std::getenv("QL5_TIMING");  // NOLINT(concurrency-mt-unsafe)
    if (t != nullptr && std::strcmp(t, "test") == 0) {
        st.timing = sync::Timing::forTests();
    }
    st.midiOut.setDoneBoundMs(st.timing.sendDoneBoundMs);
    TerminalWindow window(st, out, err, openTerminal(err), [&] {
        return portPresent(midi::inputPortNames(), in.name) &&
               portPresent(midi::outputPortNames(), outPort.name);
    });
    st.window = &window;
    std::unique_ptr<TraceFile> trace;
    if (!o.trace.empty()) {
        trace = std::make_unique<TraceFile>(o.trace);
        if (!trace->ok()) {
            std::fprintf(err, "ql5: cannot write the trace to %s\n", o.trace.c_str());
            return kExitUsage;
        }
        st.trace = [&trace](bool outgoing, const std::uint8_t* b, std::size_t n) {
            trace->write(outgoing, b, n);
        };
    }
    std::fprintf(err, "MIDI in:  %d \"%s\"\nMIDI out: %d \"%s\"\n", in.index, in.name.c_str(),
                 outPort.index, outPort.name.c_str());

    // Opened as the window opens them: output first.
    if (st.midiOut.Open(outPort.index) != 1) {
        window.showError(engine::IDS_CANT_OPEN_OUT);
        return kExitCannotOpen;
    }
    st.midiIn.deviceIndex = in.index;
    if (st.midiIn.Open() != 1) {
        window.showError(engine::IDS_CANT_OPEN_IN);
        return kExitCannotOpen;
    }
    st.busy.store(1);
    st.replyEvent.reset();
    // Without the dispatcher's timer no reply would reach the worker, and
    // without the worker nothing would be sent: either is a transfer error
    // before anything was sent, not a crash or a wait for nothing.
    std::vector<engine::ImageVerdict> verdicts;
    int verifyResult = -1;
    std::optional<bool> interrupted;
    if (engine::startDispatcher(st) != 0) {
        interrupted = runWorker(
            st, update   ? std::function<void(engine::UpdateState&)>(engine::updateWorker)
                : verify ? [&](engine::UpdateState& s) { verifyWorker(s, verdicts, verifyResult); }
                         : std::function<void(engine::UpdateState&)>(engine::versionCheckWorker));
    }
    int code = kExitOk;
    if (!interrupted.has_value()) {
        window.showError(engine::IDS_TRANSFER_ERROR);
        code = kExitTransferError;
    } else if (*interrupted) {
        // Below the bar (and the terminal's ^C), not after them.
        window.endProgress();
        const std::string step = window.step();
        if (!update) {
            std::fprintf(err, "ql5: interrupted; the unit was not changed\n");
        } else if (step.empty() || step.rfind("0/", 0) == 0) {
            std::fprintf(err, "ql5: interrupted before the unit's flash was changed\n");
        } else {
            std::fprintf(err,
                         "ql5: interrupted at step %s (%s). The update is incomplete: run a full "
                         "update before using the unit.\n",
                         step.c_str(), window.status().c_str());
        }
        code = kExitInterrupted;
    } else if (verify) {
        window.endProgress();
        code = window.lastError() != 0 ? exitCodeForError(window.lastError())
                                       : reportVerdicts(verdicts, verifyResult, out, err);
    } else if (update) {
        code = window.completed()        ? kExitOk
               : window.lastError() != 0 ? exitCodeForError(window.lastError())
                                         : kExitTransferError;
    } else {
        const std::optional<int> result = window.waitVersionCheckDone(std::chrono::seconds(1));
        if (result.has_value() && o.json) {
            if (*result == 0) {
                printVersionsJson(out, st);
            }
            window.restoreControls();
        } else if (result.has_value()) {
            engine::onVersionCheckDone(st, *result);
        }
        code = result == 0               ? kExitOk
               : window.lastError() != 0 ? exitCodeForError(window.lastError())
                                         : kExitTransferError;
        if (code == kExitTransferError && window.lastError() == 0) {
            std::fprintf(err, "ql5: the unit's versions could not be read\n");
        }
    }
    st.timer.Stop();
    st.midiOut.Close();
    st.midiIn.Close();
    if (unit && !o.virtualFlash.empty() && !saveFlash(*unit, o.virtualFlash)) {
        std::fprintf(err, "ql5: cannot save the virtual unit's flash to %s\n",
                     o.virtualFlash.c_str());
    }
    return code;
}

}  // namespace

int run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    std::string error;
    const std::optional<Options> o = parseOptions(args, error);
    if (!o) {
        std::fprintf(err, "ql5: %s (see ql5 --help)\n", error.c_str());
        return kExitUsage;
    }
    switch (o->command) {
        case Command::Help:
            std::fputs(helpText(), out);
            return kExitOk;
        case Command::ShowVersion:
            std::fprintf(out, "ql5 1.20 (Tarvik QL-5 System v1.20 Updater)\n");
            return kExitOk;
        case Command::Ports: {
            std::unique_ptr<emulator::VirtualUnit> unit;
            if (o->virtualUnit) {
                unit = std::make_unique<emulator::VirtualUnit>();
            }
            return listPorts(out, err, o->json);
        }
        default:
            break;
    }
    // The interrupt is taken by the waiting thread, never by a worker, timer
    // or driver thread: block it here, before any of them starts.
    holdInterrupts();
    const int code = o->all ? runAllUnits(*o, out, err) : runUnitCommand(*o, out, err);
    releaseInterrupts();
    return code;
}

}  // namespace ql5::cli
