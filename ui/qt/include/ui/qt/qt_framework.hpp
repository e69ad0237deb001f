#pragma once
// The dialog framework on Qt Widgets. Make one after the QApplication, on the
// thread that runs it, and install it with dlg::setFramework.
#include <QFont>
#include <QIcon>
#include <memory>

#include "platform/dialog/framework.hpp"

class QObject;
class QWidget;
class QMessageBox;

namespace ql5::ui::qt {

class QtFramework : public dlg::Framework {
  public:
    QtFramework();
    ~QtFramework() override;

    std::unique_ptr<dlg::WindowImpl> createWindow(dlg::CDialog& dialog,
                                                  const dlg::DialogTemplate& tpl,
                                                  dlg::WindowImpl* parent) override;
    int messageBox(dlg::WindowImpl* owner, const std::string& text, const std::string& caption,
                   dlg::UINT type) override;
    bool onUiThread() const override;
    void send(const std::function<void()>& fn) override;
    void post(std::function<void()> fn) override;
    void processEvents(int maxMs) override;

  private:
    QObject* invoker_;
};

// The font a template asks for; where that family is not installed, one of
// similar metrics stands in for it.
QFont dialogFont(const std::string& family, int pointSize);

// Dialog base units of a font as the platform defines them: the average
// width of the 52 Latin letters and the character height.
struct BaseUnits {
    int x;
    int y;
};
BaseUnits baseUnits(const QFont& font);
inline int duToPxX(int du, BaseUnits u) { return (du * u.x + 2) / 4; }
inline int duToPxY(int du, BaseUnits u) { return (du * u.y + 4) / 8; }

// An icon resource by id (128: the application icon at 16, 32 and 48 px).
QIcon loadIcon(int iconId);

// The widget behind a window of the framework (screenshots, tests).
QWidget* widgetOf(dlg::WindowImpl* window);

// The message box messageBox shows, not yet run.
std::unique_ptr<QMessageBox> makeMessageBox(QWidget* owner, const std::string& text,
                                            const std::string& caption, dlg::UINT type);

}  // namespace ql5::ui::qt
