#pragma once
// One dialog window on Qt Widgets, laid out from its template.
#include <QDialog>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/dialog/cdialog.hpp"
#include "platform/dialog/framework.hpp"
#include "ui/qt/qt_framework.hpp"

class QComboBox;
class QLineEdit;
class QProgressBar;

namespace ql5::ui::qt {

class DialogWidget : public QDialog {
  public:
    DialogWidget(dlg::CDialog& dialog, QWidget* parent);
    std::vector<std::pair<dlg::UINT, QString>> systemMenu;  // id 0 = separator

  protected:
    // Escape and the window's close button become the cancel command, as
    // the platform's dialog manager makes them; what follows is the
    // dialog's own affair.
    void reject() override;
    // Enter presses the default button (Qt does that); nothing else.
    void accept() override {}
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void showSystemMenu(const QPoint& at);
    dlg::CDialog& dialog_;
};

class QtWindow : public dlg::WindowImpl {
  public:
    QtWindow(dlg::CDialog& dialog, const dlg::DialogTemplate& tpl, QWidget* parent);
    ~QtWindow() override;

    QWidget* widget() const;

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
    QWidget* item(int id) const;
    QComboBox* combo(int id) const;
    QProgressBar* progress(int id) const;
    void build(const dlg::DialogTemplate& tpl);

    dlg::CDialog& dialog_;
    DialogWidget* widget_;
    std::map<int, QWidget*> items_;
    std::vector<std::pair<QWidget*, std::uint32_t>> order_;  // template order with styles
    bool ended_ = false;
    int endResult_ = 0;
};

}  // namespace ql5::ui::qt
