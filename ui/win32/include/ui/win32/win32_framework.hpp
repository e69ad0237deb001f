#pragma once
// The dialog framework on the platform's own dialog manager. Make one on the
// thread that runs the windows, before the first dialog, and install it with
// dlg::setFramework.
#include "ui/win32/windows_api.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ql5::ui::win32 {

class Win32Framework : public dlg::Framework {
  public:
    // instance: the module whose resources the dialogs load (icon 128);
    // null means the executable.
    explicit Win32Framework(HINSTANCE instance = nullptr);
    ~Win32Framework() override;
    Win32Framework(const Win32Framework&) = delete;
    Win32Framework& operator=(const Win32Framework&) = delete;

    std::unique_ptr<dlg::WindowImpl> createWindow(dlg::CDialog& dialog,
                                                  const dlg::DialogTemplate& tpl,
                                                  dlg::WindowImpl* parent) override;
    int messageBox(dlg::WindowImpl* owner, const std::string& text, const std::string& caption,
                   dlg::UINT type) override;
    bool onUiThread() const override;
    void send(const std::function<void()>& fn) override;
    void post(std::function<void()> fn) override;
    void processEvents(int maxMs) override;

    HINSTANCE instance() const { return instance_; }

  private:
    static LRESULT CALLBACK invokerProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    HINSTANCE instance_;
    DWORD uiThread_;
    HWND invoker_ = nullptr;  // message-only window that runs carried calls
};

// The in-memory extended dialog template (DLGTEMPLATEEX and its items) of a
// template, DWORD-aligned as DialogBoxIndirectParamW expects it.
std::vector<std::uint32_t> buildDialogTemplate(const dlg::DialogTemplate& tpl);
// The window and extended styles a control of the template gets.
DWORD controlStyle(const dlg::ControlTemplate& c);
DWORD dialogStyle(const dlg::DialogTemplate& tpl);
DWORD dialogExStyle(const dlg::DialogTemplate& tpl);

// The native window behind a window of the framework; null when it has none
// (not yet made, or gone).
HWND hwndOf(const dlg::WindowImpl* window);

// UTF-8 and UTF-16; the port lists take the system's ANSI code page, as the
// device names come from the "A" capability queries.
std::wstring widen(const std::string& text, UINT codePage = CP_UTF8);
std::string narrow(const std::wstring& text, UINT codePage = CP_UTF8);

}  // namespace ql5::ui::win32
