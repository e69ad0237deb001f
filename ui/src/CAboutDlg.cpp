#include "ui/CAboutDlg.hpp"

#include "ui/resource.hpp"
#include "ui/templates.hpp"

namespace ql5::ui {

CAboutDlg::CAboutDlg(dlg::CDialog* parent) : dlg::CDialog(aboutDialogTemplate(), parent) {}

void CAboutDlg::DoDataExchange() { DDX_Control(IDC_STATUS, aboutText); }

bool CAboutDlg::OnInitDialog() {
    dlg::CDialog::OnInitDialog();
    // The name without the slot number: that shows only in the main title.
    aboutText.SetWindowText("Tarvik QL-5 System v1.20 Updater");
    return true;
}

}  // namespace ql5::ui
