#include "app/CKestUpdatorApp.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/dialog/framework.hpp"
#include "ui/CKestUpdatorDlg.hpp"

namespace ql5::app {

namespace {
// How long a worker still running when the window has closed gets to return
// before the process ends under it.
constexpr int kWorkerGraceMs = 500;
}  // namespace

std::string instanceLimitMessage() {
    char text[96];
    std::snprintf(text, sizeof text,
                  "It is forbidden to launch more than %d instance of this application.",
                  ui::kInstanceSlots);
    return text;
}

bool CKestUpdatorApp::claimSlot() {
    for (int n = 1; n <= ui::kInstanceSlots; ++n) {
        instanceMutex = instances::NamedMarker::create(ui::instanceName(n));
        if (instanceMutex.outcome() == instances::NamedMarker::Outcome::Created) {
            instanceSlot = n;
            return true;
        }
        // Taken, or no marker could be made at all: both mean "try the next".
        instanceMutex.close();
    }
    return false;
}

bool CKestUpdatorApp::InitInstance() {
    // Qt needs no counterpart of the common-control registration, the
    // framework's default initialisation or its control-hosting support.
    if (!claimSlot()) {
        dlg::MessageBox(nullptr, instanceLimitMessage(), appName(),
                        dlg::MB_OK | dlg::MB_ICONEXCLAMATION);
        return false;
    }

    // On the heap: a worker that is still running when the window has
    // closed uses the dialog until the process ends.
    auto* dialog = new ui::CKestUpdatorDlg(nullptr);
    // Short time-outs for trying faults against the virtual unit, as the
    // command-line program offers.
    if (const char* t = std::getenv("QL5_TIMING"); t != nullptr && std::strcmp(t, "test") == 0) {
        dialog->state().timing = sync::Timing::forTests();
    }
    m_pMainWnd = dialog;
    dialog->DoModal();
    m_pMainWnd = nullptr;
    if (dialog->settleAfterClose(kWorkerGraceMs)) {
        delete dialog;
        return false;
    }
    // A worker is still inside the engine (a wait that the close could not
    // cut short). Nothing it uses may be destroyed under it, and the timer
    // is already stopped: end the process here, without running the
    // destructors of anything the worker might touch.
    // Only the two output streams: flushing every stream would also wait
    // for the lock of one that another thread is blocked reading.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(0);
}

}  // namespace ql5::app
