#pragma once
// The About box: the icon, the program's name and version in a read-only
// field, and OK.
#include "platform/dialog/cdialog.hpp"
#include "platform/dialog/controls.hpp"

namespace ql5::ui {

class CAboutDlg : public dlg::CDialog {
  public:
    explicit CAboutDlg(dlg::CDialog* parent = nullptr);

    dlg::CEdit aboutText;

  protected:
    void DoDataExchange() override;
    bool OnInitDialog() override;
};

}  // namespace ql5::ui
