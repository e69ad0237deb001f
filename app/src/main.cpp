// The program's entry: the Qt application, the dialog framework on it, the
// optional virtual unit, then the application object runs everything.
#include <unistd.h>
#include <QApplication>
#include <climits>
#include <string>

#include "app/CKestUpdatorApp.hpp"
#include "app/virtual_unit_option.hpp"
#include "platform/dialog/framework.hpp"
#include "ui/qt/qt_framework.hpp"

namespace {

// Built before main runs, as the framework expects its application object.
ql5::app::CKestUpdatorApp theApp;

std::string executablePath(const char* argv0) {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) return std::string(path, static_cast<std::size_t>(n));
    return argv0 != nullptr ? argv0 : "ql5-updater";
}

}  // namespace

int main(int argc, char** argv) {
    // The program takes no command line of its own.
    QApplication qtApp(argc, argv);
    ql5::ui::qt::QtFramework framework;
    ql5::dlg::setFramework(&framework);
    theApp.setAppNameFromPath(executablePath(argc > 0 ? argv[0] : nullptr));

    // Kept until the process ends: a worker may still talk to it.
    static auto virtualUnit = ql5::app::startVirtualUnitFromEnvironment();

    theApp.InitInstance();
    ql5::dlg::setFramework(nullptr);
    return 0;
}
