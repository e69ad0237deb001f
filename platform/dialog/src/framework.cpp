#include "platform/dialog/framework.hpp"

#include <atomic>
#include <mutex>

#include "platform/dialog/cdialog.hpp"

namespace ql5::dlg {

namespace {

std::atomic<Framework*> gFramework{nullptr};

std::mutex& hookMutex() {
    static std::mutex m;
    return m;
}
MessageBoxHook& messageBoxHook() {
    static MessageBoxHook hook;
    return hook;
}
ModalHook& modalHook() {
    static ModalHook hook;
    return hook;
}

}  // namespace

void setFramework(Framework* fw) { gFramework.store(fw); }
Framework* framework() { return gFramework.load(); }

void setMessageBoxHook(MessageBoxHook hook) {
    std::lock_guard<std::mutex> lock(hookMutex());
    messageBoxHook() = std::move(hook);
}

void setModalHook(ModalHook hook) {
    std::lock_guard<std::mutex> lock(hookMutex());
    modalHook() = std::move(hook);
}

void runModalHook(CDialog& dialog) {
    ModalHook hook;
    {
        std::lock_guard<std::mutex> lock(hookMutex());
        hook = modalHook();
    }
    // Called without the lock: the hook may open further modal dialogs.
    if (hook) hook(dialog);
}

int MessageBox(CDialog* owner, const std::string& text, const std::string& caption, UINT type) {
    // A box owned by a window that is gone cannot be shown, as the
    // platform refuses an owner handle that is no longer valid.
    if (owner != nullptr && !owner->windowExists()) return 0;
    Framework* fw = framework();
    MessageBoxHook hook;
    {
        std::lock_guard<std::mutex> lock(hookMutex());
        hook = messageBoxHook();
    }
    if (hook) {
        MessageBoxRequest request{owner != nullptr ? owner->GetWindowText() : std::string(), text,
                                  caption, type, fw != nullptr && fw->onUiThread()};
        return hook(request);
    }
    if (fw == nullptr) return 0;
    int result = 0;
    fw->send([&] {
        WindowImpl* w = owner != nullptr ? owner->window() : nullptr;
        if (owner != nullptr && (w == nullptr || !owner->windowExists())) return;
        result = fw->messageBox(w, text, caption, type);
    });
    return result;
}

}  // namespace ql5::dlg
