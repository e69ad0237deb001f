#include "ui/CKestUpdatorDlg.hpp"

#include <chrono>
#include <string>
#include <thread>

#include "engine/image_check.hpp"

#include "platform/dialog/framework.hpp"
#include "platform/sync/sync.hpp"
#include "ui/CAboutDlg.hpp"
#include "ui/instance.hpp"
#include "ui/port_discovery.hpp"
#include "ui/resource.hpp"
#include "ui/templates.hpp"

namespace ql5::ui {

CKestUpdatorDlg::CKestUpdatorDlg(dlg::CDialog* parent)
    : dlg::CDialog(mainDialogTemplate(), parent), appIcon(IDR_MAINFRAME) {
    st_.replyCode = 0;
    st_.busy = 0;
    st_.window = this;

    onMessage(dlg::WM_SYSCOMMAND,
              [this](dlg::WPARAM w, dlg::LPARAM l) { return onSysCommand(w, l); });
    // The window manager draws a minimised window's icon itself.
    onMessage(dlg::WM_PAINT,
              [this](dlg::WPARAM w, dlg::LPARAM l) { return DefWindowProc(dlg::WM_PAINT, w, l); });
    onMessage(dlg::WM_QUERYDRAGICON,
              [this](dlg::WPARAM, dlg::LPARAM) { return static_cast<dlg::LRESULT>(appIcon); });
    onMessage(kVersionCheckDoneMessage, [this](dlg::WPARAM, dlg::LPARAM l) {
        return static_cast<dlg::LRESULT>(engine::onVersionCheckDone(st_, static_cast<int>(l)));
    });
    onCommand(IDOK, [this] { onExecute(); });
    onMessage(dlg::WM_DESTROY, [this](dlg::WPARAM, dlg::LPARAM) {
        onDestroyWindow();
        return dlg::LRESULT{0};
    });
    onCommand(IDC_RESCAN, [this] { onRescanDevice(); });
    onCommand(IDC_VERSIONCHECK, [this] { onVersionCheck(); });
}

CKestUpdatorDlg::~CKestUpdatorDlg() {
    // The dispatcher uses the ports and the event from the timer thread:
    // no tick may run once they start to go.
    st_.timer.Stop();
    st_.midiOut.Close();
    st_.midiIn.Close();
}

void CKestUpdatorDlg::DoDataExchange() {
    DDX_Control(IDC_MIDIIN, inPortList);
    DDX_Control(IDC_MIDIOUT, outPortList);
    DDX_Control(IDC_PROGRESS, progressBar);
    DDX_Control(IDOK, executeButton);
    DDX_Control(IDCANCEL, exitButton);
    DDX_Control(IDC_STATUS, statusLine);
    DDX_Control(IDC_RESCAN, rescanButton);
    DDX_Control(IDC_PICTURE, pictureBox);
    DDX_Control(IDC_STEP, stepCounter);
    DDX_Control(IDC_VERSIONCHECK, versionCheckButton);
}

bool CKestUpdatorDlg::OnInitDialog() {
    dlg::CDialog::OnInitDialog();

    const std::string about = engine::loadString(engine::IDS_ABOUTBOX);
    if (!about.empty() && AppendSystemMenu(dlg::MF_SEPARATOR, 0, "")) {
        AppendSystemMenu(dlg::MF_STRING, kAboutCommandId, about);
    }

    SetIcon(appIcon);

    enableActions(discoverPorts() == 1);

    // Runs until the dialog object goes, also while no worker runs; a
    // message's arrival brings the next tick forward.
    engine::startDispatcher(st_);

    progressBar.SetRange32(0, 100);

    SetWindowText(instanceName(currentInstanceSlot()));
    return true;
}

dlg::LRESULT CKestUpdatorDlg::onSysCommand(dlg::WPARAM wParam, dlg::LPARAM lParam) {
    // The platform keeps private bits in the low four bits of the command.
    if ((wParam & 0xFFF0) == kAboutCommandId) {
        CAboutDlg about(this);
        about.DoModal();
        return 0;
    }
    return DefWindowProc(dlg::WM_SYSCOMMAND, wParam, lParam);
}

int CKestUpdatorDlg::openPorts() {
    if (st_.busy.load() == 1) {
        showError(engine::IDS_IN_PROGRESS);
        return -1;
    }
    st_.midiOut.Close();
    if (st_.midiOut.Open(outPortList.GetCurSel()) != 1) {
        showError(engine::IDS_CANT_OPEN_OUT);
        return -1;
    }
    st_.midiIn.Close();
    st_.midiIn.deviceIndex = inPortList.GetCurSel();
    if (st_.midiIn.Open() != 1) {
        showError(engine::IDS_CANT_OPEN_IN);
        return -1;
    }
    return 0;
}

void CKestUpdatorDlg::onExecute() {
    if (finishingWorker()) return;
    // A damaged program must not write damaged firmware into a unit: the
    // carried images are checked against the digests recorded when they were
    // built before a port is even opened. They cannot change while the
    // program runs, so once is enough.
    static const std::uint32_t damaged = engine::firstDamagedImage();
    if (damaged != 0) {
        dlg::MessageBox(this,
                        "Firmware image " + std::to_string(damaged) +
                            " carried by this program is damaged. Nothing was sent to the unit.",
                        engine::loadString(engine::IDS_ERROR_CAPTION),
                        dlg::MB_OK | dlg::MB_ICONHAND);
        return;
    }
    if (openPorts() != 0) return;
    rememberFocus();
    inPortList.EnableWindow(false);
    outPortList.EnableWindow(false);
    executeButton.EnableWindow(false);
    exitButton.EnableWindow(false);
    rescanButton.EnableWindow(false);
    versionCheckButton.EnableWindow(false);
    st_.busy = 1;
    st_.replyEvent.reset();
    startWorker(&engine::updateWorker);
}

void CKestUpdatorDlg::onVersionCheck() {
    if (finishingWorker()) return;
    if (openPorts() != 0) return;
    rememberFocus();
    inPortList.EnableWindow(false);
    outPortList.EnableWindow(false);
    versionCheckButton.EnableWindow(false);
    executeButton.EnableWindow(false);
    rescanButton.EnableWindow(false);
    st_.busy = 1;
    st_.replyEvent.reset();
    startWorker(&engine::versionCheckWorker);
}

bool CKestUpdatorDlg::finishingWorker() const {
    // A worker restores the controls (busy 0) and may still call into the
    // window after that: the update's end disables Execute and Version Check
    // right after restoring them. A click in between would start a second
    // worker beside the first, so it is not taken.
    return st_.busy.load() == 0 && workerRunning();
}

void CKestUpdatorDlg::startWorker(void (*body)(engine::UpdateState&)) {
    // Replies reach a worker only through the dispatcher's timer: one that
    // did not start with the window is tried once more here.
    if (st_.timer.timerId() == 0 && engine::startDispatcher(st_) == 0) {
        failedToStart();
        return;
    }
    workersRunning_.fetch_add(1);
    const bool started = sync::startThread([this, body] {
        body(st_);
        // The last touch of the dialog: after this the worker may outlive it.
        workersRunning_.fetch_sub(1);
    });
    if (!started) {
        workersRunning_.fetch_sub(1);
        failedToStart();
    }
}

void CKestUpdatorDlg::failedToStart() {
    // Nothing was sent: say so, and give the controls back rather than
    // leave them all disabled with busy set.
    showError(engine::IDS_TRANSFER_ERROR);
    restoreControls();
}

void CKestUpdatorDlg::onRescanDevice() {
    // The user has moved on from the last run: the focus stays theirs.
    focusPending_ = false;
    enableActions(discoverPorts() == 1);
}

void CKestUpdatorDlg::onDestroyWindow() { engine::abortForClose(st_); }

bool CKestUpdatorDlg::settleAfterClose(int maxMs) {
    st_.timer.Stop();
    dlg::Framework* fw = dlg::framework();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    while (workerRunning() && std::chrono::steady_clock::now() < deadline) {
        // A worker may be waiting for the UI thread to carry a call.
        if (fw != nullptr && fw->onUiThread()) {
            fw->processEvents(5);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return !workerRunning();
}

// ---- WindowInterface ----

void CKestUpdatorDlg::setStatusLine(const std::string& text) { statusLine.SetWindowText(text); }

void CKestUpdatorDlg::setStepCounter(const std::string& text) { stepCounter.SetWindowText(text); }

void CKestUpdatorDlg::setProgressRange(std::int32_t low, std::int32_t high) {
    progressBar.SetRange32(low, high);
}

void CKestUpdatorDlg::setProgressPos(std::int32_t pos) { progressBar.SetPos(pos); }

void CKestUpdatorDlg::showError(int stringId) {
    dlg::MessageBox(this, engine::loadString(stringId),
                    engine::loadString(engine::IDS_ERROR_CAPTION), dlg::MB_OK | dlg::MB_ICONHAND);
}

void CKestUpdatorDlg::showVersionReport(const std::string& text) {
    dlg::MessageBox(this, text, "Version Information", dlg::MB_OK | dlg::MB_ICONINFORMATION);
}

void CKestUpdatorDlg::restoreControls() {
    inPortList.EnableWindow(true);
    outPortList.EnableWindow(true);
    versionCheckButton.EnableWindow(true);
    executeButton.EnableWindow(true);
    exitButton.EnableWindow(true);
    rescanButton.EnableWindow(true);
    giveFocusBack();
    st_.busy = 0;
}

void CKestUpdatorDlg::enableActions(bool enable) {
    executeButton.EnableWindow(enable);
    versionCheckButton.EnableWindow(enable);
    // After a successful update Execute goes again right after coming back.
    if (!enable) giveFocusBack();
}

int CKestUpdatorDlg::cascadeIndex() const { return currentInstanceSlot() - 1; }

void CKestUpdatorDlg::rememberFocus() {
    int focused = 0;
    send([&focused](dlg::WindowImpl& w) { focused = w.focusedItem(); });
    focusAtStart_ = focused;
    focusPending_ = true;
}

void CKestUpdatorDlg::giveFocusBack() {
    if (!focusPending_.load()) return;
    const int wanted = focusAtStart_.load();
    send([wanted](dlg::WindowImpl& w) {
        // Wherever the focus went while the controls were off (nowhere on
        // the platform's dialog manager, which drops a disabled control's
        // focus; the next enabled control in Qt, Exit or a read-only field),
        // it goes back to where the run was started from.
        for (const int id : {wanted, static_cast<int>(IDC_RESCAN)}) {
            if (id != 0 && w.itemEnabled(id)) {
                if (w.focusedItem() != id) w.focusItem(id);
                return;
            }
        }
        w.focusFirstTabStop();
    });
}

int CKestUpdatorDlg::discoverPorts() { return ui::discoverPorts(outPortList, inPortList); }

void CKestUpdatorDlg::postVersionCheckDone(int result) {
    PostMessage(kVersionCheckDoneMessage, 0, static_cast<dlg::LPARAM>(result));
}

}  // namespace ql5::ui
