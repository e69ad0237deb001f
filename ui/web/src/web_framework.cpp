#include "ui/web/web_framework.hpp"

#include <emscripten/em_asm.h>
#include <emscripten/emscripten.h>
#include <emscripten/threading.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "web_window.hpp"

namespace ql5::ui::web {

namespace {
std::atomic<WebFramework*> theFramework{nullptr};

const char* iconName(dlg::UINT type) {
    switch (type & dlg::MB_ICONMASK) {
        case dlg::MB_ICONHAND:
            return "error";
        case dlg::MB_ICONEXCLAMATION:
            return "warning";
        case dlg::MB_ICONINFORMATION:
            return "information";
        case 0x20:
            return "question";
        default:
            return "";
    }
}
}  // namespace

WebFramework::WebFramework() : uiThread_(std::this_thread::get_id()) {
    // The dialogs' thread waits (modal loops, calls from the worker); the
    // browser's main thread must never wait, so the program has to run on
    // a thread of its own (linked with PROXY_TO_PTHREAD).
    if (emscripten_is_main_browser_thread()) std::abort();
    theFramework = this;
}

WebFramework::~WebFramework() { theFramework = nullptr; }

WebFramework* WebFramework::current() { return theFramework.load(); }

std::unique_ptr<dlg::WindowImpl> WebFramework::createWindow(dlg::CDialog& dialog,
                                                            const dlg::DialogTemplate& tpl,
                                                            dlg::WindowImpl* parent) {
    return std::make_unique<WebWindow>(*this, dialog, tpl, dynamic_cast<WebWindow*>(parent));
}

int WebFramework::messageBox(dlg::WindowImpl* owner, const std::string& text,
                             const std::string& caption, dlg::UINT type) {
    int token = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        token = ++nextBox_;
    }
    auto* window = dynamic_cast<WebWindow*>(owner);
    // The strings are the page's to free once it has shown them.
    MAIN_THREAD_ASYNC_EM_ASM(
        {
            Module.ql5Page.showBox($0, $1, UTF8ToString($2), UTF8ToString($3), UTF8ToString($4));
            _free($2);
            _free($3);
        },
        token, window != nullptr ? window->pageId() : 0, ::strdup(text.c_str()),
        ::strdup(caption.c_str()), iconName(type));
    runUntil([this, token] { return closedBoxes_.erase(token) > 0; });
    return dlg::IDOK;
}

bool WebFramework::onUiThread() const { return std::this_thread::get_id() == uiThread_; }

void WebFramework::send(const std::function<void()>& fn) {
    if (onUiThread()) {
        fn();
        return;
    }
    std::mutex doneMutex;
    std::condition_variable doneWake;
    bool done = false;
    post([&] {
        fn();
        std::lock_guard<std::mutex> lock(doneMutex);
        done = true;
        doneWake.notify_one();
    });
    std::unique_lock<std::mutex> lock(doneMutex);
    doneWake.wait(lock, [&] { return done; });
}

void WebFramework::post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(fn));
    }
    wake_.notify_all();
}

bool WebFramework::runOne(std::unique_lock<std::mutex>& lock) {
    if (queue_.empty()) return false;
    auto fn = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    fn();
    lock.lock();
    return true;
}

void WebFramework::processEvents(int maxMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        while (runOne(lock)) {
        }
        if (wake_.wait_until(lock, until) == std::cv_status::timeout) {
            while (runOne(lock)) {
            }
            return;
        }
    }
}

void WebFramework::runUntil(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        // done() reads state that only queued calls change, and they run
        // here: asking it between calls, under the lock, sees every change.
        if (done()) return;
        if (!runOne(lock)) wake_.wait(lock);
    }
}

void WebFramework::boxClosed(int token) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closedBoxes_.insert(token);
    }
    wake_.notify_all();
}

}  // namespace ql5::ui::web

// The page's entry points, called on the browser's main thread. Each only
// queues the call for the UI thread and returns.
extern "C" {

EMSCRIPTEN_KEEPALIVE void ql5_page_command(int window, int control) {
    if (auto* fw = ql5::ui::web::WebFramework::current()) {
        fw->post([window, control] { ql5::ui::web::WebWindow::command(window, control); });
    }
}

EMSCRIPTEN_KEEPALIVE void ql5_page_select(int window, int control, int index) {
    if (auto* fw = ql5::ui::web::WebFramework::current()) {
        fw->post([window, control, index] {
            ql5::ui::web::WebWindow::selected(window, control, index);
        });
    }
}

EMSCRIPTEN_KEEPALIVE void ql5_page_syscommand(int window, int command) {
    if (auto* fw = ql5::ui::web::WebFramework::current()) {
        fw->post([window, command] { ql5::ui::web::WebWindow::sysCommand(window, command); });
    }
}

EMSCRIPTEN_KEEPALIVE void ql5_page_box_closed(int token) {
    if (auto* fw = ql5::ui::web::WebFramework::current()) fw->boxClosed(token);
}
}
