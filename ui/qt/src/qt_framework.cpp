#include "ui/qt/qt_framework.hpp"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>

#include "qt_window.hpp"

namespace ql5::ui::qt {

QtFramework::QtFramework() : invoker_(new QObject) {}

QtFramework::~QtFramework() { delete invoker_; }

std::unique_ptr<dlg::WindowImpl> QtFramework::createWindow(dlg::CDialog& dialog,
                                                           const dlg::DialogTemplate& tpl,
                                                           dlg::WindowImpl* parent) {
    return std::make_unique<QtWindow>(dialog, tpl, widgetOf(parent));
}

std::unique_ptr<QMessageBox> makeMessageBox(QWidget* owner, const std::string& text,
                                            const std::string& caption, dlg::UINT type) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (type & dlg::MB_ICONMASK) {
        case dlg::MB_ICONHAND:
            icon = QMessageBox::Critical;
            break;
        case dlg::MB_ICONEXCLAMATION:
            icon = QMessageBox::Warning;
            break;
        case dlg::MB_ICONINFORMATION:
            icon = QMessageBox::Information;
            break;
        case 0x20:
            icon = QMessageBox::Question;
            break;
        default:
            break;
    }
    auto box = std::make_unique<QMessageBox>(icon, QString::fromStdString(caption),
                                             QString::fromStdString(text), QMessageBox::Ok, owner);
    // The texts are the program's own and shown as they are, never as markup.
    box->setTextFormat(Qt::PlainText);
    return box;
}

int QtFramework::messageBox(dlg::WindowImpl* owner, const std::string& text,
                            const std::string& caption, dlg::UINT type) {
    auto box = makeMessageBox(widgetOf(owner), text, caption, type);
    box->exec();
    return dlg::IDOK;
}

bool QtFramework::onUiThread() const { return QThread::currentThread() == invoker_->thread(); }

void QtFramework::send(const std::function<void()>& fn) {
    // A blocking queued call made from the UI thread itself would wait for
    // itself forever; SendMessage runs the call directly there.
    if (onUiThread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(
        invoker_, [&fn] { fn(); }, Qt::BlockingQueuedConnection);
}

void QtFramework::post(std::function<void()> fn) {
    QMetaObject::invokeMethod(invoker_, std::move(fn), Qt::QueuedConnection);
}

void QtFramework::processEvents(int maxMs) {
    QElapsedTimer t;
    t.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    } while (t.elapsed() < maxMs);
}

QFont dialogFont(const std::string& family, int pointSize) {
    const QString name = QString::fromStdString(family);
    // fontconfig answers any unknown family with its default sans font,
    // whose metrics are far from those of the Windows UI fonts; name the
    // stand-ins ourselves instead.
    if (!QFontDatabase::families().contains(name, Qt::CaseInsensitive) &&
        QFont::substitutes(name).isEmpty()) {
        QFont::insertSubstitutions(
            name, {QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic"),
                   QStringLiteral("VL PGothic"), QStringLiteral("Noto Sans CJK JP"),
                   QStringLiteral("DejaVu Sans")});
    }
    QFont font(name);
    font.setPointSize(pointSize);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    return font;
}

BaseUnits baseUnits(const QFont& font) {
    const QFontMetrics fm(font);
    const int width = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return BaseUnits{(width / 26 + 1) / 2, fm.height()};
}

QIcon loadIcon(int iconId) {
    QIcon icon;
    if (iconId == 128) {
        for (int size : {16, 32, 48}) {
            icon.addFile(QStringLiteral(":/ql5/icons/ql5-updater-%1.png").arg(size),
                         QSize(size, size));
        }
    }
    return icon;
}

QWidget* widgetOf(dlg::WindowImpl* window) {
    auto* qw = dynamic_cast<QtWindow*>(window);
    return qw != nullptr ? qw->widget() : nullptr;
}

}  // namespace ql5::ui::qt
