#include "platform/dialog/cwinapp.hpp"

#include <atomic>

namespace ql5::dlg {

namespace {
std::atomic<CWinApp*> gApp{nullptr};
}

CWinApp::CWinApp() { gApp.store(this); }

CWinApp::~CWinApp() {
    CWinApp* self = this;
    gApp.compare_exchange_strong(self, nullptr);
}

void CWinApp::setAppNameFromPath(const std::string& path) {
    std::string name = path;
    const auto slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name.erase(0, slash + 1);
    const auto dot = name.find_last_of('.');
    if (dot != std::string::npos && dot != 0) name.erase(dot);
    appName_ = name;
}

CWinApp* AfxGetApp() { return gApp.load(); }

}  // namespace ql5::dlg
