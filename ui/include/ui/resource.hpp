#pragma once
// Resource and control ids of the program's dialogs.

namespace ql5::ui {

inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDD_KESTUPDATOR_DIALOG = 103;
inline constexpr int IDR_MAINFRAME = 128;  // the application icon

inline constexpr int IDOK = 1;      // Execute in the main window, OK in the About box
inline constexpr int IDCANCEL = 2;  // Exit
inline constexpr int IDC_MIDIIN = 1000;
inline constexpr int IDC_MIDIOUT = 1001;
inline constexpr int IDC_PROGRESS = 1002;
inline constexpr int IDC_STATUS = 1003;  // also the About box's text field
inline constexpr int IDC_RESCAN = 1004;
inline constexpr int IDC_PICTURE = 1005;
inline constexpr int IDC_STEP = 1006;
inline constexpr int IDC_VERSIONCHECK = 1007;
inline constexpr int IDC_STATIC = -1;

inline constexpr unsigned kAboutCommandId = 0x0010;
inline constexpr unsigned kVersionCheckDoneMessage = 0x8001;  // WM_APP + 1

}  // namespace ql5::ui
