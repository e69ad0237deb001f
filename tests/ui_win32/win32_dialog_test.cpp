// The window on the platform's own dialog manager (under Wine in CI): the
// native windows as the templates describe them, the control states and
// texts through whole runs against the virtual unit, the system menu's
// About entry, and calls carried from worker threads.
#include "win32_harness.hpp"  // first: <windows.h> after the dialog seam

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <ostream>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "emulator/virtual_unit.hpp"
#include "engine/engine.hpp"
#include "platform/mm/driver.hpp"
#include "platform/mm/virtual_driver.hpp"
#include "ui/CAboutDlg.hpp"
#include "ui/CKestUpdatorDlg.hpp"
#include "ui/resource.hpp"
#include "ui/templates.hpp"

namespace ql5 {
namespace {

using test::BoxRecorder;
using test::click;
using test::hwnd;
using test::itemEnabled;
using test::itemText;
using test::runWithin;
using test::TextLog;
using test::waitUntil;

struct Controls {
    bool inList, outList, execute, exit, rescan, versionCheck;
    int busy;
    bool operator==(const Controls&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Controls& c) {
    return os << "{in " << c.inList << " out " << c.outList << " exec " << c.execute << " exit "
              << c.exit << " rescan " << c.rescan << " vc " << c.versionCheck << " busy " << c.busy
              << "}";
}

constexpr Controls kReady{true, true, true, true, true, true, 0};
constexpr Controls kNotReady{true, true, false, true, true, false, 0};
constexpr Controls kUpdating{false, false, false, false, false, false, 1};
constexpr Controls kChecking{false, false, false, true, false, false, 1};

// Read from the native controls, from any thread.
Controls controlsOf(ui::CKestUpdatorDlg& d) {
    return Controls{itemEnabled(d, ui::IDC_MIDIIN), itemEnabled(d, ui::IDC_MIDIOUT),
                    itemEnabled(d, ui::IDOK),       itemEnabled(d, ui::IDCANCEL),
                    itemEnabled(d, ui::IDC_RESCAN), itemEnabled(d, ui::IDC_VERSIONCHECK),
                    d.state().busy.load()};
}

std::pair<int, int> progressRange(const dlg::CDialog& d) {
    PBRANGE r{};
    SendDlgItemMessageW(hwnd(d), ui::IDC_PROGRESS, PBM_GETRANGE, TRUE,
                        reinterpret_cast<LPARAM>(&r));
    return {r.iLow, r.iHigh};
}

int progressPos(const dlg::CDialog& d) {
    return static_cast<int>(SendDlgItemMessageW(hwnd(d), ui::IDC_PROGRESS, PBM_GETPOS, 0, 0));
}

// As the dialog manager places a control: position and size each converted
// from dialog units (so right = left + width, each rounded on its own).
RECT mapped(HWND dialog, int x, int y, int w, int h) {
    RECT pos{x, y, w, h};
    MapDialogRect(dialog, &pos);
    return RECT{pos.left, pos.top, pos.left + pos.right, pos.top + pos.bottom};
}

RECT childRect(HWND dialog, HWND child) {
    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::string className(HWND h) {
    wchar_t cls[64] = {};
    GetClassNameW(h, cls, 64);
    return ui::win32::narrow(cls);
}

// The styles each window was created with, as the dialog manager read them
// from the template; controls change some of their own afterwards (a list
// drops its scroll bar while it holds few entries, a progress bar trades
// its border for a themed frame, one default button is kept).
std::map<HWND, LONG>& createdStyles() {
    static std::map<HWND, LONG> styles;
    return styles;
}

std::map<HWND, DWORD>& createdExStyles() {
    static std::map<HWND, DWORD> styles;
    return styles;
}

LRESULT CALLBACK recordCreation(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_CREATEWND) {
        const auto* create = reinterpret_cast<CBT_CREATEWNDW*>(lParam);
        createdStyles()[reinterpret_cast<HWND>(wParam)] = create->lpcs->style;
        createdExStyles()[reinterpret_cast<HWND>(wParam)] = create->lpcs->dwExStyle;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

void expectRect(const RECT& got, const RECT& want, const std::string& what) {
    EXPECT_EQ(got.left, want.left) << what;
    EXPECT_EQ(got.top, want.top) << what;
    EXPECT_EQ(got.right, want.right) << what;
    EXPECT_EQ(got.bottom, want.bottom) << what;
}

// Everything the template says about the window and each control, checked on
// the native windows: frame, client size and font from dialog units; the
// controls in template order (the tab order) with id, class, text, rectangle
// and the styles that matter.
void checkAgainstTemplate(HWND dlgWnd, const dlg::DialogTemplate& tpl) {
    const std::string where = "template " + std::to_string(tpl.id);
    ASSERT_TRUE(createdStyles().count(dlgWnd)) << where;
    const LONG style = createdStyles()[dlgWnd];
    const LONG exStyle = GetWindowLongW(dlgWnd, GWL_EXSTYLE);
    // On the screen by the time the modal loop runs.
    EXPECT_TRUE(IsWindowVisible(dlgWnd)) << where;
    EXPECT_EQ((style & WS_CAPTION) == WS_CAPTION, (tpl.windowStyles & dlg::kCaption) != 0) << where;
    EXPECT_EQ((style & WS_SYSMENU) != 0, (tpl.windowStyles & dlg::kSystemMenu) != 0) << where;
    EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0) << where;
    EXPECT_EQ((exStyle & WS_EX_APPWINDOW) != 0, (tpl.windowStyles & dlg::kAppWindow) != 0) << where;
    EXPECT_NE(exStyle & WS_EX_DLGMODALFRAME, 0) << where;

    RECT client{};
    GetClientRect(dlgWnd, &client);
    expectRect(client, mapped(dlgWnd, 0, 0, tpl.width, tpl.height), where + " client area");

    LOGFONTW lf{};
    auto font = reinterpret_cast<HFONT>(SendMessageW(dlgWnd, WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr) << where;
    ASSERT_NE(GetObjectW(font, sizeof lf, &lf), 0) << where;
    EXPECT_EQ(ui::win32::narrow(lf.lfFaceName), tpl.fontName) << where;
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(lf.lfHeight, -MulDiv(tpl.fontPointSize, GetDeviceCaps(screen, LOGPIXELSY), 72))
        << where;
    ReleaseDC(nullptr, screen);
    EXPECT_EQ(lf.lfWeight, FW_NORMAL) << where;
    EXPECT_EQ(lf.lfItalic, 0) << where;

    HWND child = GetWindow(dlgWnd, GW_CHILD);
    for (const auto& c : tpl.controls) {
        const std::string what = where + " control " + std::to_string(c.id) + " \"" + c.text + "\"";
        ASSERT_NE(child, nullptr) << what;
        EXPECT_EQ(GetDlgCtrlID(child), c.id) << what;
        ASSERT_TRUE(createdStyles().count(child)) << what;
        const LONG cs = createdStyles()[child];
        EXPECT_EQ((cs & WS_TABSTOP) != 0, (c.styles & dlg::kTabStop) != 0) << what;
        EXPECT_EQ((cs & WS_VSCROLL) != 0, (c.styles & dlg::kVScroll) != 0) << what;
        // The dialog manager gives a bordered control the sunken 3-D edge.
        const bool bordered =
            (cs & WS_BORDER) != 0 || (createdExStyles()[child] & WS_EX_CLIENTEDGE);
        EXPECT_EQ(bordered, (c.styles & dlg::kBorder) != 0 || (c.kind == dlg::ControlKind::Edit &&
                                                               (c.styles & dlg::kNoBorder) == 0))
            << what;
        const RECT want = mapped(dlgWnd, c.x, c.y, c.width, c.height);
        const RECT got = childRect(dlgWnd, child);
        switch (c.kind) {
            case dlg::ControlKind::PushButton:
                EXPECT_EQ(className(child), "Button") << what;
                EXPECT_EQ(test::text(child), c.text) << what;
                EXPECT_EQ(cs & BS_TYPEMASK,
                          (c.styles & dlg::kDefaultButton) ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON)
                    << what;
                expectRect(got, want, what);
                break;
            case dlg::ControlKind::StaticText:
                EXPECT_EQ(className(child), "Static") << what;
                EXPECT_EQ(test::text(child), c.text) << what;
                EXPECT_EQ(cs & SS_TYPEMASK, SS_LEFT) << what;
                expectRect(got, want, what);
                break;
            case dlg::ControlKind::StaticIcon: {
                EXPECT_EQ(className(child), "Static") << what;
                EXPECT_EQ(cs & SS_TYPEMASK, SS_ICON) << what;
                // Icon 128 from the program's resources; the control takes
                // the icon's own size at the template's position.
                EXPECT_NE(SendMessageW(child, STM_GETICON, 0, 0), 0) << what;
                EXPECT_EQ(got.left, want.left) << what;
                EXPECT_EQ(got.top, want.top) << what;
                EXPECT_EQ(got.right - got.left, GetSystemMetrics(SM_CXICON)) << what;
                break;
            }
            case dlg::ControlKind::StaticPicture:
                EXPECT_EQ(className(child), "Static") << what;
                EXPECT_EQ(cs & SS_TYPEMASK, SS_BITMAP) << what;
                EXPECT_EQ(SendMessageW(child, STM_GETIMAGE, IMAGE_BITMAP, 0), 0) << what;
                EXPECT_EQ(got.left, want.left) << what;
                EXPECT_EQ(got.top, want.top) << what;
                break;
            case dlg::ControlKind::DropDownList: {
                EXPECT_EQ(className(child), "ComboBox") << what;
                EXPECT_EQ(cs & 0x3, CBS_DROPDOWNLIST) << what;
                EXPECT_EQ(cs & CBS_SORT, 0) << what;
                // The closed field is as high as the font needs; the
                // template's height is the dropped-down list's.
                RECT dropped{};
                SendMessageW(child, CB_GETDROPPEDCONTROLRECT, 0,
                             reinterpret_cast<LPARAM>(&dropped));
                MapWindowPoints(nullptr, dlgWnd, reinterpret_cast<POINT*>(&dropped), 2);
                // The closed field is as high as the font needs; the list
                // drops down to the template's height (Windows counts the
                // field in it, Wine adds the list below the field's top).
                const LONG field = got.bottom - got.top;
                EXPECT_LT(field, want.bottom - want.top) << what;
                EXPECT_EQ(dropped.left, want.left) << what;
                EXPECT_EQ(dropped.top, want.top) << what;
                EXPECT_EQ(dropped.right, want.right) << what;
                EXPECT_LE(dropped.bottom, want.bottom) << what;
                EXPECT_GE(dropped.bottom, want.bottom - field - 2) << what;
                break;
            }
            case dlg::ControlKind::ProgressBar:
                EXPECT_EQ(className(child), "msctls_progress32") << what;
                expectRect(got, want, what);
                break;
            case dlg::ControlKind::Edit:
                EXPECT_EQ(className(child), "Edit") << what;
                EXPECT_EQ((cs & ES_READONLY) != 0, (c.styles & dlg::kReadOnly) != 0) << what;
                EXPECT_EQ((cs & ES_AUTOHSCROLL) != 0, (c.styles & dlg::kAutoHScroll) != 0) << what;
                expectRect(got, want, what);
                break;
        }
        child = GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr) << where << ": more windows than the template has controls";
}

// The control of the dialog that has the keyboard focus; 0 for none.
int focusedId(const dlg::CDialog& d) {
    HWND f = GetFocus();
    return f != nullptr && IsChild(hwnd(d), f) ? GetDlgCtrlID(f) : 0;
}

void focusOn(const dlg::CDialog& d, int id) {
    SendMessageW(hwnd(d), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(hwnd(d), id)), TRUE);
}

// A key typed on the keyboard, handed to the dialog manager as its modal
// loop hands each message of the focused control (the test's body runs
// inside that loop, so its own waits would pass the key straight to the
// control). Under Xvfb without a window manager SendInput reaches no window.
void pressKey(const dlg::CDialog& d, WORD key) {
    MSG down{GetFocus(), WM_KEYDOWN, key, 1, 0, {}};
    MSG up{GetFocus(), WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u), 0, {}};
    if (!IsDialogMessageW(hwnd(d), &down)) DispatchMessageW(&down);
    if (!IsDialogMessageW(hwnd(d), &up)) DispatchMessageW(&up);
    test::pumpFor(100);
}

class Win32WindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        test::win32Framework();
        // Only in-process devices: whatever the machine has must not count.
        mm::setDrivers({mm::virt::virtualDriver()});
        dialog = std::make_unique<ui::CKestUpdatorDlg>();
        dialog->state().timing = sync::Timing::forTests();
        createdStyles().clear();
        createdExStyles().clear();
        hook = SetWindowsHookExW(WH_CBT, &recordCreation, nullptr, GetCurrentThreadId());
    }
    void TearDown() override {
        UnhookWindowsHookEx(hook);
        ASSERT_TRUE(dialog->settleAfterClose(3000)) << "a worker did not return";
        dialog.reset();
        unit.reset();
    }

    void plugUnit(emulator::UnitConfig cfg = {}) {
        cfg.unplugAfterFinishMs = 50;
        unit = std::make_unique<emulator::VirtualUnit>(std::move(cfg));
    }

    std::unique_ptr<ui::CKestUpdatorDlg> dialog;
    std::unique_ptr<emulator::VirtualUnit> unit;
    HHOOK hook = nullptr;
};

TEST_F(Win32WindowTest, MainWindowAndAboutBoxAreLaidOutAsTheTemplatesSay) {
    plugUnit();
    bool aboutChecked = false;
    runWithin(*dialog, [&] {
        HWND main = hwnd(*dialog);
        ASSERT_NE(main, nullptr);
        checkAgainstTemplate(main, ui::mainDialogTemplate());
        // Ready with the unit: Execute, the first tab stop, has the focus.
        EXPECT_EQ(GetFocus(), GetDlgItem(main, ui::IDOK));
        EXPECT_EQ(test::text(main), "Tarvik QL-5 System v1.20 Updater");
        EXPECT_NE(SendMessageW(main, WM_GETICON, ICON_BIG, 0), 0);
        EXPECT_NE(SendMessageW(main, WM_GETICON, ICON_SMALL, 0), 0);
        // The port lists hold the unit's ports, in device order, selected.
        EXPECT_EQ(itemText(*dialog, ui::IDC_MIDIIN), dialog->inPortList.GetLBText(0));
        EXPECT_NE(itemText(*dialog, ui::IDC_MIDIIN).find("Tarvik QL-5"), std::string::npos);

        ui::CAboutDlg about(dialog.get());
        dlg::setModalHook([&](dlg::CDialog& d) {
            if (&d != &about) return;
            checkAgainstTemplate(hwnd(about), ui::aboutDialogTemplate());
            aboutChecked = true;
            about.EndDialog(dlg::IDOK);
        });
        EXPECT_EQ(about.DoModal(), dlg::IDOK);
    });
    EXPECT_TRUE(aboutChecked);
}

// The main window opens centred on the work area, each further copy one
// step down and right; the About box opens centred on the main window.
TEST_F(Win32WindowTest, WindowsOpenCentredAndCopiesCascade) {
    struct Cascaded : dlg::CDialog {
        explicit Cascaded(int n) : dlg::CDialog(ui::aboutDialogTemplate(), nullptr), n(n) {}
        int cascadeIndex() const override { return n; }
        int n;
    };
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int step = GetSystemMetrics(SM_CYCAPTION) + GetSystemMetrics(SM_CYFRAME);
    const auto frame = [](HWND h) {
        RECT r{};
        GetWindowRect(h, &r);
        return r;
    };
    const auto centreOf = [](const RECT& r) {
        return std::pair<long, long>{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    };
    const auto closeTo = [](std::pair<long, long> a, std::pair<long, long> b) {
        return std::abs(a.first - b.first) <= 1 && std::abs(a.second - b.second) <= 1;
    };
    RECT mainFrame{}, aboutFrame{};
    runWithin(*dialog, [&] {
        mainFrame = frame(hwnd(*dialog));
        ui::CAboutDlg about(dialog.get());
        dlg::setModalHook([&](dlg::CDialog& d) {
            if (&d != &about) return;
            aboutFrame = frame(hwnd(about));
            about.EndDialog(dlg::IDOK);
        });
        about.DoModal();
    });
    EXPECT_TRUE(closeTo(centreOf(mainFrame), centreOf(work)))
        << mainFrame.left << "," << mainFrame.top;
    EXPECT_TRUE(closeTo(centreOf(aboutFrame), centreOf(mainFrame)))
        << aboutFrame.left << "," << aboutFrame.top;

    std::vector<RECT> copies;
    for (int n : {0, 1, 2, 19}) {
        Cascaded d(n);
        runWithin(d, [&] { copies.push_back(frame(hwnd(d))); });
    }
    ASSERT_EQ(copies.size(), 4u);
    for (int n = 1; n < 3; ++n) {
        EXPECT_EQ(copies[n].left - copies[0].left, n * step) << "copy " << n;
        EXPECT_EQ(copies[n].top - copies[0].top, n * step) << "copy " << n;
    }
    for (const RECT& r : copies) {
        EXPECT_GE(r.left, work.left);
        EXPECT_GE(r.top, work.top);
        EXPECT_LE(r.right, work.right);
        EXPECT_LE(r.bottom, work.bottom);
    }
    EXPECT_FALSE(copies[3].left == copies[0].left && copies[3].top == copies[0].top)
        << "the 20th copy opens exactly over the first";
}

TEST_F(Win32WindowTest, SystemMenuCarriesTheAboutEntryThatOpensTheAboutBox) {
    bool aboutRan = false;
    bool bodyRan = false;
    // Not runWithin: the run must end through the menu's Close alone.
    dlg::setModalHook([&](dlg::CDialog& d) {
        if (&d != dialog.get() || bodyRan) return;
        bodyRan = true;
        HWND main = hwnd(*dialog);
        // The window's real system menu, not a menu of our own.
        HMENU menu = GetSystemMenu(main, FALSE);
        ASSERT_NE(menu, nullptr);
        const int n = GetMenuItemCount(menu);
        ASSERT_GE(n, 2);
        EXPECT_NE(GetMenuState(menu, n - 2, MF_BYPOSITION) & dlg::MF_SEPARATOR, 0u);
        EXPECT_EQ(GetMenuItemID(menu, n - 1), ui::kAboutCommandId);
        wchar_t label[128] = {};
        GetMenuStringW(menu, n - 1, label, 128, MF_BYPOSITION);
        EXPECT_EQ(ui::win32::narrow(label), "About Tarvik Dorn Series Updater(&A)...");

        dlg::setModalHook([&](dlg::CDialog& d) {
            if (&d == dialog.get()) return;
            HWND box = hwnd(d);
            aboutRan = true;
            EXPECT_EQ(test::text(box), "About Tarvik Dorn Series Updater");
            EXPECT_EQ(itemText(d, ui::IDC_STATUS), "Tarvik QL-5 System v1.20 Updater");
            // Modal over the main window, with the focus on OK.
            EXPECT_EQ(GetWindow(box, GW_OWNER), main);
            EXPECT_FALSE(IsWindowEnabled(main));
            EXPECT_EQ(GetFocus(), GetDlgItem(box, ui::IDOK));
            // The field is read-only: typing changes nothing.
            HWND field = GetDlgItem(box, ui::IDC_STATUS);
            SendMessageW(field, WM_CHAR, L'x', 0);
            EXPECT_EQ(test::text(field), "Tarvik QL-5 System v1.20 Updater");
            click(d, ui::IDOK);
        });
        // The platform keeps its own bits in the low four bits of a system
        // command; the entry is recognised with them set.
        SendMessageW(main, dlg::WM_SYSCOMMAND, ui::kAboutCommandId | 0x3, 0);
        dlg::setModalHook(nullptr);
        EXPECT_TRUE(aboutRan);
        EXPECT_TRUE(IsWindowEnabled(main));
        // Close from the system menu is the cancel command: the run ends.
        SendMessageW(main, dlg::WM_SYSCOMMAND, dlg::SC_CLOSE, 0);
    });
    EXPECT_EQ(dialog->DoModal(), dlg::IDCANCEL);
    dlg::setModalHook(nullptr);
    EXPECT_TRUE(bodyRan);
}

// A whole update and a version check against the virtual unit, through the
// native buttons, watched on the native controls.
TEST_F(Win32WindowTest, WholeUpdateThenVersionCheckThroughTheNativeControls) {
    plugUnit();
    BoxRecorder boxes;
    Controls whileReportShown{};
    boxes.onBox = [&](const dlg::MessageBoxRequest&) { whileReportShown = controlsOf(*dialog); };
    std::set<std::string> statusTexts;
    bool sawUpdating = false, sawWriteProgress = false;
    runWithin(*dialog, [&] {
        // Every status shown, also one that stood too briefly to be seen by
        // looking now and then (an erase under the test's short timing).
        const TextLog statusLog(GetDlgItem(hwnd(*dialog), ui::IDC_STATUS), statusTexts);
        ASSERT_EQ(controlsOf(*dialog), kReady);
        EXPECT_EQ(itemText(*dialog, ui::IDC_STATUS), "");
        EXPECT_EQ(itemText(*dialog, ui::IDC_STEP), "");
        EXPECT_EQ(progressRange(*dialog), (std::pair<int, int>{0, 100}));
        click(*dialog, ui::IDOK);
        sawUpdating = controlsOf(*dialog) == kUpdating;
        const bool done = waitUntil(
            [&] {
                const std::string status = itemText(*dialog, ui::IDC_STATUS);
                if (progressRange(*dialog).second > 100000 && progressPos(*dialog) > 0)
                    sawWriteProgress = true;
                const Controls now = controlsOf(*dialog);
                if (status != "Version update completed." && !(now == kUpdating)) {
                    ADD_FAILURE() << "controls changed during the update: " << now;
                }
                return !dialog->workerRunning();
            },
            180000);
        ASSERT_TRUE(done);
        EXPECT_EQ(itemText(*dialog, ui::IDC_STATUS), "Version update completed.");
        EXPECT_EQ(itemText(*dialog, ui::IDC_STEP), "8/8");
        EXPECT_EQ(controlsOf(*dialog), kNotReady);
        EXPECT_EQ(progressPos(*dialog), progressRange(*dialog).second);
        // Execute had the focus and is off now: Rescan Device, the next
        // step, has it, so the keyboard works without a click.
        EXPECT_EQ(focusedId(*dialog), ui::IDC_RESCAN);

        // The unit comes back with what was written; Rescan Device finds it.
        unit->plug();
        click(*dialog, ui::IDC_RESCAN);
        ASSERT_EQ(controlsOf(*dialog), kReady);
        // As a keyboard user starts it: the focus on Version Check.
        focusOn(*dialog, ui::IDC_VERSIONCHECK);
        click(*dialog, ui::IDC_VERSIONCHECK);
        EXPECT_EQ(controlsOf(*dialog), kChecking);
        EXPECT_EQ(GetFocus(), nullptr) << "the platform drops a disabled control's focus";
        ASSERT_TRUE(waitUntil([&] { return dialog->state().busy.load() == 0; }, 20000));
        EXPECT_EQ(controlsOf(*dialog), kReady);
        EXPECT_EQ(focusedId(*dialog), ui::IDC_VERSIONCHECK);
        // Tab moves on through the dialog manager, as typed.
        pressKey(*dialog, VK_TAB);
        EXPECT_NE(focusedId(*dialog), ui::IDC_VERSIONCHECK);
        EXPECT_NE(focusedId(*dialog), 0);
        // The status line keeps its last text.
        EXPECT_EQ(itemText(*dialog, ui::IDC_STATUS), "Version update completed.");
    });
    EXPECT_TRUE(sawUpdating);
    EXPECT_TRUE(sawWriteProgress);
    EXPECT_TRUE(statusTexts.count("Erasing Flash memory."));
    EXPECT_TRUE(statusTexts.count("PLEASE UNPLUG THE USB CABLE AND TURN OFF THE POWER."));
    const std::regex transmit("Data transmit  [1-9][0-9]* / [1-9][0-9]* ");
    bool sawTransmit = false;
    for (const auto& s : statusTexts) sawTransmit = sawTransmit || std::regex_match(s, transmit);
    EXPECT_TRUE(sawTransmit);
    const auto all = boxes.boxes();
    ASSERT_EQ(all.size(), 1u) << "only the version report";
    EXPECT_EQ(all[0].caption, "Version Information");
    EXPECT_EQ(all[0].type, 0x40u);
    EXPECT_EQ(all[0].ownerTitle, "Tarvik QL-5 System v1.20 Updater");
    EXPECT_EQ(all[0].text, "SYSTEM:\t\t1.20 -> 1.20\nPRESET:\t\t1.00\nBOOT:\t\t0.90 -> 1.00");
    EXPECT_EQ(whileReportShown, kChecking);
}

TEST_F(Win32WindowTest, ErrorFromTheWorkerShowsWhileUpdatingAndTheControlsComeBack) {
    emulator::UnitConfig cfg;
    cfg.updateMode = false;
    plugUnit(cfg);
    BoxRecorder boxes;
    Controls whileShown{};
    boxes.onBox = [&](const dlg::MessageBoxRequest& r) {
        EXPECT_FALSE(r.onUiThread);
        whileShown = controlsOf(*dialog);
    };
    runWithin(*dialog, [&] {
        ASSERT_EQ(focusedId(*dialog), ui::IDOK);
        click(*dialog, ui::IDOK);
        ASSERT_TRUE(waitUntil([&] { return dialog->state().busy.load() == 0; }, 20000));
        EXPECT_EQ(controlsOf(*dialog), kReady);
        // Back on Execute, which started the run: Enter presses it again.
        EXPECT_EQ(focusedId(*dialog), ui::IDOK);
        BoxRecorder again;
        pressKey(*dialog, VK_RETURN);
        ASSERT_TRUE(waitUntil(
            [&] { return dialog->state().busy.load() == 0 && !again.boxes().empty(); }, 20000));
        EXPECT_EQ(again.boxes()[0].text, "Please use the firmware update mode.");
    });
    const auto all = boxes.boxes();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].text, "Please use the firmware update mode.");
    EXPECT_EQ(all[0].caption, "Error");
    EXPECT_EQ(all[0].type, 0x10u);
    EXPECT_EQ(whileShown, kUpdating);
}

// Calls from a worker run on the UI thread and return when done, also while
// a message box of the platform is up; on the UI thread they run at once;
// once the window is gone they are dropped and return at once.
TEST_F(Win32WindowTest, CallsFromWorkersAreCarriedToTheUiThreadAndReturnWhenDone) {
    auto& fw = test::win32Framework();
    const DWORD uiThread = GetCurrentThreadId();
    std::atomic<bool> workerDone{false};
    std::string seenByWorker;
    DWORD ranOn = 0;
    runWithin(*dialog, [&] {
        bool ranNow = false;
        fw.send([&] { ranNow = true; });
        EXPECT_TRUE(ranNow) << "a call on the UI thread runs at once";

        // The worker calls while a real message box keeps the UI thread in
        // the box's own modal loop, where sent calls still run.
        std::thread worker([&] {
            HWND box = test::findBox("carried", 10000);
            fw.send([&] { ranOn = GetCurrentThreadId(); });
            dialog->statusLine.SetWindowText("from the worker");
            // Already on the native control when the call has returned.
            seenByWorker = itemText(*dialog, ui::IDC_STATUS);
            workerDone = true;
            if (box != nullptr) PostMessageW(box, WM_COMMAND, dlg::IDOK, 0);
        });
        fw.messageBox(dialog->window(), "calls are carried", "carried", dlg::MB_OK);
        EXPECT_TRUE(workerDone.load()) << "the box closed before the worker's calls ran";
        worker.join();
    });
    EXPECT_EQ(ranOn, uiThread);
    EXPECT_EQ(seenByWorker, "from the worker");

    // The window is gone: a worker's call returns at once and changes nothing.
    std::thread late([&] { dialog->statusLine.SetWindowText("late"); });
    late.join();
    EXPECT_EQ(dialog->statusLine.GetWindowText(), "");
}

}  // namespace
}  // namespace ql5
