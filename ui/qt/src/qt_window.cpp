#include "qt_window.hpp"

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

#include "platform/dialog/placement.hpp"

namespace ql5::ui::qt {

DialogWidget::DialogWidget(dlg::CDialog& dialog, QWidget* parent)
    : QDialog(parent), dialog_(dialog) {}

void DialogWidget::reject() { dialog_.dispatchCommand(dlg::IDCANCEL); }

bool DialogWidget::eventFilter(QObject* watched, QEvent* event) {
    // A control's right click opens the window's menu too: a combo box
    // would show none and keep the click, a read-only edit would offer only
    // its own Copy / Select All, and a disabled control gets no context
    // menu event of its own at all (a filter still sees it).
    if (event->type() == QEvent::ContextMenu && !systemMenu.empty()) {
        showSystemMenu(static_cast<QContextMenuEvent*>(event)->globalPos());
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void DialogWidget::contextMenuEvent(QContextMenuEvent* event) {
    showSystemMenu(event->globalPos());
}

void DialogWidget::showSystemMenu(const QPoint& at) {
    // Linux window managers offer no menu that a program may extend; the
    // window's own entries live in its context menu instead.
    if (systemMenu.empty()) return;
    QMenu menu(this);
    for (const auto& [id, text] : systemMenu) {
        if (id == 0) {
            menu.addSeparator();
            continue;
        }
        const dlg::UINT command = id;
        QAction* action = menu.addAction(text);
        QObject::connect(action, &QAction::triggered, this, [this, command] {
            dialog_.dispatchMessage(dlg::WM_SYSCOMMAND, command, 0);
        });
    }
    menu.exec(at);
}

QtWindow::QtWindow(dlg::CDialog& dialog, const dlg::DialogTemplate& tpl, QWidget* parent)
    : dialog_(dialog), widget_(new DialogWidget(dialog, parent)) {
    build(tpl);
}

QtWindow::~QtWindow() { delete widget_; }

QWidget* QtWindow::widget() const { return widget_; }

void QtWindow::build(const dlg::DialogTemplate& tpl) {
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint;
    if (tpl.windowStyles & dlg::kCaption) flags |= Qt::WindowTitleHint;
    if (tpl.windowStyles & dlg::kSystemMenu)
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (tpl.windowStyles & dlg::kMinimizeBox) flags |= Qt::WindowMinimizeButtonHint;
    if (tpl.windowStyles & dlg::kMaximizeBox) flags |= Qt::WindowMaximizeButtonHint;
    widget_->setWindowFlags(flags);
    widget_->setWindowTitle(QString::fromStdString(tpl.caption));
    widget_->setObjectName(QStringLiteral("dialog%1").arg(tpl.id));

    const QFont font = dialogFont(tpl.fontName, tpl.fontPointSize);
    widget_->setFont(font);
    const BaseUnits u = baseUnits(font);
    widget_->setFixedSize(duToPxX(tpl.width, u), duToPxY(tpl.height, u));

    bool defaultTaken = false;
    for (const auto& c : tpl.controls) {
        const QRect r(duToPxX(c.x, u), duToPxY(c.y, u), duToPxX(c.width, u), duToPxY(c.height, u));
        const QString text = QString::fromStdString(c.text);
        QWidget* w = nullptr;
        switch (c.kind) {
            case dlg::ControlKind::PushButton: {
                auto* b = new QPushButton(text, widget_);
                // Qt keeps one default button; the first of the template wins.
                if ((c.styles & dlg::kDefaultButton) && !defaultTaken) {
                    b->setDefault(true);
                    defaultTaken = true;
                }
                const int id = c.id;
                QObject::connect(b, &QPushButton::clicked, widget_,
                                 [this, id] { dialog_.dispatchCommand(id); });
                b->setGeometry(r);
                w = b;
                break;
            }
            case dlg::ControlKind::StaticText: {
                auto* l = new QLabel(text, widget_);
                l->setTextFormat(Qt::PlainText);
                l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                l->setGeometry(r);
                w = l;
                break;
            }
            case dlg::ControlKind::StaticIcon: {
                // An icon control takes the icon's own size, whatever the
                // template says.
                auto* l = new QLabel(widget_);
                l->setPixmap(loadIcon(text.toInt()).pixmap(32, 32));
                l->setGeometry(r.x(), r.y(), 32, 32);
                w = l;
                break;
            }
            case dlg::ControlKind::StaticPicture: {
                auto* f = new QFrame(widget_);
                f->setFrameShape(QFrame::NoFrame);
                f->setGeometry(r);
                w = f;
                break;
            }
            case dlg::ControlKind::DropDownList: {
                auto* cb = new QComboBox(widget_);
                cb->setEditable(false);
                // The template's height includes the dropped-down list; the
                // closed field is as high as the font needs.
                const int closed = QFontMetrics(font).height() + 8;
                cb->setGeometry(r.x(), r.y(), r.width(), closed);
                const int itemHeight = QFontMetrics(font).height() + 2;
                cb->setMaxVisibleItems(std::max(1, (r.height() - closed) / itemHeight));
                w = cb;
                break;
            }
            case dlg::ControlKind::ProgressBar: {
                auto* p = new QProgressBar(widget_);
                p->setTextVisible(false);
                p->setRange(0, 100);
                p->setValue(0);
                p->setGeometry(r);
                w = p;
                break;
            }
            case dlg::ControlKind::Edit: {
                auto* e = new QLineEdit(text, widget_);
                e->setReadOnly((c.styles & dlg::kReadOnly) != 0);
                e->setFrame((c.styles & dlg::kNoBorder) == 0);
                if (c.styles & dlg::kReadOnly) {
                    // A read-only edit shows the dialog's background.
                    QPalette pal = e->palette();
                    pal.setColor(QPalette::Base, pal.color(QPalette::Window));
                    e->setPalette(pal);
                }
                e->setGeometry(r);
                w = e;
                break;
            }
        }
        w->setFocusPolicy((c.styles & dlg::kTabStop) ? Qt::StrongFocus : Qt::NoFocus);
        if (c.id != -1) {
            w->setObjectName(QStringLiteral("control%1").arg(c.id));
            items_.emplace(c.id, w);
        }
        order_.emplace_back(w, c.styles);
    }
}

int QtWindow::runModal(const std::function<void()>& init) {
    init();
    if (ended_) return endResult_;
    return widget_->exec();
}

void QtWindow::endModal(int result) {
    ended_ = true;
    endResult_ = result;
    widget_->done(result);
}

void QtWindow::destroy() { widget_->hide(); }

void QtWindow::focusFirstTabStop() {
    for (const auto& [w, styles] : order_) {
        if ((styles & dlg::kTabStop) && w->isEnabled()) {
            w->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
}

void QtWindow::focusItem(int id) {
    // Also while another window is active: the window's focus widget is
    // what it gives the focus to when it is activated again.
    if (QWidget* w = item(id); w != nullptr && w->isEnabled()) w->setFocus(Qt::OtherFocusReason);
}

void QtWindow::place(int cascade) {
    // Before the window shows, so the first frame is already in place; a
    // moved window is not centred again by QDialog.
    QWidget* owner = widget_->parentWidget();
    QScreen* screen = owner != nullptr ? owner->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    const QRect work = screen->availableGeometry();
    const QRect around = owner != nullptr ? owner->frameGeometry() : work;
    const auto rect = [](const QRect& r) {
        return dlg::Rect{r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
    };
    const QSize size = widget_->size();
    const int titleBar = widget_->style()->pixelMetric(QStyle::PM_TitleBarHeight);
    const dlg::Placement p =
        dlg::placeWindow(rect(around), rect(work), size.width(), size.height(), cascade, titleBar);
    widget_->move(p.x, p.y);
}

void QtWindow::setTitle(const std::string& text) {
    widget_->setWindowTitle(QString::fromStdString(text));
}

std::string QtWindow::title() const { return widget_->windowTitle().toStdString(); }

void QtWindow::setIcon(int iconId) { widget_->setWindowIcon(loadIcon(iconId)); }

bool QtWindow::appendSystemMenu(dlg::UINT flags, dlg::UINT commandId, const std::string& text) {
    if (!(widget_->windowFlags() & Qt::WindowSystemMenuHint)) return false;
    // The window's entries are offered wherever the user right-clicks in
    // it, controls included (see DialogWidget::eventFilter).
    for (const auto& [w, styles] : order_) w->installEventFilter(widget_);
    if (flags & dlg::MF_SEPARATOR) {
        widget_->systemMenu.emplace_back(0, QString());
    } else {
        widget_->systemMenu.emplace_back(commandId, QString::fromStdString(text));
    }
    return true;
}

QWidget* QtWindow::item(int id) const {
    auto it = items_.find(id);
    return it != items_.end() ? it->second : nullptr;
}

QComboBox* QtWindow::combo(int id) const { return qobject_cast<QComboBox*>(item(id)); }

QProgressBar* QtWindow::progress(int id) const { return qobject_cast<QProgressBar*>(item(id)); }

bool QtWindow::hasItem(int id) const { return item(id) != nullptr; }

void QtWindow::setItemText(int id, const std::string& text) {
    const QString t = QString::fromStdString(text);
    QWidget* w = item(id);
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
        e->setText(t);
        e->setCursorPosition(0);
    } else if (auto* b = qobject_cast<QPushButton*>(w)) {
        b->setText(t);
    } else if (auto* l = qobject_cast<QLabel*>(w)) {
        l->setText(t);
    }
}

std::string QtWindow::itemText(int id) const {
    QWidget* w = item(id);
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text().toStdString();
    if (auto* b = qobject_cast<QPushButton*>(w)) return b->text().toStdString();
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text().toStdString();
    if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText().toStdString();
    return {};
}

void QtWindow::enableItem(int id, bool enable) {
    if (QWidget* w = item(id)) w->setEnabled(enable);
}

bool QtWindow::itemEnabled(int id) const {
    QWidget* w = item(id);
    return w != nullptr && w->isEnabled();
}

bool QtWindow::itemReadOnly(int id) const {
    auto* e = qobject_cast<QLineEdit*>(item(id));
    return e != nullptr && e->isReadOnly();
}

int QtWindow::focusedItem() const {
    // The control that has the focus within this window, also while
    // another window is active.
    QWidget* f = widget_->focusWidget();
    for (const auto& [id, w] : items_) {
        if (w == f) return id;
    }
    return 0;
}

void QtWindow::comboReset(int id) {
    if (auto* c = combo(id)) c->clear();
}

int QtWindow::comboAdd(int id, const std::string& text) {
    auto* c = combo(id);
    if (c == nullptr) return -1;
    c->addItem(QString::fromLocal8Bit(text.c_str()));
    // Adding to an empty list selects nothing, as the platform's list does.
    if (c->count() == 1) c->setCurrentIndex(-1);
    return c->count() - 1;
}

int QtWindow::comboCount(int id) const {
    auto* c = combo(id);
    return c != nullptr ? c->count() : 0;
}

std::string QtWindow::comboText(int id, int index) const {
    auto* c = combo(id);
    if (c == nullptr || index < 0 || index >= c->count()) return {};
    return c->itemText(index).toLocal8Bit().toStdString();
}

int QtWindow::comboSetSel(int id, int index) {
    auto* c = combo(id);
    if (c == nullptr) return -1;
    if (index < 0 || index >= c->count()) {
        c->setCurrentIndex(-1);
        return -1;
    }
    c->setCurrentIndex(index);
    return index;
}

int QtWindow::comboGetSel(int id) const {
    auto* c = combo(id);
    return c != nullptr ? c->currentIndex() : -1;
}

void QtWindow::progressSetRange(int id, int low, int high) {
    if (auto* p = progress(id)) p->setRange(low, high);
}

std::pair<int, int> QtWindow::progressRange(int id) const {
    auto* p = progress(id);
    return p != nullptr ? std::pair<int, int>{p->minimum(), p->maximum()}
                        : std::pair<int, int>{0, 0};
}

void QtWindow::progressSetPos(int id, int pos) {
    auto* p = progress(id);
    if (p == nullptr) return;
    // The platform's bar clamps a position outside its range; Qt would
    // ignore it and keep the old one.
    p->setValue(std::clamp(pos, p->minimum(), std::max(p->minimum(), p->maximum())));
}

int QtWindow::progressPos(int id) const {
    auto* p = progress(id);
    if (p == nullptr) return 0;
    // Qt reports minimum - 1 for a bar that was never set.
    return std::max(p->value(), p->minimum());
}

}  // namespace ql5::ui::qt
