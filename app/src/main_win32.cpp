// The program's entry on Windows: the dialog framework on the platform's own
// dialog manager, the optional virtual unit, then the application object
// runs everything.
#include <string>

#include "app/CKestUpdatorApp.hpp"
#include "app/virtual_unit_option.hpp"
#include "platform/dialog/framework.hpp"
#include "ui/win32/win32_framework.hpp"  // <windows.h> last

namespace {

// Built before WinMain runs, as the framework expects its application object.
ql5::app::CKestUpdatorApp theApp;

std::string executablePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return "ql5-updater";
        if (n < path.size()) {
            path.resize(n);
            return ql5::ui::win32::narrow(path);
        }
        path.resize(path.size() * 2);  // a long path was cut short
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
    // The program takes no command line of its own.
    ql5::ui::win32::Win32Framework framework(instance);
    ql5::dlg::setFramework(&framework);
    theApp.setAppNameFromPath(executablePath());

    // Kept until the process ends: a worker may still talk to it.
    static auto virtualUnit = ql5::app::startVirtualUnitFromEnvironment();

    theApp.InitInstance();
    ql5::dlg::setFramework(nullptr);
    return 0;
}
