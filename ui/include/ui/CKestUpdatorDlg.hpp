#pragma once
// The program's one window. It owns everything the workers and the reply
// dispatcher share (the UpdateState), turns Execute and Version Check into
// worker threads, and is the window the engine writes to.
#include <atomic>
#include <cstdint>
#include <string>

#include "engine/engine.hpp"
#include "engine/window.hpp"
#include "platform/dialog/cdialog.hpp"
#include "platform/dialog/controls.hpp"

namespace ql5::ui {

class CKestUpdatorDlg : public dlg::CDialog, public engine::WindowInterface {
  public:
    explicit CKestUpdatorDlg(dlg::CDialog* parent = nullptr);
    // Stops the timer (waiting for a running tick), then closes the output
    // and the input port; the event and the rest go after. Must not run
    // while a worker does (see workerRunning).
    ~CKestUpdatorDlg() override;

    // 0 when both ports opened, else -1 after an error message.
    int openPorts();

    // ---- WindowInterface (any thread) ----
    void setStatusLine(const std::string& text) override;
    void setStepCounter(const std::string& text) override;
    void setProgressRange(std::int32_t low, std::int32_t high) override;
    void setProgressPos(std::int32_t pos) override;
    void showError(int stringId) override;
    void showVersionReport(const std::string& text) override;
    void restoreControls() override;
    void enableActions(bool enable) override;
    int discoverPorts() override;
    void postVersionCheckDone(int result) override;

    engine::UpdateState& state() { return st_; }

    // A worker thread started by this dialog has not returned yet.
    bool workerRunning() const { return workersRunning_.load() != 0; }
    // After the modal run: stops the timer, so that no tick runs from here
    // on, and gives a running worker up to maxMs to return, handling events
    // meanwhile. True when no worker runs any more (the dialog may then be
    // destroyed); false when one still does (the dialog must then stay as
    // it is until the process ends).
    bool settleAfterClose(int maxMs);

    int appIcon;
    dlg::CComboBox inPortList;
    dlg::CComboBox outPortList;
    dlg::CProgressCtrl progressBar;
    dlg::CButton executeButton;
    dlg::CButton exitButton;
    dlg::CEdit statusLine;
    dlg::CButton rescanButton;
    dlg::CStatic pictureBox;
    dlg::CEdit stepCounter;
    dlg::CButton versionCheckButton;

  protected:
    void DoDataExchange() override;
    bool OnInitDialog() override;
    // Each copy opens one step further from the centre than the copy in the
    // slot before it.
    int cascadeIndex() const override;

  private:
    dlg::LRESULT onSysCommand(dlg::WPARAM wParam, dlg::LPARAM lParam);
    void onExecute();
    void onVersionCheck();
    void onRescanDevice();
    void onDestroyWindow();
    // Runs body on a new thread; counted until it has returned. When the
    // thread or the dispatcher's timer cannot be started: failedToStart.
    void startWorker(void (*body)(engine::UpdateState&));
    void failedToStart();
    // The last worker has restored the controls but not yet returned.
    bool finishingWorker() const;
    // Before a run disables the controls: the control the user was on.
    void rememberFocus();
    // When the controls come back (and when Execute goes again after an
    // update): a keyboard user must not be left without a focused control.
    // Back to the control the run started from, else Rescan Device (the next
    // step after an update), else the first enabled tab stop.
    void giveFocusBack();

    engine::UpdateState st_;
    std::atomic<int> workersRunning_{0};
    std::atomic<int> focusAtStart_{0};
    // A run has taken the controls away and the focus is to come back when
    // they return; until the user's next action.
    std::atomic<bool> focusPending_{false};
};

}  // namespace ql5::ui
