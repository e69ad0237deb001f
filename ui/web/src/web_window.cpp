#include "web_window.hpp"

#include <emscripten/em_asm.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace ql5::ui::web {

namespace {

// Windows by page id; touched on the UI thread only.
std::map<int, WebWindow*>& windows() {
    static std::map<int, WebWindow*> map;
    return map;
}
int nextPageId = 0;

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", c);
                    out += esc;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

const char* kindName(dlg::ControlKind kind) {
    switch (kind) {
        case dlg::ControlKind::PushButton:
            return "button";
        case dlg::ControlKind::StaticText:
            return "label";
        case dlg::ControlKind::StaticIcon:
            return "icon";
        case dlg::ControlKind::StaticPicture:
            return "picture";
        case dlg::ControlKind::DropDownList:
            return "combo";
        case dlg::ControlKind::ProgressBar:
            return "progress";
        case dlg::ControlKind::Edit:
            return "edit";
    }
    return "label";
}

std::string templateJson(const dlg::DialogTemplate& tpl) {
    std::string j =
        "{\"id\":" + std::to_string(tpl.id) + ",\"caption\":" + jsonString(tpl.caption) +
        ",\"width\":" + std::to_string(tpl.width) + ",\"height\":" + std::to_string(tpl.height) +
        ",\"font\":" + jsonString(tpl.fontName) +
        ",\"points\":" + std::to_string(tpl.fontPointSize) +
        ",\"styles\":" + std::to_string(tpl.windowStyles) + ",\"controls\":[";
    bool first = true;
    for (const auto& c : tpl.controls) {
        if (!first) j += ",";
        first = false;
        j += "{\"id\":" + std::to_string(c.id) + ",\"kind\":\"" + kindName(c.kind) +
             "\",\"text\":" + jsonString(c.text) + ",\"x\":" + std::to_string(c.x) +
             ",\"y\":" + std::to_string(c.y) + ",\"w\":" + std::to_string(c.width) +
             ",\"h\":" + std::to_string(c.height) + ",\"styles\":" + std::to_string(c.styles) + "}";
    }
    return j + "]}";
}

// Hands a call with one string to the page without waiting; the page frees
// the copy.
void pageText(const char* op, int window, int id, const std::string& text) {
    MAIN_THREAD_ASYNC_EM_ASM(
        {
            Module.ql5Page.call(UTF8ToString($0), $1, $2, UTF8ToString($3), 0);
            _free($3);
        },
        op, window, id, ::strdup(text.c_str()));
}

void pageInt(const char* op, int window, int id, int a, int b = 0) {
    MAIN_THREAD_ASYNC_EM_ASM({ Module.ql5Page.call(UTF8ToString($0), $1, $2, $3, $4); }, op, window,
                             id, a, b);
}

}  // namespace

WebWindow::WebWindow(WebFramework& framework, dlg::CDialog& dialog, const dlg::DialogTemplate& tpl,
                     WebWindow* parent)
    : framework_(framework), dialog_(dialog), pageId_(++nextPageId), title_(tpl.caption) {
    for (const auto& c : tpl.controls) {
        if (c.id != -1) {
            Control control{c.kind, c.styles, c.text};
            controls_.emplace(c.id, std::move(control));
            if (c.styles & dlg::kTabStop) tabOrder_.push_back(c.id);
        }
    }
    windows()[pageId_] = this;
    MAIN_THREAD_ASYNC_EM_ASM(
        {
            Module.ql5Page.createWindow($0, $1, JSON.parse(UTF8ToString($2)));
            _free($2);
        },
        pageId_, parent != nullptr ? parent->pageId() : 0, ::strdup(templateJson(tpl).c_str()));
}

WebWindow::~WebWindow() {
    windows().erase(pageId_);
    pageInt("remove", pageId_, 0, 0);
}

void WebWindow::command(int window, int control) {
    auto it = windows().find(window);
    if (it == windows().end()) return;
    WebWindow& w = *it->second;
    // A disabled control takes no command, whatever the page let through.
    if (control != dlg::IDCANCEL) {
        const Control* c = w.find(control);
        if (c == nullptr || !c->enabled) return;
        // The page's buttons take the focus when clicked: the control that
        // gave the last command is the one the focus is on.
        w.focused_ = control;
    }
    w.dialog_.dispatchCommand(control);
}

void WebWindow::selected(int window, int control, int index) {
    auto it = windows().find(window);
    if (it == windows().end()) return;
    Control* c = it->second->find(control);
    if (c == nullptr || !c->enabled || index < -1 || index >= static_cast<int>(c->items.size()))
        return;
    c->selection = index;
}

void WebWindow::sysCommand(int window, int command) {
    auto it = windows().find(window);
    if (it == windows().end()) return;
    it->second->dialog_.dispatchMessage(dlg::WM_SYSCOMMAND, static_cast<dlg::WPARAM>(command), 0);
}

WebWindow::Control* WebWindow::find(int id) {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : &it->second;
}

const WebWindow::Control* WebWindow::find(int id) const {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : &it->second;
}

int WebWindow::runModal(const std::function<void()>& init) {
    init();
    if (!ended_) {
        shown_ = true;
        pageInt("show", pageId_, 0, 1);
        dlg::runModalHook(dialog_);
        framework_.runUntil([this] { return ended_; });
    }
    return endResult_;
}

void WebWindow::endModal(int result) {
    ended_ = true;
    endResult_ = result;
}

void WebWindow::destroy() {
    shown_ = false;
    pageInt("show", pageId_, 0, 0);
}

void WebWindow::focusFirstTabStop() {
    for (int id : tabOrder_) {
        const Control* c = find(id);
        if (c != nullptr && c->enabled) {
            focused_ = id;
            pageInt("focus", pageId_, id, 0);
            return;
        }
    }
}

void WebWindow::focusItem(int id) {
    const Control* c = find(id);
    if (c == nullptr || !c->enabled) return;
    focused_ = id;
    pageInt("focus", pageId_, id, 0);
}

// The page lays its windows out itself: the main window in the document's
// flow, a box over its owner, centred by the page's style. A tab holds one
// window, so there is nothing to cascade.
void WebWindow::place(int /*cascade*/) {}

void WebWindow::setTitle(const std::string& text) {
    title_ = text;
    pageText("title", pageId_, 0, text);
}

std::string WebWindow::title() const { return title_; }

void WebWindow::setIcon(int iconId) { pageInt("icon", pageId_, 0, iconId); }

bool WebWindow::appendSystemMenu(dlg::UINT flags, dlg::UINT commandId, const std::string& text) {
    // The page has no window menu of the system's: the window's own entries
    // go to a menu button in its title bar.
    if (flags & dlg::MF_SEPARATOR) return true;
    pageText("menu", pageId_, static_cast<int>(commandId), text);
    return true;
}

bool WebWindow::hasItem(int id) const { return find(id) != nullptr; }

void WebWindow::setItemText(int id, const std::string& text) {
    if (Control* c = find(id)) {
        c->text = text;
        pageText("text", pageId_, id, text);
    }
}

std::string WebWindow::itemText(int id) const {
    const Control* c = find(id);
    return c != nullptr ? c->text : std::string();
}

void WebWindow::enableItem(int id, bool enable) {
    if (Control* c = find(id)) {
        c->enabled = enable;
        pageInt("enable", pageId_, id, enable ? 1 : 0);
    }
}

bool WebWindow::itemEnabled(int id) const {
    const Control* c = find(id);
    return c != nullptr && c->enabled;
}

bool WebWindow::itemReadOnly(int id) const {
    const Control* c = find(id);
    return c != nullptr && (c->styles & dlg::kReadOnly) != 0;
}

int WebWindow::focusedItem() const { return focused_; }

void WebWindow::comboReset(int id) {
    if (Control* c = find(id)) {
        c->items.clear();
        c->selection = -1;
        pageInt("comboReset", pageId_, id, 0);
    }
}

int WebWindow::comboAdd(int id, const std::string& text) {
    Control* c = find(id);
    if (c == nullptr) return -1;
    // A sorted list (kSorted) would place the entry; the port lists keep the
    // platform's order, and so does the page.
    c->items.push_back(text);
    pageText("comboAdd", pageId_, id, text);
    return static_cast<int>(c->items.size()) - 1;
}

int WebWindow::comboCount(int id) const {
    const Control* c = find(id);
    return c != nullptr ? static_cast<int>(c->items.size()) : 0;
}

std::string WebWindow::comboText(int id, int index) const {
    const Control* c = find(id);
    if (c == nullptr || index < 0 || index >= static_cast<int>(c->items.size())) return {};
    return c->items[static_cast<std::size_t>(index)];
}

int WebWindow::comboSetSel(int id, int index) {
    Control* c = find(id);
    if (c == nullptr) return -1;
    if (index < 0 || index >= static_cast<int>(c->items.size())) {
        c->selection = -1;
        pageInt("comboSel", pageId_, id, -1);
        return -1;
    }
    c->selection = index;
    pageInt("comboSel", pageId_, id, index);
    return index;
}

int WebWindow::comboGetSel(int id) const {
    const Control* c = find(id);
    return c != nullptr ? c->selection : -1;
}

void WebWindow::progressSetRange(int id, int low, int high) {
    if (Control* c = find(id)) {
        c->low = low;
        c->high = high;
        pageInt("range", pageId_, id, low, high);
    }
}

std::pair<int, int> WebWindow::progressRange(int id) const {
    const Control* c = find(id);
    return c != nullptr ? std::make_pair(c->low, c->high) : std::make_pair(0, 0);
}

void WebWindow::progressSetPos(int id, int pos) {
    if (Control* c = find(id)) {
        // The platform's bar clamps a position outside its range.
        c->pos = std::clamp(pos, c->low, std::max(c->low, c->high));
        pageInt("pos", pageId_, id, c->pos);
    }
}

int WebWindow::progressPos(int id) const {
    const Control* c = find(id);
    return c != nullptr ? c->pos : 0;
}

}  // namespace ql5::ui::web
