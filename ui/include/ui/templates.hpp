#pragma once
// The dialog templates as data.
#include "platform/dialog/dialog_template.hpp"

namespace ql5::ui {

// Template 103: the main window.
const dlg::DialogTemplate& mainDialogTemplate();
// Template 100: the About box.
const dlg::DialogTemplate& aboutDialogTemplate();

}  // namespace ql5::ui
