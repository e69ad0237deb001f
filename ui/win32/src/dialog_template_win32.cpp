// Templates 103 and 100 as the platform's extended dialog templates, built in
// memory from the same data the other toolkits lay out.
#include <cstring>
#include <string>

#include "ui/win32/win32_framework.hpp"

namespace ql5::ui::win32 {

namespace {

// The predefined control classes by ordinal, as resource compilers write them.
constexpr WORD kButtonClass = 0x0080;
constexpr WORD kEditClass = 0x0081;
constexpr WORD kStaticClass = 0x0082;
constexpr WORD kComboBoxClass = 0x0085;

class Writer {
  public:
    void word(WORD v) { raw(&v, sizeof v); }
    void dword(DWORD v) { raw(&v, sizeof v); }
    void shortInt(short v) { raw(&v, sizeof v); }
    void byte(BYTE v) { raw(&v, sizeof v); }
    void text(const std::wstring& s) {
        for (wchar_t c : s) word(static_cast<WORD>(c));
        word(0);
    }
    void ordinal(WORD v) {
        word(0xFFFF);
        word(v);
    }
    void alignDword() {
        while (bytes_.size() % 4 != 0) bytes_.push_back(0);
    }
    std::vector<std::uint32_t> dwords() {
        alignDword();
        std::vector<std::uint32_t> out(bytes_.size() / 4);
        std::memcpy(out.data(), bytes_.data(), bytes_.size());
        return out;
    }

  private:
    void raw(const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        bytes_.insert(bytes_.end(), b, b + n);
    }
    std::vector<std::uint8_t> bytes_;
};

DWORD commonStyles(std::uint32_t styles) {
    DWORD s = 0;
    if (styles & dlg::kTabStop) s |= WS_TABSTOP;
    if (styles & dlg::kGroup) s |= WS_GROUP;
    if (styles & dlg::kVScroll) s |= WS_VSCROLL;
    if (styles & dlg::kBorder) s |= WS_BORDER;
    return s;
}

}  // namespace

DWORD controlStyle(const dlg::ControlTemplate& c) {
    DWORD s = WS_CHILD | WS_VISIBLE | commonStyles(c.styles);
    switch (c.kind) {
        case dlg::ControlKind::PushButton:
            s |= (c.styles & dlg::kDefaultButton) ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON;
            break;
        case dlg::ControlKind::StaticText:
            s |= SS_LEFT | WS_GROUP;
            break;
        case dlg::ControlKind::StaticIcon:
            s |= SS_ICON;
            break;
        case dlg::ControlKind::StaticPicture:
            s |= SS_BITMAP;
            break;
        case dlg::ControlKind::DropDownList:
            s |= CBS_DROPDOWNLIST;
            if (c.styles & dlg::kSorted) s |= CBS_SORT;
            break;
        case dlg::ControlKind::ProgressBar:
            break;
        case dlg::ControlKind::Edit:
            s |= ES_LEFT;
            if (c.styles & dlg::kAutoHScroll) s |= ES_AUTOHSCROLL;
            if (c.styles & dlg::kReadOnly) s |= ES_READONLY;
            if (!(c.styles & dlg::kNoBorder)) s |= WS_BORDER;
            break;
    }
    return s;
}

DWORD dialogStyle(const dlg::DialogTemplate& tpl) {
    // A fixed-size modal frame; the font record follows the caption. Shown
    // as soon as it is initialised, rather than when the modal loop first
    // finds its queue empty: a worker's calls may keep the queue busy.
    DWORD s = WS_POPUP | WS_VISIBLE | DS_MODALFRAME | DS_SETFONT;
    if (tpl.windowStyles & dlg::kCaption) s |= WS_CAPTION;
    if (tpl.windowStyles & dlg::kSystemMenu) s |= WS_SYSMENU;
    if (tpl.windowStyles & dlg::kMinimizeBox) s |= WS_MINIMIZEBOX;
    if (tpl.windowStyles & dlg::kMaximizeBox) s |= WS_MAXIMIZEBOX;
    return s;
}

DWORD dialogExStyle(const dlg::DialogTemplate& tpl) {
    return (tpl.windowStyles & dlg::kAppWindow) ? WS_EX_APPWINDOW : 0;
}

std::vector<std::uint32_t> buildDialogTemplate(const dlg::DialogTemplate& tpl) {
    Writer w;
    w.word(1);       // dlgVer
    w.word(0xFFFF);  // signature: the extended form
    w.dword(0);      // helpID
    w.dword(dialogExStyle(tpl));
    w.dword(dialogStyle(tpl));
    w.word(static_cast<WORD>(tpl.controls.size()));
    w.shortInt(0);
    w.shortInt(0);
    w.shortInt(static_cast<short>(tpl.width));
    w.shortInt(static_cast<short>(tpl.height));
    w.word(0);  // no menu
    w.word(0);  // the dialog manager's own class
    w.text(widen(tpl.caption));
    w.word(static_cast<WORD>(tpl.fontPointSize));
    w.word(FW_NORMAL);
    w.byte(FALSE);  // not italic
    w.byte(DEFAULT_CHARSET);
    w.text(widen(tpl.fontName));

    for (const auto& c : tpl.controls) {
        w.alignDword();
        w.dword(0);  // helpID
        w.dword(0);  // exStyle
        w.dword(controlStyle(c));
        w.shortInt(static_cast<short>(c.x));
        w.shortInt(static_cast<short>(c.y));
        w.shortInt(static_cast<short>(c.width));
        w.shortInt(static_cast<short>(c.height));
        w.dword(static_cast<DWORD>(c.id));
        switch (c.kind) {
            case dlg::ControlKind::PushButton:
                w.ordinal(kButtonClass);
                break;
            case dlg::ControlKind::StaticText:
            case dlg::ControlKind::StaticIcon:
            case dlg::ControlKind::StaticPicture:
                w.ordinal(kStaticClass);
                break;
            case dlg::ControlKind::DropDownList:
                w.ordinal(kComboBoxClass);
                break;
            case dlg::ControlKind::ProgressBar:
                w.text(PROGRESS_CLASSW);
                break;
            case dlg::ControlKind::Edit:
                w.ordinal(kEditClass);
                break;
        }
        if (c.kind == dlg::ControlKind::StaticIcon) {
            // The icon resource by number.
            w.ordinal(static_cast<WORD>(std::stoi(c.text)));
        } else {
            w.text(widen(c.text));
        }
        w.word(0);  // no creation data
    }
    return w.dwords();
}

}  // namespace ql5::ui::win32
