#pragma once
// <windows.h> for sources that also use the dialog seam. The seam names its
// constants and operations as the platform does (WM_SYSCOMMAND, IDOK,
// MessageBox, SetWindowText …), and <windows.h> makes those names macros; so
// the seam comes first, and the macros that would rewrite its names are
// dropped here. The seam's constants carry the platform's values, so code
// below uses dlg::WM_SYSCOMMAND and friends, and the wide functions by their
// own names (MessageBoxW, SetWindowTextW …).
#include "platform/dialog/cdialog.hpp"
#include "platform/dialog/controls.hpp"
#include "platform/dialog/cwinapp.hpp"
#include "platform/dialog/framework.hpp"
#include "platform/dialog/messages.hpp"

#ifndef NOMINMAX
#define NOMINMAX
#endif
// Without the multimedia API either: platform/mm mirrors its names too.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// The common controls after windows.h, which they build on.
#include <commctrl.h>

#undef MessageBox
#undef SetWindowText
#undef GetWindowText
#undef PostMessage
#undef DefWindowProc
#undef WM_DESTROY
#undef WM_PAINT
#undef WM_QUERYDRAGICON
#undef WM_SYSCOMMAND
#undef WM_APP
#undef SC_CLOSE
#undef IDOK
#undef IDCANCEL
#undef MF_STRING
#undef MF_SEPARATOR
#undef MB_OK
#undef MB_ICONHAND
#undef MB_ICONSTOP
#undef MB_ICONEXCLAMATION
#undef MB_ICONWARNING
#undef MB_ICONINFORMATION
#undef MB_ICONMASK
