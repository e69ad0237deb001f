#pragma once
// A window for the engine's tests: keeps every call in order, answers the
// message boxes at once, and finds the unit's ports the way the dialog does.
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/engine.hpp"

namespace ql5::testing {

class RecorderWindow : public engine::WindowInterface {
  public:
    explicit RecorderWindow(engine::UpdateState* st = nullptr) : st_(st) {}
    void attach(engine::UpdateState* st) { st_ = st; }
    // Called on the engine's thread with each status text as it is set, before
    // the engine goes on: a test changes the unit's behaviour at a step.
    // Set it before the engine runs.
    void onStatus(std::function<void(const std::string&)> f) { onStatus_ = std::move(f); }

    void setStatusLine(const std::string& text) override {
        add("status:" + text);
        if (onStatus_) {
            onStatus_(text);
        }
    }
    void setStepCounter(const std::string& text) override { add("step:" + text); }
    void setProgressRange(std::int32_t low, std::int32_t high) override {
        add("range:" + std::to_string(low) + ".." + std::to_string(high));
    }
    void setProgressPos(std::int32_t pos) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lastPos_ = pos;
        ++posCalls_;
    }
    void showError(int stringId) override {
        add(std::string("error:") + engine::loadString(stringId));
    }
    void showVersionReport(const std::string& text) override { add("report:" + text); }
    void noteUncheckable() override { add("note:uncheckable"); }
    void restoreControls() override {
        add("restore");
        if (st_ != nullptr) {
            st_->busy.store(0);
        }
    }
    void enableActions(bool enable) override { add(enable ? "enable:1" : "enable:0"); }
    int discoverPorts() override;
    void postVersionCheckDone(int result) override {
        add("done:" + std::to_string(result));
        if (st_ != nullptr) {
            engine::onVersionCheckDone(*st_, result);
        }
    }

    std::vector<std::string> calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    // The calls that start with prefix, in order.
    std::vector<std::string> callsStartingWith(const std::string& prefix) const;
    // Every error text shown, in order.
    std::vector<std::string> errors() const { return callsStartingWith("error:"); }
    std::int32_t lastPos() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastPos_;
    }
    int discoverCalls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return discoverCalls_;
    }

  private:
    void add(std::string s) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(std::move(s));
    }

    engine::UpdateState* st_;
    std::function<void(const std::string&)> onStatus_;
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::int32_t lastPos_ = 0;
    long posCalls_ = 0;
    int discoverCalls_ = 0;
};

// Index of the last input / output device whose name matches the unit's,
// -1 when there is none: the selection the dialog's discovery makes.
int lastMatchingInput();
int lastMatchingOutput();

}  // namespace ql5::testing
