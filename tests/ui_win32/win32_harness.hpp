#pragma once
// What the Win32 window tests share: the framework on the test's main
// thread, waits that keep that thread handling messages, message boxes
// answered and recorded, and the native controls read through their handles.
#include "ui/win32/win32_framework.hpp"  // <windows.h> after the dialog seam

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace ql5::test {

// Made on first use, on the test's main thread, and kept for the process.
inline ui::win32::Win32Framework& win32Framework() {
    static ui::win32::Win32Framework* fw = [] {
        auto* f = new ui::win32::Win32Framework;
        dlg::setFramework(f);
        return f;
    }();
    return *fw;
}

// Handles messages until pred holds or ms have passed; the result of pred.
inline bool waitUntil(const std::function<bool()>& pred, int ms) {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
    while (!pred()) {
        if (GetTickCount64() > end) return pred();
        win32Framework().processEvents(2);
    }
    return true;
}

inline void pumpFor(int ms) {
    waitUntil([] { return false; }, ms);
}

// Runs the dialog modally with body inside its modal loop, then ends the
// modal run if body did not. Returns the result of DoModal.
inline int runWithin(dlg::CDialog& dialog, const std::function<void()>& body) {
    win32Framework();
    bool ran = false;
    dlg::setModalHook([&](dlg::CDialog& d) {
        if (&d != &dialog || ran) return;
        ran = true;
        body();
        if (d.windowExists()) d.EndDialog(dlg::IDCANCEL);
    });
    const int result = dialog.DoModal();
    dlg::setModalHook(nullptr);
    return result;
}

inline HWND hwnd(const dlg::CDialog& dialog) { return ui::win32::hwndOf(dialog.window()); }

inline std::string text(HWND h) {
    wchar_t buf[512] = {};
    if (h != nullptr) GetWindowTextW(h, buf, 512);
    return ui::win32::narrow(buf);
}

inline std::string itemText(const dlg::CDialog& dialog, int id) {
    return text(GetDlgItem(hwnd(dialog), id));
}

inline bool itemEnabled(const dlg::CDialog& dialog, int id) {
    HWND h = GetDlgItem(hwnd(dialog), id);
    return h != nullptr && IsWindowEnabled(h) != FALSE;
}

// A click on the native button, as the mouse makes it.
inline void click(const dlg::CDialog& dialog, int id) {
    HWND h = GetDlgItem(hwnd(dialog), id);
    if (h != nullptr && IsWindowEnabled(h)) SendMessageW(h, BM_CLICK, 0, 0);
}

// Every text a native control is given while it lives, however briefly it
// stood there, added to a set when the log ends. The control is subclassed
// for that; its texts come on the UI thread, which is the test's.
class TextLog {
  public:
    TextLog(HWND h, std::set<std::string>& into) : h_(h), into_(into) {
        SetPropW(h_, kProp, this);
        old_ = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(h_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&proc)));
    }
    ~TextLog() {
        if (IsWindow(h_)) {
            SetWindowLongPtrW(h_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(old_));
            RemovePropW(h_, kProp);
        }
        into_.insert(texts_.begin(), texts_.end());
    }
    TextLog(const TextLog&) = delete;
    TextLog& operator=(const TextLog&) = delete;

  private:
    static constexpr const wchar_t* kProp = L"ql5.test.textlog";
    static LRESULT CALLBACK proc(HWND h, UINT m, WPARAM w, LPARAM l) {
        auto* self = static_cast<TextLog*>(GetPropW(h, kProp));
        if (m == WM_SETTEXT && l != 0) {
            self->texts_.push_back(ui::win32::narrow(reinterpret_cast<const wchar_t*>(l)));
        }
        return CallWindowProcW(self->old_, h, m, w, l);
    }
    HWND h_;
    std::set<std::string>& into_;
    WNDPROC old_ = nullptr;
    std::vector<std::string> texts_;
};

// Records every message box and answers it with OK at once; onBox runs
// first, on the thread that asked.
class BoxRecorder {
  public:
    BoxRecorder() {
        dlg::setMessageBoxHook([this](const dlg::MessageBoxRequest& r) {
            std::function<void(const dlg::MessageBoxRequest&)> cb;
            {
                std::lock_guard<std::mutex> lock(m_);
                boxes_.push_back(r);
                cb = onBox;
            }
            if (cb) cb(r);
            return dlg::IDOK;
        });
    }
    ~BoxRecorder() { dlg::setMessageBoxHook(nullptr); }
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;

    std::vector<dlg::MessageBoxRequest> boxes() const {
        std::lock_guard<std::mutex> lock(m_);
        return boxes_;
    }

    std::function<void(const dlg::MessageBoxRequest&)> onBox;

  private:
    mutable std::mutex m_;
    std::vector<dlg::MessageBoxRequest> boxes_;
};

// A real message box of this process with the given caption, once it shows;
// null after ms.
inline HWND findBox(const std::string& caption, int ms) {
    struct Search {
        std::wstring caption;
        HWND found = nullptr;
    } search{ui::win32::widen(caption)};
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
    while (search.found == nullptr && GetTickCount64() < end) {
        EnumWindows(
            [](HWND h, LPARAM p) -> BOOL {
                auto* s = reinterpret_cast<Search*>(p);
                DWORD pid = 0;
                GetWindowThreadProcessId(h, &pid);
                wchar_t cls[16] = {}, title[256] = {};
                GetClassNameW(h, cls, 16);
                GetWindowTextW(h, title, 256);
                if (pid == GetCurrentProcessId() && IsWindowVisible(h) &&
                    lstrcmpW(cls, L"#32770") == 0 && s->caption == title) {
                    s->found = h;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        if (search.found == nullptr) Sleep(10);
    }
    return search.found;
}

// The texts of a window's static children, in order.
inline std::vector<std::string> staticTexts(HWND parent) {
    std::vector<std::string> out;
    for (HWND c = GetWindow(parent, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
        wchar_t cls[16] = {};
        GetClassNameW(c, cls, 16);
        if (lstrcmpiW(cls, L"Static") == 0 && GetWindowTextLengthW(c) > 0) out.push_back(text(c));
    }
    return out;
}

}  // namespace ql5::test
