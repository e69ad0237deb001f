// A virtual unit left plugged in for many updates, as in a window that runs
// with QL5_VIRTUAL_UNIT=1 all day: the process must not grow with every
// update.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "emulator/virtual_unit.hpp"
#include "engine/engine.hpp"
#include "support/recorder_window.hpp"
#include "support/virtual_port.hpp"

namespace ql5::testing {
namespace {

// Resident set size of this process, in bytes.
long residentBytes() {
    long pages = 0;
    long resident = 0;
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return -1;
    const int n = std::fscanf(f, "%ld %ld", &pages, &resident);
    std::fclose(f);
    return n == 2 ? resident * sysconf(_SC_PAGESIZE) : -1;
}

// A window that keeps nothing: what grows here grows in the engine or the
// unit, not in a recorder.
class QuietWindow : public engine::WindowInterface {
  public:
    explicit QuietWindow(engine::UpdateState& st) : st_(st) {}
    void setStatusLine(const std::string& text) override {
        if (text == engine::loadString(engine::IDS_UPDATE_COMPLETED)) completed.store(true);
    }
    void setStepCounter(const std::string&) override {}
    void setProgressRange(std::int32_t, std::int32_t) override {}
    void setProgressPos(std::int32_t) override {}
    void showError(int) override { errors.fetch_add(1); }
    void showVersionReport(const std::string&) override {}
    void restoreControls() override { st_.busy.store(0); }
    void enableActions(bool) override {}
    int discoverPorts() override {
        return lastMatchingInput() >= 0 && lastMatchingOutput() >= 0 ? 1 : 0;
    }
    void postVersionCheckDone(int) override {}

    std::atomic<bool> completed{false};
    std::atomic<int> errors{0};

  private:
    engine::UpdateState& st_;
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QL5_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QL5_UNDER_SANITIZER 1
#endif
#endif

TEST(UpdateMemory, TwentyUpdatesCostNoMoreThanOne) {
#if defined(QL5_UNDER_SANITIZER)
    // The sanitizers keep freed memory in quarantine and shadow every byte:
    // RSS says nothing about the program there (the bound on the unit's
    // record is tested on its own by TranscriptBound).
    GTEST_SKIP() << "RSS is not measured under a sanitizer";
#endif
    emulator::VirtualUnit unit;  // whole messages kept, as in the window
    engine::UpdateState st;
    QuietWindow window(st);
    st.window = &window;
    // The documented time-outs (nothing here is meant to time out, and a
    // loaded machine must not make it), without the pauses that only wait.
    st.timing.beginPauseMs = 5;
    st.timing.unplugPollMs = 10;
    engine::startDispatcher(st);

    auto update = [&](int n) {
        if (!unit.plugged()) unit.plug();
        ASSERT_TRUE(unit.waitPlugged(true, std::chrono::seconds(5)));
        ASSERT_TRUE(openUnitPorts(st)) << "update " << n;
        window.completed.store(false);
        st.busy.store(1);
        st.replyEvent.reset();
        engine::updateWorker(st);
        ASSERT_TRUE(window.completed.load()) << "update " << n;
        ASSERT_EQ(window.errors.load(), 0) << "update " << n;
    };

    update(1);
    const long afterOne = residentBytes();
    ASSERT_GT(afterOne, 0);
    for (int n = 2; n <= 20; ++n) update(n);
    const long afterTwenty = residentBytes();
    st.timer.Stop();
    st.midiOut.Close();
    st.midiIn.Close();

    std::printf("RSS after one update %ld KiB, after twenty %ld KiB\n", afterOne / 1024,
                afterTwenty / 1024);
    EXPECT_LE(afterTwenty, afterOne + afterOne / 10)
        << "RSS " << afterOne / 1024 << " KiB after one update, " << afterTwenty / 1024
        << " KiB after twenty";
    // The unit's record of the session is its tail, not the whole session.
    EXPECT_LE(unit.transcript().size(), emulator::Transcript::kDefaultMaxEntries);
    EXPECT_GT(unit.transcript().dropped(), 0U);
}

}  // namespace
}  // namespace ql5::testing
