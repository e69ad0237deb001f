#pragma once
// The dialog framework on the page's DOM. The program's "UI thread" is the
// thread that runs main (an Emscripten pthread: the page is built with
// PROXY_TO_PTHREAD); the DOM lives on the browser's main thread. Everything
// a window shows is handed to the main thread without waiting for it, the
// window keeps its own copy of every control's state for reading, and what
// the user does on the page comes back as calls queued for the UI thread.
// So the browser's main thread never waits on the program, and the program
// never runs on it.
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/dialog/framework.hpp"

namespace ql5::ui::web {

class WebFramework : public dlg::Framework {
  public:
    // Make it on the thread that will run the dialogs.
    WebFramework();
    ~WebFramework() override;

    std::unique_ptr<dlg::WindowImpl> createWindow(dlg::CDialog& dialog,
                                                  const dlg::DialogTemplate& tpl,
                                                  dlg::WindowImpl* parent) override;
    int messageBox(dlg::WindowImpl* owner, const std::string& text, const std::string& caption,
                   dlg::UINT type) override;
    bool onUiThread() const override;
    void send(const std::function<void()>& fn) override;
    void post(std::function<void()> fn) override;
    void processEvents(int maxMs) override;

    // Runs queued calls on the UI thread until done() holds.
    void runUntil(const std::function<bool()>& done);
    // The page closed a message box (any thread).
    void boxClosed(int token);
    // The one framework of the program, for the page's entry points.
    static WebFramework* current();

  private:
    bool runOne(std::unique_lock<std::mutex>& lock);

    std::thread::id uiThread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    std::set<int> closedBoxes_;
    int nextBox_ = 0;
};

}  // namespace ql5::ui::web
