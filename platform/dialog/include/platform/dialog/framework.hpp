#pragma once
// What a toolkit provides to the dialog classes. A WindowImpl is one dialog
// window built from a template; the Framework makes them, shows message
// boxes, and carries calls over to the UI thread. Everything in WindowImpl
// runs on the UI thread only: CDialog routes calls from other threads
// through Framework::send first.
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "platform/dialog/dialog_template.hpp"
#include "platform/dialog/messages.hpp"

namespace ql5::dlg {

class CDialog;

class WindowImpl {
  public:
    virtual ~WindowImpl() = default;

    // Runs the window's initialisation (init), then shows the window and
    // runs its modal loop until endModal; returns the value given to
    // endModal. A toolkit that makes its native window only when the modal
    // run starts (the platform's dialog box) calls init from there, once the
    // controls exist and before the window shows.
    virtual int runModal(const std::function<void()>& init) = 0;
    virtual void endModal(int result) = 0;
    // After the modal run: the window is gone for the user; later calls on
    // it change nothing visible.
    virtual void destroy() = 0;
    virtual void focusFirstTabStop() = 0;
    // Puts the keyboard focus on control id, as the dialog manager moves it
    // (the default button follows a focused push button). A window that is
    // not active takes it when it is activated again.
    virtual void focusItem(int id) = 0;
    // Places the window before it shows: centred on its owner, or on the
    // screen's work area when it has none, moved down and right by cascade
    // steps of one title bar so that several copies do not hide each other;
    // always kept inside the work area.
    virtual void place(int cascade) = 0;

    virtual void setTitle(const std::string& text) = 0;
    virtual std::string title() const = 0;
    // Big and small icon of the window from an icon resource id.
    virtual void setIcon(int iconId) = 0;
    // The window's own menu of window commands; false when it has none.
    // flags MF_SEPARATOR or MF_STRING; choosing an item sends WM_SYSCOMMAND
    // with the command id to the dialog.
    virtual bool appendSystemMenu(UINT flags, UINT commandId, const std::string& text) = 0;

    virtual bool hasItem(int id) const = 0;
    virtual void setItemText(int id, const std::string& text) = 0;
    virtual std::string itemText(int id) const = 0;
    virtual void enableItem(int id, bool enable) = 0;
    virtual bool itemEnabled(int id) const = 0;
    virtual bool itemReadOnly(int id) const = 0;
    virtual int focusedItem() const = 0;  // 0 when no control of the dialog has the focus

    // Drop-down lists. Positions are 0-based; -1 means none (CB_ERR).
    virtual void comboReset(int id) = 0;
    virtual int comboAdd(int id, const std::string& text) = 0;  // position of the new entry
    virtual int comboCount(int id) const = 0;
    virtual std::string comboText(int id, int index) const = 0;
    virtual int comboSetSel(int id, int index) = 0;  // -1 clears; returns index or -1
    virtual int comboGetSel(int id) const = 0;

    // Progress bars: a 32-bit range and position.
    virtual void progressSetRange(int id, int low, int high) = 0;
    virtual std::pair<int, int> progressRange(int id) const = 0;
    virtual void progressSetPos(int id, int pos) = 0;
    virtual int progressPos(int id) const = 0;
};

class Framework {
  public:
    virtual ~Framework() = default;
    // Builds the window and its controls from the template, not yet shown.
    virtual std::unique_ptr<WindowImpl> createWindow(CDialog& dialog, const DialogTemplate& tpl,
                                                     WindowImpl* parent) = 0;
    // A modal message box; owner may be null. UI thread only. Returns IDOK.
    virtual int messageBox(WindowImpl* owner, const std::string& text, const std::string& caption,
                           UINT type) = 0;
    virtual bool onUiThread() const = 0;
    // Runs fn on the UI thread and returns when it is done. Called on the UI
    // thread itself it runs fn at once, as SendMessage does.
    virtual void send(const std::function<void()>& fn) = 0;
    // Queues fn for the UI thread and returns at once.
    virtual void post(std::function<void()> fn) = 0;
    // Handles pending events for up to maxMs (UI thread only).
    virtual void processEvents(int maxMs) = 0;
};

// The framework in use; set once at start by the toolkit binding.
void setFramework(Framework* framework);
Framework* framework();

// What a message box asks; given to the message-box hook.
struct MessageBoxRequest {
    std::string ownerTitle;  // empty without an owner
    std::string text;
    std::string caption;
    UINT type;
    bool onUiThread;
};

// Tests answer message boxes here: while a hook is set, messageBox asks the
// hook instead of showing anything, on the calling thread, and returns what
// the hook returns. The hook must be safe to call from any thread.
using MessageBoxHook = std::function<int(const MessageBoxRequest&)>;
void setMessageBoxHook(MessageBoxHook hook);

// Tests look into modal dialogs here: the hook runs on the UI thread inside
// the dialog's modal loop, once, after its initialisation.
using ModalHook = std::function<void(CDialog&)>;
void setModalHook(ModalHook hook);
void runModalHook(CDialog& dialog);

// A modal message box from any thread; returns when it has been closed.
int MessageBox(CDialog* owner, const std::string& text, const std::string& caption, UINT type);

}  // namespace ql5::dlg
