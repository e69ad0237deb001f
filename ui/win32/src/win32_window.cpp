#include "win32_window.hpp"
#include "ui/win32/win32_framework.hpp"

namespace ql5::ui::win32 {

namespace {
// Posted to the dialog itself: the focus a deactivated window was promised,
// put there once the dialog manager has restored the focus it saved.
constexpr UINT kApplyPendingFocus = dlg::WM_APP + 0x102;
}  // namespace

Win32Window::Win32Window(dlg::CDialog& dialog, const dlg::DialogTemplate& tpl, HINSTANCE instance,
                         HWND owner)
    : dialog_(dialog), template_(buildDialogTemplate(tpl)), instance_(instance), owner_(owner) {}

Win32Window::~Win32Window() {
    if (bigIcon_ != nullptr) DestroyIcon(bigIcon_);
    if (smallIcon_ != nullptr) DestroyIcon(smallIcon_);
}

int Win32Window::runModal(const std::function<void()>& init) {
    init_ = &init;
    const INT_PTR result =
        DialogBoxIndirectParamW(instance_, reinterpret_cast<LPCDLGTEMPLATEW>(template_.data()),
                                owner_, &dialogProc, reinterpret_cast<LPARAM>(this));
    init_ = nullptr;
    hwnd_ = nullptr;
    return static_cast<int>(result);
}

INT_PTR CALLBACK Win32Window::dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto* self = reinterpret_cast<Win32Window*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        self->hwnd_ = hwnd;
        return self->handle(message, wParam, lParam);
    }
    auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (self == nullptr || self->hwnd_ != hwnd) return FALSE;
    return self->handle(message, wParam, lParam);
}

INT_PTR Win32Window::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            inInit_ = true;
            if (init_ != nullptr) (*init_)();
            inInit_ = false;
            if (ended_) {
                ::EndDialog(hwnd_, endResult_);
                return FALSE;
            }
            // TRUE: the dialog manager puts the focus on the first tab stop.
            return platformFocus_ ? TRUE : FALSE;
        }
        case WM_ACTIVATE:
            if (LOWORD(wParam) != WA_INACTIVE && pendingFocus_ != 0) {
                PostMessageW(hwnd_, kApplyPendingFocus, 0, 0);
            }
            return FALSE;
        case kApplyPendingFocus: {
            const int id = pendingFocus_;
            pendingFocus_ = 0;
            if (id != 0) focusItem(id);
            return TRUE;
        }
        case WM_COMMAND:
            // Clicks, Enter (the default button) and Escape or Close
            // (IDCANCEL) all arrive as a button's click.
            if (HIWORD(wParam) == BN_CLICKED) {
                dialog_.dispatchCommand(static_cast<int>(LOWORD(wParam)));
                return TRUE;
            }
            return FALSE;
        case dlg::WM_SYSCOMMAND: {
            // Every system command reaches the dialog's message map first;
            // those that are not the window's own entries or Close (which
            // the map turns into the cancel command) then get the platform's
            // default (move, minimise, the keyboard menu and the rest).
            const dlg::UINT command = static_cast<dlg::UINT>(wParam & 0xFFF0);
            dialog_.dispatchMessage(dlg::WM_SYSCOMMAND, static_cast<dlg::WPARAM>(wParam),
                                    static_cast<dlg::LPARAM>(lParam));
            return (command == dlg::SC_CLOSE || systemCommands_.count(command) != 0) ? TRUE : FALSE;
        }
        default:
            return FALSE;
    }
}

void Win32Window::endModal(int result) {
    ended_ = true;
    endResult_ = result;
    // Within WM_INITDIALOG the run ends once initialisation has returned.
    if (hwnd_ != nullptr && !inInit_) ::EndDialog(hwnd_, result);
}

void Win32Window::destroy() { hwnd_ = nullptr; }

void Win32Window::focusFirstTabStop() {
    if (inInit_) {
        platformFocus_ = true;
        return;
    }
    if (hwnd_ == nullptr) return;
    if (HWND first = GetNextDlgTabItem(hwnd_, nullptr, FALSE)) {
        SendMessageW(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(first), TRUE);
    }
}

void Win32Window::focusItem(int id) {
    HWND h = item(id);
    if (h == nullptr || IsWindowEnabled(h) == FALSE) return;
    if (GetActiveWindow() != hwnd_) {
        // SetFocus would activate the window over whatever the user is on.
        pendingFocus_ = id;
        return;
    }
    pendingFocus_ = 0;
    // WM_NEXTDLGCTL rather than SetFocus: the dialog manager moves the
    // default-button look along with the focus.
    SendMessageW(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(h), TRUE);
}

void Win32Window::place(int cascade) {
    if (hwnd_ == nullptr) return;
    RECT window{};
    GetWindowRect(hwnd_, &window);
    const int width = window.right - window.left;
    const int height = window.bottom - window.top;
    // The work area (the screen without the task bar) of the monitor the
    // owner is on, or the primary one.
    HWND owner = GetWindow(hwnd_, GW_OWNER);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    RECT work{};
    if (!GetMonitorInfoW(
            MonitorFromWindow(owner != nullptr ? owner : hwnd_, MONITOR_DEFAULTTOPRIMARY),
            &monitor)) {
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    } else {
        work = monitor.rcWork;
    }
    RECT around = work;
    if (owner != nullptr && IsWindowVisible(owner)) GetWindowRect(owner, &around);
    const dlg::Placement p =
        dlg::placeWindow({around.left, around.top, around.right, around.bottom},
                         {work.left, work.top, work.right, work.bottom}, width, height, cascade,
                         GetSystemMetrics(SM_CYCAPTION) + GetSystemMetrics(SM_CYFRAME));
    SetWindowPos(hwnd_, nullptr, p.x, p.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Window::setTitle(const std::string& text) {
    if (hwnd_ != nullptr) SetWindowTextW(hwnd_, widen(text).c_str());
}

namespace {
std::wstring windowText(HWND h) {
    if (h == nullptr) return {};
    const int n = GetWindowTextLengthW(h);
    std::wstring text(static_cast<std::size_t>(n) + 1, L'\0');
    const int got = GetWindowTextW(h, text.data(), n + 1);
    text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
    return text;
}
}  // namespace

std::string Win32Window::title() const { return narrow(windowText(hwnd_)); }

void Win32Window::setIcon(int iconId) {
    if (hwnd_ == nullptr) return;
    const auto load = [this, iconId](int metricX, int metricY) {
        return static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(iconId), IMAGE_ICON,
                                             GetSystemMetrics(metricX), GetSystemMetrics(metricY),
                                             LR_DEFAULTCOLOR));
    };
    HICON big = load(SM_CXICON, SM_CYICON);
    HICON small = load(SM_CXSMICON, SM_CYSMICON);
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
    // The window keeps using the icons: the old ones go only once replaced.
    if (bigIcon_ != nullptr) DestroyIcon(bigIcon_);
    if (smallIcon_ != nullptr) DestroyIcon(smallIcon_);
    bigIcon_ = big;
    smallIcon_ = small;
}

bool Win32Window::appendSystemMenu(dlg::UINT flags, dlg::UINT commandId, const std::string& text) {
    if (hwnd_ == nullptr) return false;
    HMENU menu = GetSystemMenu(hwnd_, FALSE);
    if (menu == nullptr) return false;
    BOOL done = FALSE;
    if (flags & dlg::MF_SEPARATOR) {
        done = AppendMenuW(menu, dlg::MF_SEPARATOR, 0, nullptr);
    } else {
        done = AppendMenuW(menu, dlg::MF_STRING, commandId, widen(text).c_str());
        if (done) systemCommands_.insert(commandId & 0xFFF0);
    }
    return done != FALSE;
}

HWND Win32Window::item(int id) const { return hwnd_ != nullptr ? GetDlgItem(hwnd_, id) : nullptr; }

LRESULT Win32Window::sendItem(int id, UINT message, WPARAM wParam, LPARAM lParam) const {
    HWND h = item(id);
    return h != nullptr ? SendMessageW(h, message, wParam, lParam) : 0;
}

bool Win32Window::hasItem(int id) const { return item(id) != nullptr; }

void Win32Window::setItemText(int id, const std::string& text) {
    if (HWND h = item(id)) SetWindowTextW(h, widen(text).c_str());
}

std::string Win32Window::itemText(int id) const { return narrow(windowText(item(id))); }

void Win32Window::enableItem(int id, bool enable) {
    if (HWND h = item(id)) EnableWindow(h, enable ? TRUE : FALSE);
}

bool Win32Window::itemEnabled(int id) const {
    HWND h = item(id);
    return h != nullptr && IsWindowEnabled(h) != FALSE;
}

bool Win32Window::itemReadOnly(int id) const {
    HWND h = item(id);
    if (h == nullptr) return false;
    wchar_t cls[16] = {};
    GetClassNameW(h, cls, 16);
    return lstrcmpiW(cls, L"Edit") == 0 && (GetWindowLongW(h, GWL_STYLE) & ES_READONLY) != 0;
}

int Win32Window::focusedItem() const {
    HWND f = GetFocus();
    if (hwnd_ == nullptr || f == nullptr || !IsChild(hwnd_, f)) return 0;
    // A control's own child (a list's field) counts as the control.
    while (GetParent(f) != hwnd_) f = GetParent(f);
    return GetDlgCtrlID(f);
}

void Win32Window::comboReset(int id) { sendItem(id, CB_RESETCONTENT); }

int Win32Window::comboAdd(int id, const std::string& text) {
    if (item(id) == nullptr) return -1;
    const std::wstring wide = widen(text, CP_ACP);
    const auto pos = sendItem(id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
    return pos >= 0 ? static_cast<int>(pos) : -1;
}

int Win32Window::comboCount(int id) const {
    const auto n = sendItem(id, CB_GETCOUNT);
    return n > 0 ? static_cast<int>(n) : 0;
}

std::string Win32Window::comboText(int id, int index) const {
    const auto len = sendItem(id, CB_GETLBTEXTLEN, static_cast<WPARAM>(index));
    if (len < 0 || index < 0) return {};
    std::wstring text(static_cast<std::size_t>(len) + 1, L'\0');
    const auto got = sendItem(id, CB_GETLBTEXT, static_cast<WPARAM>(index),
                              reinterpret_cast<LPARAM>(text.data()));
    if (got < 0) return {};
    text.resize(static_cast<std::size_t>(got));
    return narrow(text, CP_ACP);
}

int Win32Window::comboSetSel(int id, int index) {
    if (item(id) == nullptr) return -1;
    const auto r = sendItem(id, CB_SETCURSEL, static_cast<WPARAM>(index));
    return r >= 0 ? static_cast<int>(r) : -1;
}

int Win32Window::comboGetSel(int id) const {
    if (item(id) == nullptr) return -1;
    const auto r = sendItem(id, CB_GETCURSEL);
    return r >= 0 ? static_cast<int>(r) : -1;
}

void Win32Window::progressSetRange(int id, int low, int high) {
    sendItem(id, PBM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
}

std::pair<int, int> Win32Window::progressRange(int id) const {
    PBRANGE range{0, 0};
    if (item(id) == nullptr) return {0, 0};
    sendItem(id, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
    return {range.iLow, range.iHigh};
}

void Win32Window::progressSetPos(int id, int pos) {
    sendItem(id, PBM_SETPOS, static_cast<WPARAM>(pos));
}

int Win32Window::progressPos(int id) const { return static_cast<int>(sendItem(id, PBM_GETPOS)); }

}  // namespace ql5::ui::win32
