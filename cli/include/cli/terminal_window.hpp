#pragma once
// The engine's window on a terminal: progress and errors on standard error,
// the version report on standard output.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "cli/terminal.hpp"
#include "engine/engine.hpp"

namespace ql5::cli {

// What step "k/8" of the plan does, in words.
std::string describeStep(const std::string& counter);

class TerminalWindow : public engine::WindowInterface {
  public:
    // discover: whether both of the unit's ports are present now; terminal:
    // what err can do for the redrawn bar.
    TerminalWindow(engine::UpdateState& st, std::FILE* out, std::FILE* err, Terminal terminal,
                   std::function<bool()> discover);

    void setStatusLine(const std::string& text) override;
    void setStepCounter(const std::string& text) override;
    void setProgressRange(std::int32_t low, std::int32_t high) override;
    void setProgressPos(std::int32_t pos) override;
    void showError(int stringId) override;
    void noteUncheckable() override;
    void showVersionReport(const std::string& text) override;
    void restoreControls() override;
    void enableActions(bool enable) override;
    int discoverPorts() override;
    void postVersionCheckDone(int result) override;

    // Ends a progress bar line, if one is shown.
    void endProgress();
    // The id of the last error message shown, 0 if none.
    int lastError() const;
    bool completed() const;
    std::string step() const;
    std::string status() const;
    // Waits for the version check's end message; nullopt if none came in time.
    std::optional<int> waitVersionCheckDone(std::chrono::milliseconds timeout);

  private:
    void drawBar(bool force);
    void endBarLine();

    engine::UpdateState& st_;
    std::FILE* out_;
    std::FILE* err_;
    Terminal terminal_;
    std::function<bool()> discover_;

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::optional<int> versionDone_;
    int lastError_ = 0;
    bool completed_ = false;
    std::string step_;
    std::string status_;
    std::int32_t rangeHigh_ = 0;
    std::int32_t pos_ = 0;
    bool barShown_ = false;
    std::size_t barLength_ = 0;  // of the line drawn last, for the spaces over it
    std::chrono::steady_clock::time_point rangeStart_;
    std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace ql5::cli
