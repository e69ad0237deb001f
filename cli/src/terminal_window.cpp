#include "cli/terminal_window.hpp"

#include <cinttypes>

#include "engine/images.hpp"

namespace ql5::cli {

std::string describeStep(const std::string& counter) {
    int k = 0;
    if (std::sscanf(counter.c_str(), "%d/", &k) != 1 || k < 1 ||
        k > static_cast<int>(engine::FlashPlan.size())) {
        return "identifying the unit";
    }
    const engine::FlashPlanRow& row = engine::FlashPlan[static_cast<std::size_t>(k - 1)];
    char text[128];
    if (row.operation == engine::kOperationErase) {
        std::snprintf(text, sizeof text, "erasing 0x%06" PRIX32 " (%" PRIu32 " bytes)", row.address,
                      row.size);
    } else {
        std::snprintf(text, sizeof text, "writing image %" PRIu32 " to 0x%06" PRIX32 " (%d bytes)",
                      row.resourceId, row.address, engine::loadImage(row.resourceId).length);
    }
    return text;
}

TerminalWindow::TerminalWindow(engine::UpdateState& st, std::FILE* out, std::FILE* err,
                               Terminal terminal, std::function<bool()> discover)
    : st_(st),
      out_(out),
      err_(err),
      terminal_(std::move(terminal)),
      discover_(std::move(discover)) {}

void TerminalWindow::endBarLine() {
    if (barShown_) {
        std::fputc('\n', err_);
        barShown_ = false;
        barLength_ = 0;
    }
}

void TerminalWindow::setStatusLine(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = text;
    if (text.rfind("Data transmit", 0) == 0) {
        return;  // shown by the bar
    }
    int done = 0;
    int total = 0;
    if (std::sscanf(text.c_str(), "Verifying written data  %d / %d", &done, &total) == 2) {
        // The read-back is a step of its own, its bytes shown by the bar.
        if (done == 0) {
            endBarLine();
            std::fprintf(err_, "[verify] reading back %d bytes\n", total);
            std::fflush(err_);
        }
        return;
    }
    if (text == engine::loadString(engine::IDS_UPDATE_COMPLETED)) {
        completed_ = true;
        endBarLine();
        std::fprintf(out_, "%s\n", text.c_str());
        std::fflush(out_);
        return;
    }
    // Erasing repeats on every resend; show it once per step.
    if (text.empty() || text == engine::loadString(engine::IDS_ERASING)) {
        return;
    }
    endBarLine();
    std::fprintf(err_, "%s\n", text.c_str());
    std::fflush(err_);
}

void TerminalWindow::setStepCounter(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    step_ = text;
    endBarLine();
    std::fprintf(err_, "[%s] %s\n", text.c_str(), describeStep(text).c_str());
    std::fflush(err_);
}

void TerminalWindow::setProgressRange(std::int32_t, std::int32_t high) {
    std::lock_guard<std::mutex> lock(mutex_);
    rangeHigh_ = high;
    pos_ = 0;
    rangeStart_ = std::chrono::steady_clock::now();
}

void TerminalWindow::setProgressPos(std::int32_t pos) {
    std::lock_guard<std::mutex> lock(mutex_);
    pos_ = pos;
    // Only writes have a byte range worth a bar; an erase goes 1 then 10.
    if (terminal_.mode != TerminalMode::None && rangeHigh_ > 10) {
        drawBar(pos == rangeHigh_);
    }
}

void TerminalWindow::drawBar(bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!force && barShown_ && now - lastDraw_ < std::chrono::milliseconds(100)) {
        return;
    }
    lastDraw_ = now;
    const double seconds = std::chrono::duration<double>(now - rangeStart_).count();
    const double rate = seconds > 0 ? pos_ / seconds : 0.0;
    const std::string line = fitProgressLine("  ", 30, pos_, rangeHigh_, rate, terminal_.columns());
    if (terminal_.mode == TerminalMode::Escapes) {
        std::fprintf(err_, "\r%s\x1b[K", line.c_str());
    } else {
        // No escape codes: spaces over what the longer line before left.
        const std::size_t pad = barLength_ > line.size() ? barLength_ - line.size() : 0;
        std::fprintf(err_, "\r%s%s", line.c_str(), std::string(pad, ' ').c_str());
    }
    barLength_ = line.size();
    std::fflush(err_);
    barShown_ = true;
}

void TerminalWindow::endProgress() {
    std::lock_guard<std::mutex> lock(mutex_);
    endBarLine();
}

void TerminalWindow::showError(int stringId) {
    std::lock_guard<std::mutex> lock(mutex_);
    lastError_ = stringId;
    endBarLine();
    std::fprintf(err_, "%s: %s\n", engine::loadString(engine::IDS_ERROR_CAPTION),
                 engine::loadString(stringId));
    std::fflush(err_);
}

void TerminalWindow::noteUncheckable() {
    std::lock_guard<std::mutex> lock(mutex_);
    endBarLine();
    std::fputs(
        "note: the unit answers no read in its update state: the written blocks cannot be "
        "checked\n",
        err_);
    std::fflush(err_);
}

void TerminalWindow::showVersionReport(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
}

void TerminalWindow::restoreControls() { st_.busy.store(0); }

void TerminalWindow::enableActions(bool) {}

int TerminalWindow::discoverPorts() { return discover_() ? 1 : 0; }

void TerminalWindow::postVersionCheckDone(int result) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        versionDone_ = result;
    }
    cv_.notify_all();
}

std::optional<int> TerminalWindow::waitVersionCheckDone(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, timeout, [&] { return versionDone_.has_value(); });
    return versionDone_;
}

int TerminalWindow::lastError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastError_;
}

bool TerminalWindow::completed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return completed_;
}

std::string TerminalWindow::step() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return step_;
}

std::string TerminalWindow::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

}  // namespace ql5::cli
