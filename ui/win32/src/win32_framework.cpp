#include "ui/win32/win32_framework.hpp"

#include "win32_window.hpp"

namespace ql5::ui::win32 {

namespace {

constexpr UINT kSendCall = dlg::WM_APP + 0x100;  // wParam: the call, run and returned
constexpr UINT kPostCall = dlg::WM_APP + 0x101;  // lParam: the call, owned by the message
const wchar_t kInvokerClass[] = L"ql5.invoker";

using Call = std::function<void()>;

}  // namespace

std::wstring widen(const std::string& text, UINT codePage) {
    if (text.empty()) return {};
    const int n =
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string narrow(const std::wstring& text, UINT codePage) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

Win32Framework::Win32Framework(HINSTANCE instance)
    : instance_(instance != nullptr ? instance : GetModuleHandleW(nullptr)),
      uiThread_(GetCurrentThreadId()) {
    // Every common control class of the set (the progress bar is one).
    INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), 0xFF};
    InitCommonControlsEx(&icc);

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &invokerProc;
    wc.hInstance = instance_;
    wc.lpszClassName = kInvokerClass;
    RegisterClassExW(&wc);  // fails harmlessly when a second framework registers again
    invoker_ = CreateWindowExW(0, kInvokerClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               instance_, nullptr);
}

Win32Framework::~Win32Framework() {
    // Posted calls that never ran own their closures.
    MSG msg;
    while (invoker_ != nullptr && PeekMessageW(&msg, invoker_, kPostCall, kPostCall, PM_REMOVE)) {
        delete reinterpret_cast<Call*>(msg.lParam);
    }
    if (invoker_ != nullptr) DestroyWindow(invoker_);
}

LRESULT CALLBACK Win32Framework::invokerProc(HWND hwnd, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    if (message == kSendCall) {
        (*reinterpret_cast<const Call*>(wParam))();
        return 0;
    }
    if (message == kPostCall) {
        const std::unique_ptr<Call> call(reinterpret_cast<Call*>(lParam));
        (*call)();
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

std::unique_ptr<dlg::WindowImpl> Win32Framework::createWindow(dlg::CDialog& dialog,
                                                              const dlg::DialogTemplate& tpl,
                                                              dlg::WindowImpl* parent) {
    return std::make_unique<Win32Window>(dialog, tpl, instance_, hwndOf(parent));
}

int Win32Framework::messageBox(dlg::WindowImpl* owner, const std::string& text,
                               const std::string& caption, dlg::UINT type) {
    return MessageBoxW(hwndOf(owner), widen(text).c_str(), widen(caption).c_str(), type);
}

bool Win32Framework::onUiThread() const { return GetCurrentThreadId() == uiThread_; }

void Win32Framework::send(const std::function<void()>& fn) {
    if (onUiThread()) {
        fn();
        return;
    }
    if (invoker_ == nullptr) return;
    // The UI thread runs sent messages whenever it waits for messages, also
    // inside a dialog's or a message box's modal loop; the caller waits.
    SendMessageW(invoker_, kSendCall, reinterpret_cast<WPARAM>(&fn), 0);
}

void Win32Framework::post(std::function<void()> fn) {
    if (invoker_ == nullptr) return;
    auto* call = new Call(std::move(fn));
    if (!PostMessageW(invoker_, kPostCall, 0, reinterpret_cast<LPARAM>(call))) delete call;
}

void Win32Framework::processEvents(int maxMs) {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(maxMs > 0 ? maxMs : 0);
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        // Sent messages are handled while waiting here too.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    } while (GetTickCount64() < end);
}

HWND hwndOf(const dlg::WindowImpl* window) {
    const auto* w = dynamic_cast<const Win32Window*>(window);
    return w != nullptr ? w->hwnd() : nullptr;
}

}  // namespace ql5::ui::win32
