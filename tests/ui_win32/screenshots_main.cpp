// Takes the pictures of the Win32 window for the documentation, from the
// screen as a user sees it (under Wine: Xvfb with a window manager): the
// main window with the virtual unit (ready, and during an update), the About
// box, the version report and an error box, as BMP files.
// Usage: ql5_ui_win32_screenshots <folder>
#include "win32_harness.hpp"  // first: <windows.h> after the dialog seam

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "emulator/virtual_unit.hpp"
#include "engine/engine.hpp"
#include "platform/mm/driver.hpp"
#include "platform/mm/virtual_driver.hpp"
#include "ui/CKestUpdatorDlg.hpp"
#include "ui/resource.hpp"

using namespace ql5;

namespace {

std::string folder;

// The window's rectangle on the screen, frame included, as a 24-bit BMP.
void save(HWND window, const char* name) {
    const std::string path = folder + "\\" + name;
    RECT r{};
    GetWindowRect(window, &r);
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP bmp = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY | CAPTUREBLT);
    SelectObject(mem, old);

    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = w;
    info.biHeight = h;  // bottom-up, as BMP files store it
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const int stride = (w * 3 + 3) & ~3;
    std::vector<char> pixels(static_cast<std::size_t>(stride) * static_cast<std::size_t>(h));
    GetDIBits(mem, bmp, 0, static_cast<UINT>(h), pixels.data(),
              reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);

    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = static_cast<DWORD>(file.bfOffBits + pixels.size());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info), sizeof info);
    out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
    std::printf("%s\n", out ? path.c_str() : ("could not write " + path).c_str());
    std::fflush(stdout);
}

// Pictures the next message box with this caption once it has drawn, and
// closes it, from a thread of its own while the UI thread shows the box.
std::thread pictureOfBox(const std::string& caption, const char* name) {
    return std::thread([caption, name] {
        HWND box = test::findBox(caption, 20000);
        if (box == nullptr) {
            std::fprintf(stderr, "no box \"%s\"\n", caption.c_str());
            return;
        }
        Sleep(500);
        save(box, name);
        PostMessageW(box, WM_COMMAND, dlg::IDOK, 0);
    });
}

void settle(HWND window) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    test::pumpFor(500);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    folder = argv[1];
    test::win32Framework();
    mm::setDrivers({mm::virt::virtualDriver()});
    emulator::UnitConfig cfg;
    cfg.unplugAfterFinishMs = 60000;
    emulator::VirtualUnit unit(cfg);

    auto main = std::make_unique<ui::CKestUpdatorDlg>();
    main->state().timing = sync::Timing::forTests();

    dlg::setModalHook([&](dlg::CDialog& d) {
        if (&d != main.get()) {
            settle(test::hwnd(d));
            save(test::hwnd(d), "win32-about-box.bmp");
            d.EndDialog(dlg::IDOK);
            return;
        }
        HWND window = test::hwnd(*main);
        settle(window);
        save(window, "win32-main-window.bmp");

        SendMessageW(window, dlg::WM_SYSCOMMAND, ui::kAboutCommandId, 0);

        std::thread report = pictureOfBox("Version Information", "win32-version-report.bmp");
        test::click(*main, ui::IDC_VERSIONCHECK);
        test::waitUntil([&] { return main->state().busy.load() == 0; }, 20000);
        report.join();

        std::thread error = pictureOfBox("Error", "win32-error-box.bmp");
        dlg::MessageBox(main.get(), engine::loadString(engine::IDS_TIMEOUT1),
                        engine::loadString(engine::IDS_ERROR_CAPTION),
                        dlg::MB_OK | dlg::MB_ICONHAND);
        error.join();

        // Half way through the largest image.
        test::click(*main, ui::IDOK);
        test::waitUntil(
            [&] {
                const auto range = main->progressBar.GetRange();
                return range.second > 10000000 && main->progressBar.GetPos() > range.second / 2;
            },
            120000);
        settle(window);
        save(window, "win32-main-window-updating.bmp");
        main->EndDialog(dlg::IDCANCEL);
    });
    main->DoModal();
    dlg::setModalHook(nullptr);
    if (main->settleAfterClose(2000))
        main.reset();
    else
        main.release();  // a worker still uses it; the process ends now
    return 0;
}
