// The application as the process tests run it: the real shell and window on
// the offscreen platform, with only in-process MIDI devices, message boxes
// answered and reported on stdout, and the window driven from stdin.
//
// stdout: "TITLE\t<window title>" once the main window runs,
//         "BOX\t<caption>\t<text>" for every message box (tab and line feed
//         in the text written as \t and \n), "CLOSING" when it closes the
//         window on request, "END" when the shell has returned.
//         "STATE\t<Execute enabled>\t<Version Check enabled>\t<busy>\t<status
//         line>\t<selected input>\t<selected output>" on "report".
// stdin:  "click <id>", "report", "sleep <ms>", "close", "close-after <kind> <n>" (close once the
//         virtual unit has received n requests of the kind); end of input
//         closes the window.
// QL5_PROBE_SYSTEM_DRIVERS keeps the platform's own MIDI drivers instead of
// the in-process ones. QL5_PROBE_FAULTS in the environment plugs in a virtual unit with that
// fault script (may be empty); QL5_PROBE_HANG_SENDS makes its sends never
// finish. QL5_PROBE_SCOPE keeps its instance markers
// apart from those of other copies.
#include <unistd.h>
#include <QApplication>
#include <QPushButton>
#include <QWidget>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "app/CKestUpdatorApp.hpp"
#include "app/virtual_unit_option.hpp"
#include "emulator/virtual_unit.hpp"
#include "platform/dialog/framework.hpp"
#include "platform/mm/driver.hpp"
#include "platform/mm/virtual_driver.hpp"
#include "platform/slots/named_marker.hpp"
#include "ui/CKestUpdatorDlg.hpp"
#include "ui/qt/qt_framework.hpp"

namespace {

ql5::app::CKestUpdatorApp theApp;
std::mutex outMutex;
std::unique_ptr<ql5::emulator::VirtualUnit> unit;

void say(const std::string& line) {
    std::lock_guard<std::mutex> lock(outMutex);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

ql5::emulator::RequestKind kindOf(const std::string& name) {
    using K = ql5::emulator::RequestKind;
    for (K k : {K::Identity, K::Begin, K::Write, K::Finish, K::Erase, K::Read, K::Other}) {
        if (ql5::emulator::requestKindName(k) == name) return k;
    }
    return K::Any;
}

void closeWindow(ql5::dlg::Framework* fw, ql5::ui::CKestUpdatorDlg* dlg) {
    fw->post([dlg] {
        if (!dlg->windowExists()) return;
        QWidget* w = ql5::ui::qt::widgetOf(dlg->window());
        if (w != nullptr) w->close();
    });
}

void commandLoop(ql5::dlg::Framework* fw, ql5::ui::CKestUpdatorDlg* dlg) {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        if (cmd == "click") {
            int id = 0;
            in >> id;
            fw->post([dlg, id] {
                QWidget* w = ql5::ui::qt::widgetOf(dlg->window());
                auto* b = w != nullptr
                              ? w->findChild<QPushButton*>(QStringLiteral("control%1").arg(id))
                              : nullptr;
                if (b != nullptr) b->click();
            });
        } else if (cmd == "report") {
            // Read through the dialog's own wrappers, from this thread, as a
            // worker would.
            say("STATE\t" + std::to_string(dlg->executeButton.IsWindowEnabled()) + "\t" +
                std::to_string(dlg->versionCheckButton.IsWindowEnabled()) + "\t" +
                std::to_string(dlg->state().busy.load()) + "\t" + dlg->statusLine.GetWindowText() +
                "\t" + dlg->inPortList.GetLBText(dlg->inPortList.GetCurSel()) + "\t" +
                dlg->outPortList.GetLBText(dlg->outPortList.GetCurSel()));
        } else if (cmd == "sleep") {
            int ms = 0;
            in >> ms;
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        } else if (cmd == "close") {
            say("CLOSING");
            closeWindow(fw, dlg);
        } else if (cmd == "close-after") {
            std::string kind;
            std::uint64_t n = 0;
            in >> kind >> n;
            if (!unit || !unit->waitForRequests(kindOf(kind), n, std::chrono::seconds(60))) {
                say("NOREQUEST");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            say("CLOSING");
            closeWindow(fw, dlg);
        }
    }
    say("CLOSING");
    closeWindow(fw, dlg);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qtApp(argc, argv);
    ql5::ui::qt::QtFramework fw;
    ql5::dlg::setFramework(&fw);
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    theApp.setAppNameFromPath(n > 0 ? std::string(path, static_cast<std::size_t>(n)) : argv[0]);

    // Slots apart from real copies of the program and from other test runs.
    if (const char* scope = std::getenv("QL5_PROBE_SCOPE"))
        ql5::instances::NamedMarker::setScope(scope);
    // QL5_PROBE_SYSTEM_DRIVERS: the platform's own drivers (ALSA on Linux),
    // for driving the window against real cards (the real-kernel script).
    if (std::getenv("QL5_PROBE_SYSTEM_DRIVERS") == nullptr) {
        ql5::mm::setDrivers({ql5::mm::virt::virtualDriver()});
    }
    if (const char* faults = std::getenv("QL5_PROBE_FAULTS")) {
        ql5::emulator::UnitConfig cfg;
        cfg.unplugAfterFinishMs = 60000;
        unit = std::make_unique<ql5::emulator::VirtualUnit>(cfg);
        if (!unit->setFaults(faults, nullptr)) say("BADFAULTS");
        // A platform that never finishes a send: the sender waits for its bound.
        if (std::getenv("QL5_PROBE_HANG_SENDS") != nullptr) unit->device()->neverMarkDone(true);
    }

    // The program's own virtual unit (QL5_VIRTUAL_UNIT=1).
    static auto envUnit = ql5::app::startVirtualUnitFromEnvironment();

    ql5::dlg::setMessageBoxHook([](const ql5::dlg::MessageBoxRequest& r) {
        say("BOX\t" + r.caption + "\t" + escape(r.text));
        return ql5::dlg::IDOK;
    });
    ql5::dlg::setModalHook([&fw](ql5::dlg::CDialog& d) {
        auto* dlg = dynamic_cast<ql5::ui::CKestUpdatorDlg*>(&d);
        if (dlg == nullptr) return;
        say("TITLE\t" + dlg->GetWindowText());
        std::thread(commandLoop, &fw, dlg).detach();
    });

    theApp.InitInstance();
    say("END");
    ql5::dlg::setFramework(nullptr);
    return 0;
}
