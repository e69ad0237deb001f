#pragma once
// The application object: one per process, reached through AfxGetApp.
#include <string>

namespace ql5::dlg {

class CDialog;

class CWinApp {
  public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Runs the program; false ends it without a message loop.
    virtual bool InitInstance() { return false; }

    // The executable's file name without its extension, once setAppName ran.
    const std::string& appName() const { return appName_; }
    // From the path the program was started with (argv[0]).
    void setAppNameFromPath(const std::string& path);

    CDialog* m_pMainWnd = nullptr;

  private:
    std::string appName_;
};

// The one application object, or null.
CWinApp* AfxGetApp();

}  // namespace ql5::dlg
