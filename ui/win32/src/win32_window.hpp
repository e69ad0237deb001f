#pragma once
// One dialog window on the platform's dialog manager, made from its template
// by DialogBoxIndirectParamW when the modal run starts.
#include "ui/win32/windows_api.hpp"

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/dialog/cdialog.hpp"
#include "platform/dialog/framework.hpp"
#include "platform/dialog/placement.hpp"

namespace ql5::ui::win32 {

class Win32Window : public dlg::WindowImpl {
  public:
    Win32Window(dlg::CDialog& dialog, const dlg::DialogTemplate& tpl, HINSTANCE instance,
                HWND owner);
    ~Win32Window() override;
    Win32Window(const Win32Window&) = delete;
    Win32Window& operator=(const Win32Window&) = delete;

    HWND hwnd() const { return hwnd_; }

    int runModal(const std::function<void()>& init) override;
    void endModal(int result) override;
    void destroy() override;
    void focusFirstTabStop() override;
    void focusItem(int id) override;
    void place(int cascade) override;
    void setTitle(const std::string& text) override;
    std::string title() const override;
    void setIcon(int iconId) override;
    bool appendSystemMenu(dlg::UINT flags, dlg::UINT commandId, const std::string& text) override;
    bool hasItem(int id) const override;
    void setItemText(int id, const std::string& text) override;
    std::string itemText(int id) const override;
    void enableItem(int id, bool enable) override;
    bool itemEnabled(int id) const override;
    bool itemReadOnly(int id) const override;
    int focusedItem() const override;
    void comboReset(int id) override;
    int comboAdd(int id, const std::string& text) override;
    int comboCount(int id) const override;
    std::string comboText(int id, int index) const override;
    int comboSetSel(int id, int index) override;
    int comboGetSel(int id) const override;
    void progressSetRange(int id, int low, int high) override;
    std::pair<int, int> progressRange(int id) const override;
    void progressSetPos(int id, int pos) override;
    int progressPos(int id) const override;

  private:
    static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
    HWND item(int id) const;
    LRESULT sendItem(int id, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;

    dlg::CDialog& dialog_;
    std::vector<std::uint32_t> template_;
    HINSTANCE instance_;
    HWND owner_;
    HWND hwnd_ = nullptr;
    const std::function<void()>* init_ = nullptr;
    bool inInit_ = false;
    bool platformFocus_ = false;  // let the dialog manager focus the first tab stop
    int pendingFocus_ = 0;        // for when the window is activated again
    bool ended_ = false;
    int endResult_ = 0;
    std::set<dlg::UINT> systemCommands_;  // the window's own system-menu entries
    HICON bigIcon_ = nullptr;
    HICON smallIcon_ = nullptr;
};

}  // namespace ql5::ui::win32
