// The program's entry in a web page. It runs on a thread of its own (the
// page is built with PROXY_TO_PTHREAD), which is the dialogs' UI thread; the
// page (site/ql5.js) starts it once the browser's MIDI access is settled,
// with what the page's address asks for:
//   --virtual        plug the virtual unit in (index.html?virtual)
//   --virtual=page   the same unit behind the page's MIDI ports, which a
//                    test has replaced by a stand-in (page_unit_link.hpp)
//   --fault=SCRIPT   its faults, in the grammar of ql5 --fault
//   --realistic      its realistic timing profile
//   --timing=test    the short time-outs, as QL5_TIMING=test
#include <emscripten/em_asm.h>
#include <emscripten/emscripten.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/CKestUpdatorApp.hpp"
#include "emulator/virtual_unit.hpp"
#include "page_unit_link.hpp"
#include "platform/dialog/framework.hpp"
#include "ui/web/web_framework.hpp"

namespace {

ql5::app::CKestUpdatorApp theApp;

// The virtual unit, when the page plugged one in; set before any page call.
std::atomic<const ql5::emulator::VirtualUnit*> theUnit{nullptr};

struct PageOptions {
    bool virtualUnit = false;
    bool behindPage = false;
    bool realistic = false;
    bool testTiming = false;
    std::string faults;
};

PageOptions pageOptions(int argc, char** argv) {
    PageOptions o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--virtual")
            o.virtualUnit = true;
        else if (arg == "--virtual=page")
            o.virtualUnit = o.behindPage = true;
        else if (arg == "--realistic")
            o.realistic = true;
        else if (arg == "--timing=test")
            o.testTiming = true;
        else if (arg.rfind("--fault=", 0) == 0)
            o.faults = arg.substr(8);
    }
    return o;
}

void pageEnded(int code) {
    MAIN_THREAD_ASYNC_EM_ASM(
        {
            if (Module.ql5Ended) Module.ql5Ended($0);
        },
        code);
}

}  // namespace

int main(int argc, char** argv) {
    ql5::ui::web::WebFramework framework;
    ql5::dlg::setFramework(&framework);
    theApp.setAppNameFromPath("ql5-updater");
    const PageOptions o = pageOptions(argc, argv);
    if (o.testTiming) ::setenv("QL5_TIMING", "test", 1);

    // Kept until the program ends: a worker may still talk to it.
    static std::unique_ptr<ql5::emulator::VirtualUnit> unit;
    if (o.virtualUnit) {
        ql5::emulator::UnitConfig cfg;
        // As the desktop window's virtual unit: it unplugs itself after an
        // update and comes back with what was written.
        cfg.unplugAfterFinishMs = 1500;
        cfg.replugAfterMs = 3000;
        if (o.realistic) cfg.timing = ql5::emulator::TimingProfile::realistic();
        if (!o.faults.empty()) {
            std::string error;
            auto script = ql5::emulator::parseFaultScript(o.faults, &error);
            if (!script) {
                ql5::dlg::MessageBox(nullptr,
                                     "The virtual unit's fault script is not valid: " + error,
                                     "ql5-updater", ql5::dlg::MB_OK | ql5::dlg::MB_ICONHAND);
                ql5::dlg::setFramework(nullptr);
                pageEnded(2);
                return 2;
            }
            cfg.faults = *script;
        }
        unit = o.behindPage ? std::make_unique<ql5::emulator::VirtualUnit>(std::move(cfg),
                                                                           ql5::app::pageUnitLink())
                            : std::make_unique<ql5::emulator::VirtualUnit>(std::move(cfg));
    }

    theUnit = unit.get();

    theApp.InitInstance();
    ql5::dlg::setFramework(nullptr);
    pageEnded(0);
    return 0;
}

// The virtual unit's modeled time so far in milliseconds (device and link
// time of its timing profile), for the figures of a run; -1 without a unit.
extern "C" EMSCRIPTEN_KEEPALIVE double ql5_virtual_unit_modeled_ms() {
    const ql5::emulator::VirtualUnit* unit = theUnit.load();
    if (unit == nullptr) return -1;
    return std::chrono::duration<double, std::milli>(unit->modeledTime()).count();
}
