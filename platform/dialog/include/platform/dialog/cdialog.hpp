#pragma once
// The dialog class the program's dialogs derive from: built from a template,
// run modally, with a message map from commands and messages to handlers.
// Every public operation may be called from any thread; calls from a worker
// are carried to the UI thread and return when done.
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/dialog/dialog_template.hpp"
#include "platform/dialog/framework.hpp"
#include "platform/dialog/messages.hpp"

namespace ql5::dlg {

class CWnd;

class CDialog {
  public:
    using CommandHandler = std::function<void()>;
    using MessageHandler = std::function<LRESULT(WPARAM, LPARAM)>;

    CDialog(const DialogTemplate& tpl, CDialog* parent);
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Builds the window, initialises it, runs it until EndDialog and destroys
    // the window (WM_DESTROY reaches the message map first). UI thread only.
    // Returns the EndDialog value, -1 when the window could not be made.
    int DoModal();
    void EndDialog(int result);

    // Carried to the UI thread and run there; a window that is gone ignores it.
    void PostMessage(UINT message, WPARAM wParam, LPARAM lParam);

    void SetWindowText(const std::string& text);
    std::string GetWindowText() const;
    void SetIcon(int iconId);
    // GetSystemMenu + AppendMenu in one; false when the window has no such menu.
    bool AppendSystemMenu(UINT flags, UINT commandId, const std::string& text);

    // Runs fn with the window on the UI thread and returns when done; does
    // nothing when the window does not exist (yet or any more).
    void send(const std::function<void(WindowImpl&)>& fn) const;
    bool windowExists() const;

    // Called by the toolkit on the UI thread.
    void dispatchCommand(int id);
    LRESULT dispatchMessage(UINT message, WPARAM wParam, LPARAM lParam);

    const DialogTemplate& dialogTemplate() const { return template_; }
    WindowImpl* window() const { return window_.get(); }
    CDialog* parent() const { return parent_; }

  protected:
    // Default: binds the controls (DoDataExchange) and returns true, which
    // puts the focus on the first enabled tab stop.
    virtual bool OnInitDialog();
    virtual void DoDataExchange() {}
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    // How many cascade steps the window is placed away from the centre of
    // its owner or the work area (see WindowImpl::place).
    virtual int cascadeIndex() const { return 0; }
    // A message nobody mapped.
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);

    void DDX_Control(int id, CWnd& control);
    void onCommand(int id, CommandHandler handler);
    void onMessage(UINT message, MessageHandler handler);

  private:
    const DialogTemplate& template_;
    CDialog* parent_;
    std::unique_ptr<WindowImpl> window_;
    // Shared with posted messages, which may run after the dialog is gone.
    std::shared_ptr<std::atomic<bool>> alive_;
    std::map<int, CommandHandler> commands_;
    std::map<UINT, MessageHandler> messages_;
};

}  // namespace ql5::dlg
