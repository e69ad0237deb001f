#pragma once
// What the window tests share: a Qt application on the offscreen platform,
// the dialog framework on it, message boxes answered and recorded, and
// waits that keep the UI thread handling events.
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QWidget>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dialog/cdialog.hpp"
#include "platform/dialog/framework.hpp"
#include "ui/qt/qt_framework.hpp"

namespace ql5::test {

// Made on first use, on the test's main thread, and kept for the process.
inline ui::qt::QtFramework& qtFramework() {
    static int argc = 1;
    static char name[] = "ql5_ui_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    (void)app;
    static ui::qt::QtFramework* fw = [] {
        auto* f = new ui::qt::QtFramework;
        dlg::setFramework(f);
        return f;
    }();
    return *fw;
}

// Handles events until pred holds or ms have passed; the result of pred.
inline bool waitUntil(const std::function<bool()>& pred, int ms) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms) return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

inline void pumpFor(int ms) {
    waitUntil([] { return false; }, ms);
}

// Records every message box and answers it with OK at once. onBox runs for
// each box on the thread that asked (the UI thread or a worker), before the
// answer, like a user who looks at the box first.
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

    std::vector<dlg::MessageBoxRequest> boxes() const {
        std::lock_guard<std::mutex> lock(m_);
        return boxes_;
    }
    std::size_t count() const {
        std::lock_guard<std::mutex> lock(m_);
        return boxes_.size();
    }

    std::function<void(const dlg::MessageBoxRequest&)> onBox;

  private:
    mutable std::mutex m_;
    std::vector<dlg::MessageBoxRequest> boxes_;
};

// Runs the dialog modally with body inside its modal loop (as a user at
// the window), then ends the modal run if body did not. Returns the result
// of DoModal.
inline int runWithin(dlg::CDialog& dialog, const std::function<void()>& body) {
    qtFramework();
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

// The widget of a control of a running dialog.
template <typename W>
W* control(dlg::CDialog& dialog, int id) {
    QWidget* top = ui::qt::widgetOf(dialog.window());
    return top != nullptr ? top->findChild<W*>(QStringLiteral("control%1").arg(id)) : nullptr;
}

}  // namespace ql5::test
