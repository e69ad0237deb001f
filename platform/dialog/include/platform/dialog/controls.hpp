#pragma once
// Wrappers for the controls of a dialog, addressed by id. Each call may come
// from any thread; it is carried to the UI thread and returns when done.
// A wrapper that is not bound, or whose window is gone, does nothing and
// reads as empty.
#include <cstdint>
#include <string>
#include <utility>

namespace ql5::dlg {

class CDialog;

class CWnd {
  public:
    void attach(const CDialog* dialog, int id) {
        dialog_ = dialog;
        id_ = id;
    }
    int id() const { return id_; }
    bool bound() const { return dialog_ != nullptr; }

    void EnableWindow(bool enable) const;
    bool IsWindowEnabled() const;
    void SetWindowText(const std::string& text) const;
    std::string GetWindowText() const;

  protected:
    const CDialog* dialog_ = nullptr;
    int id_ = 0;
};

class CButton : public CWnd {};
class CStatic : public CWnd {};

class CEdit : public CWnd {
  public:
    bool isReadOnly() const;
};

class CComboBox : public CWnd {
  public:
    static constexpr int CB_ERR = -1;
    void ResetContent() const;
    int AddString(const std::string& text) const;
    int GetCount() const;
    // Copies the text of entry index into buf (at most size - 1 characters
    // and a terminator); returns its length, CB_ERR for no such entry.
    int GetLBText(int index, char* buf, std::size_t size) const;
    std::string GetLBText(int index) const;
    int SetCurSel(int index) const;
    int GetCurSel() const;
};

class CProgressCtrl : public CWnd {
  public:
    void SetRange32(std::int32_t low, std::int32_t high) const;
    std::pair<std::int32_t, std::int32_t> GetRange() const;
    void SetPos(std::int32_t pos) const;
    std::int32_t GetPos() const;
};

}  // namespace ql5::dlg
