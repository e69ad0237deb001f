#include "cli/all_units.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "cli/interrupt.hpp"
#include "cli/terminal.hpp"
#include "cli/terminal_window.hpp"
#include "engine/engine.hpp"
#include "engine/image_check.hpp"
#include "engine/images.hpp"
#include "midi/CDxMMidiIn.hpp"
#include "platform/mm/port_pairing.hpp"

namespace ql5::cli {

namespace {

using Clock = std::chrono::steady_clock;

std::string trim(const std::string& s) {
    const std::size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) {
        return {};
    }
    return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

// What every unit's window writes to: one terminal, shared. On a terminal the
// units' lines are redrawn in place below the messages; otherwise every
// change worth a line is one line, prefixed with the unit's port name.
class Board {
  public:
    struct Line {
        std::string port;
        std::string step = "0/8";
        std::string status;
        std::int32_t high = 0;
        std::int32_t pos = 0;
        Clock::time_point rangeStart = Clock::now();
    };

    // Redrawn in place only where the cursor can go up (escape codes); a
    // plain console gets a line per message, as a file does.
    Board(std::FILE* err, Terminal terminal)
        : err_(err),
          tty_(terminal.mode == TerminalMode::Escapes),
          columns_(std::move(terminal.columns)) {}

    bool redrawn() const { return tty_; }

    std::size_t add(const std::string& port) {
        std::lock_guard<std::mutex> lock(mutex_);
        Line line;
        line.port = port;
        lines_.push_back(std::move(line));
        return lines_.size() - 1;
    }

    template <typename F>
    void update(std::size_t unit, F change, bool force) {
        std::lock_guard<std::mutex> lock(mutex_);
        change(lines_[unit]);
        if (tty_) {
            redraw(force);
        }
    }

    // A message above the lines (terminal) or a line of its own.
    void message(std::size_t unit, const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (tty_) {
            up();
            std::fprintf(err_, "\r%s\x1b[K\n",
                         fitToWidth(lines_[unit].port + ": " + text, columns_()).c_str());
            drawn_ = 0;
            redraw(true);
        } else {
            std::fprintf(err_, "%s: %s\n", lines_[unit].port.c_str(), text.c_str());
            std::fflush(err_);
        }
    }

    // The lines stay where they are; what follows starts below them.
    void finish() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (tty_) {
            redraw(true);
        }
        drawn_ = 0;
    }

  private:
    void up() {
        if (drawn_ > 0) {
            std::fprintf(err_, "\x1b[%zuA", drawn_);
        }
    }

    void redraw(bool force) {
        const auto now = Clock::now();
        if (!force && drawn_ == lines_.size() && now - lastDraw_ < std::chrono::milliseconds(100)) {
            return;
        }
        lastDraw_ = now;
        up();
        // A line longer than the window would wrap and push the cursor-up
        // count off by one.
        const int width = columns_();
        for (const Line& l : lines_) {
            const std::string lead = l.port + "  step " + l.step + "  ";
            std::string text;
            if (l.high > 10) {
                const double seconds = std::chrono::duration<double>(now - l.rangeStart).count();
                const double rate = seconds > 0 ? l.pos / seconds : 0.0;
                text = fitProgressLine(lead, 20, l.pos, l.high, rate, width);
            } else {
                text =
                    fitToWidth(lead + (l.status.empty() ? describeStep(l.step) : l.status), width);
            }
            std::fprintf(err_, "\r%s\x1b[K\n", text.c_str());
        }
        drawn_ = lines_.size();
        std::fflush(err_);
    }

    std::FILE* err_;
    bool tty_;
    std::function<int()> columns_;
    std::mutex mutex_;
    std::vector<Line> lines_;
    std::size_t drawn_ = 0;
    Clock::time_point lastDraw_;
};

// One unit's window: the engine instance of that unit talks only to it.
class UnitWindow : public engine::WindowInterface {
  public:
    UnitWindow(engine::UpdateState& st, Board& board, std::size_t line,
               std::function<bool()> present)
        : st_(st), board_(board), line_(line), present_(std::move(present)) {}

    void setStatusLine(const std::string& text) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            status_ = text;
            if (text == engine::loadString(engine::IDS_UPDATE_COMPLETED)) {
                completed_ = true;
            }
        }
        // The unplug request and the end are told once per unit, and stay on
        // its line; "Erasing" repeats on every resend and the transfer shows
        // as the bar.
        const bool lasting = text == engine::loadString(engine::IDS_UNPLUG) ||
                             text == engine::loadString(engine::IDS_UPDATE_COMPLETED);
        board_.update(
            line_,
            [&](Board::Line& l) {
                l.status = text;
                if (lasting) {
                    l.high = 0;
                }
            },
            true);
        if (lasting) {
            board_.message(line_, text);
        }
    }
    void setStepCounter(const std::string& text) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            step_ = text;
        }
        board_.update(
            line_,
            [&](Board::Line& l) {
                l.step = text;
                l.high = 0;
                l.status.clear();
            },
            true);
        if (!tty_()) {
            board_.message(line_, "[" + text + "] " + describeStep(text));
        }
    }
    void setProgressRange(std::int32_t, std::int32_t high) override {
        board_.update(
            line_,
            [&](Board::Line& l) {
                l.high = high;
                l.pos = 0;
                l.rangeStart = Clock::now();
            },
            false);
    }
    void setProgressPos(std::int32_t pos) override {
        board_.update(
            line_, [&](Board::Line& l) { l.pos = pos; }, false);
    }
    void showError(int stringId) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            lastError_ = stringId;
        }
        const std::string text = std::string(engine::loadString(engine::IDS_ERROR_CAPTION)) + ": " +
                                 engine::loadString(stringId);
        board_.update(
            line_,
            [&](Board::Line& l) {
                l.status = text;
                l.high = 0;
            },
            true);
        board_.message(line_, text);
    }
    void noteUncheckable() override {
        board_.message(line_,
                       "note: the unit answers no read in its update state: the written blocks "
                       "cannot be checked");
    }
    void showVersionReport(const std::string&) override {}
    void restoreControls() override { st_.busy.store(0); }
    void enableActions(bool) override {}
    int discoverPorts() override { return present_() ? 1 : 0; }
    void postVersionCheckDone(int result) override {
        std::lock_guard<std::mutex> lock(mutex_);
        versionDone_ = result;
    }

    int lastError() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastError_;
    }
    bool completed() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return completed_;
    }
    std::optional<int> versionDone() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return versionDone_;
    }
    std::string step() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return step_;
    }

    std::function<bool()> tty_ = [] { return false; };

  private:
    engine::UpdateState& st_;
    Board& board_;
    std::size_t line_;
    std::function<bool()> present_;
    mutable std::mutex mutex_;
    int lastError_ = 0;
    bool completed_ = false;
    std::optional<int> versionDone_;
    std::string step_;
    std::string status_;
};

// Where a unit is now: its pair found again by driver, device and names, as
// indices move when another unit comes or goes.
std::optional<mm::PortPair> findPair(const mm::PortPair& unit) {
    const mm::Pairing now = mm::pairPorts(mm::listPorts(true), mm::listPorts(false));
    for (const mm::PortPair& p : now.pairs) {
        if (p.input.driver == unit.input.driver && p.input.device == unit.input.device &&
            p.input.name == unit.input.name && p.output.name == unit.output.name) {
            return p;
        }
    }
    return std::nullopt;
}

struct Unit {
    mm::PortPair ports;
    // How the unit is named in the lines and the table: its port's name, with
    // the device it belongs to when another unit's port has the same name (two
    // units of one model on USB both get "Tarvik QL-5 MIDI 1").
    std::string label;
    std::unique_ptr<engine::UpdateState> st;
    std::unique_ptr<UnitWindow> window;
    engine::VersionTexts before;
    engine::VersionTexts carried;
    bool verify = true;  // update: every written block read back (--no-verify: not)
    int code = -1;       // -1: not yet known
    std::string result;
    Clock::time_point start;
    Clock::time_point end;  // when its worker returned (each unit its own)
    double seconds = 0;
};

bool isUnitPort(const mm::PortInfo& p) { return midi::matchPortName(p.name.c_str()); }

// Opens the unit's ports on a fresh engine instance, output first as the
// window does; an error code when that fails.
int startEngine(Unit& u, Board& board, std::size_t line, bool tty, const sync::Timing& timing) {
    u.st = std::make_unique<engine::UpdateState>();
    u.st->timing = timing;
    u.st->verifyAll = u.verify;
    u.st->midiOut.setDoneBoundMs(timing.sendDoneBoundMs);
    const std::optional<mm::PortPair> now = findPair(u.ports);
    const mm::PortPair key = u.ports;
    u.window = std::make_unique<UnitWindow>(*u.st, board, line,
                                            [key] { return findPair(key).has_value(); });
    u.window->tty_ = [tty] { return tty; };
    u.st->window = u.window.get();
    // A unit gone since it was found is not looked for at its old index,
    // where another unit's port may be now.
    if (!now) {
        u.window->showError(engine::IDS_CANT_OPEN_OUT);
        return kExitCannotOpen;
    }
    const mm::PortPair& where = *now;
    if (u.st->midiOut.Open(static_cast<int>(where.output.index)) != 1) {
        u.window->showError(engine::IDS_CANT_OPEN_OUT);
        return kExitCannotOpen;
    }
    u.st->midiIn.deviceIndex = static_cast<int>(where.input.index);
    if (u.st->midiIn.Open() != 1) {
        u.window->showError(engine::IDS_CANT_OPEN_IN);
        return kExitCannotOpen;
    }
    engine::startDispatcher(*u.st);
    u.st->busy.store(1);
    u.st->replyEvent.reset();
    return kExitOk;
}

// Runs worker on every unit whose code is still unknown, each on its own
// thread, and waits for all of them or the user's interrupt.
bool runPhase(std::vector<Unit>& units, Board& board, bool tty, const sync::Timing& timing,
              void (*worker)(engine::UpdateState&)) {
    // Every unit's ports are opened before any worker starts: a unit that
    // finishes and unplugs moves the indices of the ports after its own.
    std::vector<Unit*> started;
    for (std::size_t i = 0; i < units.size(); ++i) {
        Unit& u = units[i];
        if (u.code >= 0) {
            continue;
        }
        const int opened = startEngine(u, board, i, tty, timing);
        if (opened != kExitOk) {
            u.code = opened;
            u.result = engine::loadString(u.window->lastError());
            continue;
        }
        started.push_back(&u);
    }
    std::vector<std::thread> threads;
    std::atomic<std::size_t> running{0};
    for (Unit* unit : started) {
        Unit& u = *unit;
        running.fetch_add(1);
        threads.emplace_back([&u, &running, worker] {
            worker(*u.st);
            u.end = Clock::now();
            running.fetch_sub(1);
        });
    }
    bool interrupted = false;
    while (running.load() != 0) {
        if (waitForInterrupt(50)) {
            for (Unit& u : units) {
                if (u.st) {
                    engine::abortForClose(*u.st);
                }
            }
            interrupted = true;
            break;
        }
    }
    for (std::thread& t : threads) {
        t.join();
    }
    return interrupted;
}

void closeEngine(Unit& u) {
    if (u.st) {
        u.st->timer.Stop();
        u.st->midiOut.Close();
        u.st->midiIn.Close();
    }
}

std::string versionsText(const engine::VersionTexts& v) {
    if (v.system.empty()) {
        return "-";
    }
    return v.system + "/" + v.preset + "/" + v.boot;
}

// Whether the update's plan writes the four stamp bytes at address.
bool planWrites(std::uint32_t address) {
    for (const engine::FlashPlanRow& row : engine::FlashPlan) {
        const std::uint32_t size =
            row.size != 0 ? row.size
                          : static_cast<std::uint32_t>(engine::loadImage(row.resourceId).length);
        if (row.operation == engine::kOperationWrite && row.address <= address &&
            address + 4 <= row.address + size) {
            return true;
        }
    }
    return false;
}

// What a unit holds after a completed update: the carried version where the
// plan writes the stamp, its own where it does not (BOOT).
engine::VersionTexts afterUpdate(const engine::VersionTexts& before,
                                 const engine::VersionTexts& carried) {
    engine::VersionTexts v = before;
    if (planWrites(engine::kStampSystemAddress)) {
        v.system = carried.system;
    }
    if (planWrites(engine::kStampPresetAddress) && !carried.preset.empty()) {
        v.preset = carried.preset;
    }
    if (planWrites(engine::kStampBootAddress) && !carried.boot.empty()) {
        v.boot = carried.boot;
    }
    return v;
}

std::string flashPath(const std::string& dir, int k) {
    return dir + "/unit" + std::to_string(k) + ".flash";
}

}  // namespace

bool splitFaultScript(const std::string& text, int units, std::vector<std::string>& perUnit,
                      std::string& error) {
    perUnit.assign(static_cast<std::size_t>(units), std::string());
    std::size_t from = 0;
    while (from <= text.size()) {
        std::size_t end = text.find(';', from);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string rule = trim(text.substr(from, end - from));
        from = end + 1;
        if (rule.empty()) {
            continue;
        }
        if (rule.rfind("unit", 0) == 0 && rule.find('/') != std::string::npos) {
            const std::string number = rule.substr(4, rule.find('/') - 4);
            const int k = number.size() <= 2 && !number.empty() &&
                                  number.find_first_not_of("0123456789") == std::string::npos
                              ? std::stoi(number)
                              : 0;
            if (k < 1 || k > units) {
                error =
                    "rule \"" + rule + "\" names no unit (there are " + std::to_string(units) + ")";
                return false;
            }
            perUnit[static_cast<std::size_t>(k - 1)] += rule.substr(rule.find('/') + 1) + ";";
        } else {
            for (std::string& s : perUnit) {
                s += rule + ";";
            }
        }
    }
    return true;
}

int runAllUnits(const Options& o, std::FILE* out, std::FILE* err,
                const emulator::TimingProfile& virtualTiming) {
    const bool update = o.command == Command::Update;
    if (update) {
        if (const std::uint32_t bad = engine::firstDamagedImage(); bad != 0) {
            std::fprintf(err,
                         "ql5: firmware image %u does not match the SHA-256 recorded when it was "
                         "built; refusing to update (nothing was sent)\n",
                         bad);
            return kExitImageCheck;
        }
    }

    // The virtual units, each with its own flash and its own faults.
    std::vector<std::unique_ptr<emulator::VirtualUnit>> virtualUnits;
    std::vector<std::string> faults;
    {
        std::string error;
        if (!splitFaultScript(o.faults, o.virtualCount, faults, error)) {
            std::fprintf(err, "ql5: --fault: %s\n", error.c_str());
            return kExitUsage;
        }
    }
    for (int k = 1; k <= o.virtualCount; ++k) {
        emulator::UnitConfig cfg;
        cfg.unplugAfterFinishMs = 300;
        cfg.inputName = cfg.outputName = "Tarvik QL-5 #" + std::to_string(k) + " MIDI 1";
        cfg.timing = virtualTiming;
        std::string error;
        auto script = emulator::parseFaultScript(faults[static_cast<std::size_t>(k - 1)], &error);
        if (!script) {
            std::fprintf(err, "ql5: --fault (unit %d): %s\n", k, error.c_str());
            return kExitUsage;
        }
        cfg.faults = *script;
        auto unit = std::make_unique<emulator::VirtualUnit>(cfg);
        if (!o.virtualDir.empty()) {
            std::ifstream f(flashPath(o.virtualDir, k), std::ios::binary);
            if (f) {
                std::vector<std::uint8_t> bytes(engine::kFlashSize);
                f.read(reinterpret_cast<char*>(bytes.data()),
                       static_cast<std::streamsize>(bytes.size()));
                if (f.gcount() != static_cast<std::streamsize>(bytes.size()) ||
                    !unit->pokeFlash(0, bytes)) {
                    std::fprintf(err, "ql5: cannot load the flash of virtual unit %d from %s\n", k,
                                 flashPath(o.virtualDir, k).c_str());
                    return kExitUsage;
                }
            }
        }
        virtualUnits.push_back(std::move(unit));
    }

    // Every unit is found, by its pair of ports, before any is spoken to.
    const mm::Pairing pairing = mm::pairPorts(mm::listPorts(true), mm::listPorts(false));
    for (const mm::PortInfo& p : pairing.unpairedIn) {
        if (isUnitPort(p)) {
            std::fprintf(err, "ql5: input %u \"%s\" has no output of the same device; skipped\n",
                         p.index, p.name.c_str());
        }
    }
    for (const mm::PortInfo& p : pairing.unpairedOut) {
        if (isUnitPort(p)) {
            std::fprintf(err, "ql5: output %u \"%s\" has no input of the same device; skipped\n",
                         p.index, p.name.c_str());
        }
    }
    std::vector<Unit> units;
    for (const mm::PortPair& p : pairing.pairs) {
        if (isUnitPort(p.input) && isUnitPort(p.output)) {
            Unit u;
            u.ports = p;
            units.push_back(std::move(u));
        }
    }
    if (units.empty()) {
        std::fprintf(err,
                     "ql5: no unit found: no input and output of one device whose names "
                     "contain \"Tarvik QL-5\"\n");
        return kExitNoUnit;
    }

    sync::Timing timing;
    // Read once, before any worker runs; nothing in the program sets it.
    const char* t = std::getenv("QL5_TIMING");  // NOLINT(concurrency-mt-unsafe)
    if (t != nullptr && std::strcmp(t, "test") == 0) {
        timing = sync::Timing::forTests();
    }
    for (Unit& u : units) {
        u.label = u.ports.input.name;
        const auto same = std::count_if(units.begin(), units.end(), [&](const Unit& other) {
            return other.ports.input.name == u.ports.input.name;
        });
        if (same > 1 && !u.ports.input.device.empty()) {
            u.label += " (" + u.ports.input.device + ")";
        }
    }
    Board board(err, openTerminal(err));
    const bool tty = board.redrawn();
    for (const Unit& u : units) {
        board.add(u.label);
        std::fprintf(err, "unit: in %u \"%s\", out %u \"%s\"\n", u.ports.input.index,
                     u.ports.input.name.c_str(), u.ports.output.index, u.ports.output.name.c_str());
    }

    // First every unit is identified and its versions read, each by its own
    // engine instance; then those that answered are updated side by side.
    const auto start = Clock::now();
    for (Unit& u : units) {
        u.start = start;
    }
    bool interrupted = runPhase(units, board, tty, timing, engine::versionCheckWorker);
    for (Unit& u : units) {
        if (u.code >= 0) {
            continue;
        }
        closeEngine(u);
        u.before = u.st->deviceVersions;
        u.carried = u.st->carriedVersions;
        const std::optional<int> done = u.window->versionDone();
        if (done != 0) {
            const int e = u.window->lastError();
            u.code = interrupted ? kExitInterrupted
                     : e != 0    ? exitCodeForError(e)
                                 : kExitTransferError;
            u.result = interrupted ? "interrupted"
                       : e != 0    ? engine::loadString(e)
                                   : "the versions could not be read";
        } else if (!update) {
            u.code = kExitOk;
            u.result = "ok";
        }
        u.seconds = std::chrono::duration<double>(u.end - u.start).count();
    }
    if (update && interrupted) {
        for (Unit& u : units) {
            if (u.code < 0) {
                u.code = kExitInterrupted;
                u.result = "interrupted before the flash was changed";
            }
        }
    } else if (update) {
        // Fault rules count from the update on ("write#3" is the update's
        // third write), not from the identification before it.
        for (auto& v : virtualUnits) {
            v->clearCounters();
        }
        for (Unit& u : units) {
            u.verify = o.verify;
        }
        interrupted = runPhase(units, board, tty, timing, engine::updateWorker);
        for (Unit& u : units) {
            if (u.code >= 0) {
                continue;
            }
            closeEngine(u);
            u.seconds = std::chrono::duration<double>(u.end - u.start).count();
            const int e = u.window->lastError();
            if (u.window->completed()) {
                u.code = kExitOk;
                u.result = "ok";
            } else if (interrupted) {
                const std::string step = u.window->step();
                u.code = kExitInterrupted;
                u.result = step.empty() || step.rfind("0/", 0) == 0
                               ? "interrupted before the flash was changed"
                               : "interrupted at step " + step + ": run a full update";
            } else {
                u.code = e != 0 ? exitCodeForError(e) : kExitTransferError;
                u.result = e != 0 ? engine::loadString(e) : "transfer error";
            }
        }
    }
    board.finish();

    std::fprintf(out, "%-28s %-18s    %-18s %6s  %s\n", "unit", "before",
                 update ? "after" : "carried", "time", "result");
    int code = kExitOk;
    for (const Unit& u : units) {
        // After a failed update what the unit holds is not known.
        const std::string after = !update ? versionsText(u.carried)
                                  : u.code == kExitOk
                                      ? versionsText(afterUpdate(u.before, u.carried))
                                      : "?";
        std::fprintf(out, "%-28s %-18s -> %-18s %5.1fs  %s\n", u.label.c_str(),
                     versionsText(u.before).c_str(), after.c_str(), u.seconds, u.result.c_str());
        if (code == kExitOk && u.code != kExitOk) {
            code = u.code;
        }
    }
    std::fflush(out);

    if (!o.virtualDir.empty()) {
        for (std::size_t k = 0; k < virtualUnits.size(); ++k) {
            const std::vector<std::uint8_t> bytes =
                virtualUnits[k]->readFlash(0, engine::kFlashSize);
            std::ofstream f(flashPath(o.virtualDir, static_cast<int>(k + 1)),
                            std::ios::binary | std::ios::trunc);
            f.write(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<std::streamsize>(bytes.size()));
            if (!f) {
                std::fprintf(err, "ql5: cannot save the flash of virtual unit %zu to %s\n", k + 1,
                             flashPath(o.virtualDir, static_cast<int>(k + 1)).c_str());
            }
        }
    }
    return code;
}

}  // namespace ql5::cli
