#include "cli/run.hpp"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/all_units.hpp"
#include "cli/interrupt.hpp"
#include "cli/options.hpp"
#include "cli/ports.hpp"
#include "cli/terminal_window.hpp"
#include "emulator/virtual_unit.hpp"
#include "engine/engine.hpp"
#include "engine/image_check.hpp"
#include "engine/images.hpp"
#include "midi/port_names.hpp"
#include "platform/mm/port_pairing.hpp"

namespace ql5::cli {

namespace {

constexpr std::uint32_t kFlashBytes = engine::kFlashSize;

int listPorts(std::FILE* out) {
    const std::vector<std::string> ins = midi::inputPortNames();
    const std::vector<std::string> outs = midi::outputPortNames();
    std::fprintf(out, "MIDI inputs:\n");
    for (std::size_t i = 0; i < ins.size(); ++i) {
        std::fprintf(out, "  %c %2zu  %s\n", midi::matchPortName(ins[i].c_str()) ? '*' : ' ', i,
                     ins[i].c_str());
    }
    std::fprintf(out, "MIDI outputs:\n");
    for (std::size_t i = 0; i < outs.size(); ++i) {
        std::fprintf(out, "  %c %2zu  %s\n", midi::matchPortName(outs[i].c_str()) ? '*' : ' ', i,
                     outs[i].c_str());
    }
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
bool runWorker(engine::UpdateState& st, void (*worker)(engine::UpdateState&)) {
    std::atomic<bool> done{false};
    std::thread t([&] {
        worker(st);
        done.store(true);
    });
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

int runUnitCommand(const Options& o, std::FILE* out, std::FILE* err) {
    const bool update = o.command == Command::Update;
    if (update) {
        // Checked before anything is sent: a damaged program must not write
        // damaged firmware into a unit.
        if (const std::uint32_t bad = engine::firstDamagedImage(); bad != 0) {
            std::fprintf(err,
                         "ql5: firmware image %u does not match the SHA-256 recorded when it was "
                         "built; refusing to update (nothing was sent)\n",
                         bad);
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

    const PortChoice in = choosePort(midi::inputPortNames(), o.in, "input");
    const PortChoice outPort = choosePort(midi::outputPortNames(), o.out, "output");
    for (const PortChoice* c : {&outPort, &in}) {
        if (c->index < 0) {
            std::fprintf(err, "ql5: %s\n", c->error.c_str());
            return kExitNoUnit;
        }
    }

    engine::UpdateState st;
    // Read once, before any worker runs; nothing in the program sets it.
    const char* t = std::getenv("QL5_TIMING");  // NOLINT(concurrency-mt-unsafe)
    if (t != nullptr && std::strcmp(t, "test") == 0) {
        st.timing = sync::Timing::forTests();
    }
    st.midiOut.setDoneBoundMs(st.timing.sendDoneBoundMs);
    TerminalWindow window(st, out, err, isTerminal(err), [&] {
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
    engine::startDispatcher(st);
    st.busy.store(1);
    st.replyEvent.reset();

    const bool interrupted =
        runWorker(st, update ? engine::updateWorker : engine::versionCheckWorker);
    int code = kExitOk;
    if (interrupted) {
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
    } else if (update) {
        code = window.completed()        ? kExitOk
               : window.lastError() != 0 ? exitCodeForError(window.lastError())
                                         : kExitTransferError;
    } else {
        const std::optional<int> result = window.waitVersionCheckDone(std::chrono::seconds(1));
        if (result.has_value()) {
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
            return listPorts(out);
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
