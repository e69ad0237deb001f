#pragma once
// A dialog as data: the window's size and font, and every control with its
// id, kind, text, position and size in dialog units and its styles. The
// order of the controls is the tab order.
#include <cstdint>
#include <string>
#include <vector>

namespace ql5::dlg {

enum class ControlKind {
    PushButton,
    StaticText,     // left-aligned label
    StaticIcon,     // shows an icon resource (text = the icon id in decimal)
    StaticPicture,  // bitmap frame; may stay empty
    DropDownList,   // list only, no edit field
    ProgressBar,
    Edit,  // single line
};

// Styles that change behaviour or look; named after the platform's flags.
enum Style : std::uint32_t {
    kTabStop = 1u << 0,
    kGroup = 1u << 1,
    kDefaultButton = 1u << 2,
    kReadOnly = 1u << 3,
    kNoBorder = 1u << 4,
    kAutoHScroll = 1u << 5,
    kVScroll = 1u << 6,
    kSorted = 1u << 7,
    kBorder = 1u << 8,
};

struct ControlTemplate {
    int id;
    ControlKind kind;
    std::string text;
    int x, y, width, height;  // dialog units
    std::uint32_t styles;
};

enum WindowStyle : std::uint32_t {
    kCaption = 1u << 0,
    kSystemMenu = 1u << 1,
    kMinimizeBox = 1u << 2,
    kMaximizeBox = 1u << 3,
    kAppWindow = 1u << 4,  // shown in the task bar
};

struct DialogTemplate {
    int id;
    std::string caption;
    int width, height;  // dialog units, client area
    std::string fontName;
    int fontPointSize;
    std::uint32_t windowStyles;
    std::vector<ControlTemplate> controls;

    const ControlTemplate* control(int controlId) const {
        for (const auto& c : controls) {
            if (c.id == controlId) return &c;
        }
        return nullptr;
    }
};

}  // namespace ql5::dlg
