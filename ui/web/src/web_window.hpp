#pragma once
// One dialog window as a part of the page, laid out from its template. The
// window keeps the state of its controls; the page shows a copy of it.
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/dialog/cdialog.hpp"
#include "platform/dialog/framework.hpp"
#include "ui/web/web_framework.hpp"

namespace ql5::ui::web {

class WebWindow : public dlg::WindowImpl {
  public:
    WebWindow(WebFramework& framework, dlg::CDialog& dialog, const dlg::DialogTemplate& tpl,
              WebWindow* parent);
    ~WebWindow() override;

    int pageId() const { return pageId_; }

    // What the user did on the page, on the UI thread; unknown windows (one
    // already closed) are ignored.
    static void command(int window, int control);
    static void selected(int window, int control, int index);
    static void sysCommand(int window, int command);

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
    struct Control {
        dlg::ControlKind kind;
        std::uint32_t styles;
        std::string text;
        bool enabled = true;
        std::vector<std::string> items;
        int selection = -1;
        int low = 0, high = 100, pos = 0;
    };
    Control* find(int id);
    const Control* find(int id) const;

    WebFramework& framework_;
    dlg::CDialog& dialog_;
    int pageId_;
    std::string title_;
    std::map<int, Control> controls_;
    std::vector<int> tabOrder_;
    bool shown_ = false;
    int focused_ = 0;  // the control the page's focus is on, as far as this side knows
    bool ended_ = false;
    int endResult_ = 0;
};

}  // namespace ql5::ui::web
