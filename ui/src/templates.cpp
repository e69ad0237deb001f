#include "ui/templates.hpp"

#include "ui/resource.hpp"

namespace ql5::ui {

using dlg::ControlKind;
namespace st = dlg;

namespace {
constexpr std::uint32_t kStatusEdit =
    st::kReadOnly | st::kAutoHScroll | st::kNoBorder | st::kTabStop;
constexpr std::uint32_t kPortList = st::kVScroll | st::kTabStop;  // list only, not sorted
}  // namespace

const dlg::DialogTemplate& mainDialogTemplate() {
    static const dlg::DialogTemplate tpl{
        IDD_KESTUPDATOR_DIALOG,
        "",  // set at initialisation to the instance name
        239,
        161,
        "MS UI Gothic",
        9,
        st::kCaption | st::kSystemMenu | st::kAppWindow,
        {
            {IDOK, ControlKind::PushButton, "Execute", 119, 138, 50, 16,
             st::kDefaultButton | st::kTabStop},
            {IDCANCEL, ControlKind::PushButton, "Exit", 182, 138, 50, 16, st::kTabStop},
            {IDC_STATIC, ControlKind::StaticText, "MIDI IN", 7, 7, 225, 8, 0},
            {IDC_STATIC, ControlKind::StaticText, "MIDI OUT", 7, 37, 225, 8, 0},
            {IDC_MIDIIN, ControlKind::DropDownList, "", 7, 15, 225, 115, kPortList},
            {IDC_MIDIOUT, ControlKind::DropDownList, "", 7, 45, 225, 115, kPortList},
            {IDC_PROGRESS, ControlKind::ProgressBar, "", 7, 107, 225, 14, st::kBorder},
            {IDC_STATUS, ControlKind::Edit, "", 12, 91, 220, 12, kStatusEdit},
            {IDC_RESCAN, ControlKind::PushButton, "Rescan Device", 145, 65, 87, 16,
             st::kDefaultButton | st::kTabStop},
            // A bitmap frame that is never filled.
            {IDC_PICTURE, ControlKind::StaticPicture, "", 7, 134, 20, 20, 0},
            {IDC_STEP, ControlKind::Edit, "", 12, 78, 29, 12, kStatusEdit},
            {IDC_VERSIONCHECK, ControlKind::PushButton, "Version Check", 26, 140, 62, 14,
             st::kTabStop},
        }};
    return tpl;
}

const dlg::DialogTemplate& aboutDialogTemplate() {
    static const dlg::DialogTemplate tpl{
        IDD_ABOUTBOX,
        "About Tarvik Dorn Series Updater",
        235,
        60,
        "MS UI Gothic",
        9,
        st::kCaption | st::kSystemMenu,
        {
            {IDC_STATIC, ControlKind::StaticIcon, "128", 11, 17, 20, 20, 0},
            {IDOK, ControlKind::PushButton, "OK", 178, 6, 50, 16,
             st::kDefaultButton | st::kGroup | st::kTabStop},
            {IDC_STATUS, ControlKind::Edit, "", 39, 19, 134, 14,
             st::kReadOnly | st::kNoBorder | st::kTabStop},
        }};
    return tpl;
}

}  // namespace ql5::ui
