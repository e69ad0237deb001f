// A whole firmware update against the virtual unit, timed.
//
//   ql5_update_bench            the instant unit: wall time, exchanges, and
//                               the host's overhead per exchange (from the
//                               unit's reply going out to the next request
//                               coming in), median and 99th percentile
//   ql5_update_bench realistic  the unit's realistic timing profile: wall
//                               time against the unit's modeled time
//
// After the profile, --fault SCRIPT makes the unit misbehave (a doubtful
// run: "write#100:twice=20ms") and --verify reads every written block back;
// the bytes each way and the read requests are counted, to weigh what a
// doubtful run and the full read-back cost.
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "emulator/virtual_unit.hpp"
#include "engine/engine.hpp"
#include "midi/port_names.hpp"

namespace {

using namespace ql5;

class QuietWindow : public engine::WindowInterface {
  public:
    explicit QuietWindow(engine::UpdateState& st) : st_(st) {}
    void setStatusLine(const std::string& text) override { status = text; }
    void setStepCounter(const std::string&) override {}
    void setProgressRange(std::int32_t, std::int32_t) override {}
    void setProgressPos(std::int32_t) override {}
    void showError(int id) override { error = engine::loadString(id); }
    void showVersionReport(const std::string&) override {}
    void restoreControls() override { st_.busy.store(0); }
    void enableActions(bool) override {}
    int discoverPorts() override {
        return midi::lastMatchingPort(midi::inputPortNames()) >= 0 &&
                       midi::lastMatchingPort(midi::outputPortNames()) >= 0
                   ? 1
                   : 0;
    }
    void postVersionCheckDone(int) override {}
    std::string status;
    std::string error;

  private:
    engine::UpdateState& st_;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
    return v[i];
}

}  // namespace

int main(int argc, char** argv) {
    const bool realistic = argc > 1 && std::strcmp(argv[1], "realistic") == 0;
    std::string faults;
    bool verifyAll = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--fault") == 0 && i + 1 < argc) {
            faults = argv[i + 1];
        }
        verifyAll = verifyAll || std::strcmp(argv[i], "--verify") == 0;
    }
    // The unit models time by sleeping; Linux lets every sleep run up to 50 us
    // late by default (timer slack), which over ~11,000 sleeps would be
    // counted against the host. Threads made from here on inherit this.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    emulator::UnitConfig cfg;
    cfg.transcriptBytesPerEntry = 8;
    cfg.transcriptMaxEntries = 0;  // the whole session: one update, read below
    if (realistic) {
        cfg.timing = emulator::TimingProfile::realistic();
    }
    if (!faults.empty()) {
        std::string error;
        const auto script = emulator::parseFaultScript(faults, &error);
        if (!script) {
            std::fprintf(stderr, "--fault: %s\n", error.c_str());
            return 1;
        }
        cfg.faults = *script;
    }
    emulator::VirtualUnit unit(cfg);

    engine::UpdateState st;
    QuietWindow window(st);
    st.window = &window;
    st.timing.unplugPollMs = 10;  // the pause before the first scan is not the unit's time
    st.verifyAll = verifyAll;
    engine::startDispatcher(st);
    if (st.midiOut.Open(midi::lastMatchingPort(midi::outputPortNames())) != 1) {
        std::fprintf(stderr, "cannot open the unit's output port\n");
        return 1;
    }
    st.midiIn.deviceIndex = midi::lastMatchingPort(midi::inputPortNames());
    if (st.midiIn.Open() != 1) {
        std::fprintf(stderr, "cannot open the unit's input port\n");
        return 1;
    }
    st.busy.store(1);
    st.replyEvent.reset();

    const auto t0 = std::chrono::steady_clock::now();
    engine::updateWorker(st);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (window.status != "Version update completed.") {
        std::fprintf(stderr, "update failed: %s\n", window.error.c_str());
        return 1;
    }

    // Host overhead: from each reply leaving the unit to the next request
    // reaching it, less the modeled time both spent on the link.
    const double rate = cfg.timing.linkBytesPerSecond;
    std::vector<double> overheadUs;
    std::size_t exchanges = 0;
    std::size_t bytesToUnit = 0;
    std::size_t bytesFromUnit = 0;
    bool replied = false;
    std::chrono::steady_clock::time_point replyAt;
    std::size_t replyLength = 0;
    for (const emulator::TranscriptEntry& e : unit.transcript().entries()) {
        if (e.direction == emulator::Direction::UnitToHost) {
            bytesFromUnit += e.length;
            replied = true;
            replyAt = e.time;
            replyLength = e.length;
        } else if (e.direction == emulator::Direction::HostToUnit) {
            bytesToUnit += e.length;
            ++exchanges;
            if (replied) {
                const double linkUs =
                    rate > 0 ? 1e6 * static_cast<double>(replyLength + e.length) / rate : 0.0;
                overheadUs.push_back(
                    std::chrono::duration<double, std::micro>(e.time - replyAt).count() - linkUs);
            }
            replied = false;
        }
    }
    std::printf("profile:              %s\n", realistic ? "realistic" : "instant");
    std::printf("wall time:            %.3f s\n", wall);
    std::printf("faults:               %s%s\n", faults.empty() ? "none" : faults.c_str(),
                verifyAll ? ", --verify" : "");
    std::printf("exchanges:            %zu\n", exchanges);
    std::printf("read requests:        %llu\n",
                static_cast<unsigned long long>(unit.counters().of(emulator::RequestKind::Read)));
    std::printf("bytes to / from unit: %zu / %zu\n", bytesToUnit, bytesFromUnit);
    std::printf("host overhead/exch.:  median %.1f us, p99 %.1f us\n", percentile(overheadUs, 0.5),
                percentile(overheadUs, 0.99));
    if (realistic) {
        const double modeled = std::chrono::duration<double>(unit.modeledTime()).count();
        std::printf("unit modeled time:    %.3f s\n", modeled);
        const double pause = st.timing.beginPauseMs / 1000.0;
        std::printf("wall / modeled:       %.4f (%.2f %% over)\n", wall / modeled,
                    100.0 * (wall / modeled - 1.0));
        std::printf("  without the %.0f ms pause after begin-update: %.2f %% over\n",
                    pause * 1000.0, 100.0 * ((wall - pause) / modeled - 1.0));
    }
    return 0;
}
