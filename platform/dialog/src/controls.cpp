#include "platform/dialog/controls.hpp"

#include <cstring>

#include "platform/dialog/cdialog.hpp"

namespace ql5::dlg {

void CWnd::EnableWindow(bool enable) const {
    if (dialog_ == nullptr) return;
    const int id = id_;
    dialog_->send([id, enable](WindowImpl& w) { w.enableItem(id, enable); });
}

bool CWnd::IsWindowEnabled() const {
    bool enabled = false;
    if (dialog_ == nullptr) return enabled;
    const int id = id_;
    dialog_->send([id, &enabled](WindowImpl& w) { enabled = w.itemEnabled(id); });
    return enabled;
}

void CWnd::SetWindowText(const std::string& text) const {
    if (dialog_ == nullptr) return;
    const int id = id_;
    dialog_->send([id, &text](WindowImpl& w) { w.setItemText(id, text); });
}

std::string CWnd::GetWindowText() const {
    std::string text;
    if (dialog_ == nullptr) return text;
    const int id = id_;
    dialog_->send([id, &text](WindowImpl& w) { text = w.itemText(id); });
    return text;
}

bool CEdit::isReadOnly() const {
    bool readOnly = false;
    if (dialog_ == nullptr) return readOnly;
    const int id = id_;
    dialog_->send([id, &readOnly](WindowImpl& w) { readOnly = w.itemReadOnly(id); });
    return readOnly;
}

void CComboBox::ResetContent() const {
    if (dialog_ == nullptr) return;
    const int id = id_;
    dialog_->send([id](WindowImpl& w) { w.comboReset(id); });
}

int CComboBox::AddString(const std::string& text) const {
    int pos = CB_ERR;
    if (dialog_ == nullptr) return pos;
    const int id = id_;
    dialog_->send([id, &text, &pos](WindowImpl& w) { pos = w.comboAdd(id, text); });
    return pos;
}

int CComboBox::GetCount() const {
    int count = 0;
    if (dialog_ == nullptr) return count;
    const int id = id_;
    dialog_->send([id, &count](WindowImpl& w) { count = w.comboCount(id); });
    return count;
}

std::string CComboBox::GetLBText(int index) const {
    std::string text;
    if (dialog_ == nullptr) return text;
    const int id = id_;
    dialog_->send([id, index, &text](WindowImpl& w) { text = w.comboText(id, index); });
    return text;
}

int CComboBox::GetLBText(int index, char* buf, std::size_t size) const {
    if (buf == nullptr || size == 0 || index < 0 || index >= GetCount()) return CB_ERR;
    const std::string text = GetLBText(index);
    // Bounded: the caller's buffer decides, whatever the list holds.
    const std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
    return static_cast<int>(n);
}

int CComboBox::SetCurSel(int index) const {
    int result = CB_ERR;
    if (dialog_ == nullptr) return result;
    const int id = id_;
    dialog_->send([id, index, &result](WindowImpl& w) { result = w.comboSetSel(id, index); });
    return result;
}

int CComboBox::GetCurSel() const {
    int sel = CB_ERR;
    if (dialog_ == nullptr) return sel;
    const int id = id_;
    dialog_->send([id, &sel](WindowImpl& w) { sel = w.comboGetSel(id); });
    return sel;
}

void CProgressCtrl::SetRange32(std::int32_t low, std::int32_t high) const {
    if (dialog_ == nullptr) return;
    const int id = id_;
    dialog_->send([id, low, high](WindowImpl& w) { w.progressSetRange(id, low, high); });
}

std::pair<std::int32_t, std::int32_t> CProgressCtrl::GetRange() const {
    std::pair<std::int32_t, std::int32_t> range{0, 0};
    if (dialog_ == nullptr) return range;
    const int id = id_;
    dialog_->send([id, &range](WindowImpl& w) { range = w.progressRange(id); });
    return range;
}

void CProgressCtrl::SetPos(std::int32_t pos) const {
    if (dialog_ == nullptr) return;
    const int id = id_;
    dialog_->send([id, pos](WindowImpl& w) { w.progressSetPos(id, pos); });
}

std::int32_t CProgressCtrl::GetPos() const {
    std::int32_t pos = 0;
    if (dialog_ == nullptr) return pos;
    const int id = id_;
    dialog_->send([id, &pos](WindowImpl& w) { pos = w.progressPos(id); });
    return pos;
}

}  // namespace ql5::dlg
