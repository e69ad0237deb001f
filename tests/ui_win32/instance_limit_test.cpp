// Instance slots on Windows: named mutexes with the instance names, taken
// lowest first; with all 20 taken the application shows the platform's
// message box with the documented text and makes no window.
#include "win32_harness.hpp"  // first: <windows.h> after the dialog seam

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "app/CKestUpdatorApp.hpp"
#include "platform/slots/named_marker.hpp"
#include "ui/instance.hpp"

namespace ql5 {
namespace {

TEST(Win32InstanceSlots, TwentyCopiesTakeTheSlotsInOrderAndTheTwentyFirstIsRefused) {
    test::win32Framework();
    // Kept apart from copies of the program that may be running.
    const std::string scope = "ql5-slots-test-" + std::to_string(GetCurrentProcessId());
    instances::NamedMarker::setScope(scope);

    app::CKestUpdatorApp theApp;
    theApp.setAppNameFromPath("C:\\Program Files\\Tarvik\\ql5-updater.exe");

    // Twenty copies, each holding its slot as a running copy does.
    std::vector<instances::NamedMarker> held;
    for (int n = 1; n <= ui::kInstanceSlots; ++n) {
        ASSERT_TRUE(theApp.claimSlot()) << n;
        EXPECT_EQ(theApp.claimedSlot(), n);
        held.push_back(std::move(theApp.instanceMutex));
    }

    // The slots are system mutexes under the instance names: opening one by
    // name finds it (slot 1 has no number, slot 20 has " (20)").
    for (int n : {1, 2, 20}) {
        const std::wstring name = ui::win32::widen(scope + "/" + ui::instanceName(n));
        HANDLE h = CreateMutexW(nullptr, FALSE, name.c_str());
        const DWORD err = GetLastError();
        ASSERT_NE(h, nullptr) << n;
        EXPECT_EQ(err, static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << ui::instanceName(n);
        CloseHandle(h);
    }

    // The 21st: the platform's own message box, read from the screen.
    std::string boxText;
    bool exclamationIcon = false;
    std::thread user([&] {
        HWND box = test::findBox("ql5-updater", 20000);
        if (box == nullptr) return;
        for (const auto& t : test::staticTexts(box)) boxText += t;
        const HICON warning = LoadIconW(nullptr, MAKEINTRESOURCEW(32515));  // IDI_WARNING
        if (warning == nullptr) return;
        for (HWND c = GetWindow(box, GW_CHILD); c != nullptr; c = GetWindow(c, GW_HWNDNEXT)) {
            if ((GetWindowLongW(c, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
                reinterpret_cast<HICON>(SendMessageW(c, STM_GETICON, 0, 0)) == warning) {
                exclamationIcon = true;
            }
        }
        PostMessageW(box, WM_COMMAND, dlg::IDOK, 0);
    });
    EXPECT_FALSE(theApp.InitInstance());
    user.join();
    EXPECT_EQ(boxText, "It is forbidden to launch more than 20 instance of this application.");
    EXPECT_TRUE(exclamationIcon);
    EXPECT_EQ(theApp.m_pMainWnd, nullptr);

    // A copy that ends frees its slot; the next start takes the lowest free.
    held[6].close();
    held[2].close();
    ASSERT_TRUE(theApp.claimSlot());
    EXPECT_EQ(theApp.claimedSlot(), 3);
    instances::NamedMarker::setScope("");
}

}  // namespace
}  // namespace ql5
