#include "platform/dialog/cdialog.hpp"

#include "platform/dialog/controls.hpp"

namespace ql5::dlg {

CDialog::CDialog(const DialogTemplate& tpl, CDialog* parent)
    : template_(tpl), parent_(parent), alive_(std::make_shared<std::atomic<bool>>(false)) {}

CDialog::~CDialog() {
    alive_->store(false);
    window_.reset();
}

int CDialog::DoModal() {
    Framework* fw = framework();
    if (fw == nullptr) return -1;
    window_ = fw->createWindow(*this, template_, parent_ != nullptr ? parent_->window() : nullptr);
    if (!window_) return -1;
    alive_->store(true);
    auto alive = alive_;
    const int result = window_->runModal([this, fw, alive] {
        if (OnInitDialog()) window_->focusFirstTabStop();
        window_->place(cascadeIndex());
        // Posted, so that it runs inside the modal loop, as a test would click.
        fw->post([this, alive] {
            if (alive->load()) runModalHook(*this);
        });
    });
    dispatchMessage(WM_DESTROY, 0, 0);
    alive_->store(false);
    window_->destroy();
    return result;
}

void CDialog::EndDialog(int result) {
    send([result](WindowImpl& w) { w.endModal(result); });
}

void CDialog::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    Framework* fw = framework();
    if (fw == nullptr) return;
    auto alive = alive_;
    fw->post([this, alive, message, wParam, lParam] {
        if (alive->load()) dispatchMessage(message, wParam, lParam);
    });
}

void CDialog::SetWindowText(const std::string& text) {
    send([&text](WindowImpl& w) { w.setTitle(text); });
}

std::string CDialog::GetWindowText() const {
    std::string text;
    send([&text](WindowImpl& w) { text = w.title(); });
    return text;
}

void CDialog::SetIcon(int iconId) {
    send([iconId](WindowImpl& w) { w.setIcon(iconId); });
}

bool CDialog::AppendSystemMenu(UINT flags, UINT commandId, const std::string& text) {
    bool done = false;
    send([&](WindowImpl& w) { done = w.appendSystemMenu(flags, commandId, text); });
    return done;
}

void CDialog::send(const std::function<void(WindowImpl&)>& fn) const {
    Framework* fw = framework();
    if (fw == nullptr || !alive_->load()) return;
    auto alive = alive_;
    fw->send([this, &fn, &alive] {
        // Checked again on the UI thread: the window may have gone while
        // the call was on its way.
        if (alive->load() && window_) fn(*window_);
    });
}

bool CDialog::windowExists() const { return alive_->load(); }

void CDialog::dispatchCommand(int id) {
    auto it = commands_.find(id);
    if (it != commands_.end()) {
        it->second();
    } else if (id == IDOK) {
        OnOK();
    } else if (id == IDCANCEL) {
        OnCancel();
    }
}

LRESULT CDialog::dispatchMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    auto it = messages_.find(message);
    if (it != messages_.end()) return it->second(wParam, lParam);
    return DefWindowProc(message, wParam, lParam);
}

bool CDialog::OnInitDialog() {
    DoDataExchange();
    return true;
}

LRESULT CDialog::DefWindowProc(UINT message, WPARAM wParam, LPARAM /*lParam*/) {
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_CLOSE) dispatchCommand(IDCANCEL);
    return 0;
}

void CDialog::DDX_Control(int id, CWnd& control) { control.attach(this, id); }

void CDialog::onCommand(int id, CommandHandler handler) { commands_[id] = std::move(handler); }

void CDialog::onMessage(UINT message, MessageHandler handler) {
    messages_[message] = std::move(handler);
}

}  // namespace ql5::dlg
