#include "app/win_main_window.h"

#include <commctrl.h>
#include <shobjidl.h>

#include <algorithm>

#include "platform/win32_text.h"

namespace ombrel {
namespace {

// Layout at 96 pixels per inch, in pixels.
constexpr int kMargin = 3;
constexpr int kTopHeight = 32;
constexpr int kLabelLeft = 50;
constexpr int kErrorTopMargin = 10;
constexpr int kFontHeight = 13;
constexpr int kMemoFontHeight = 11;
constexpr int kMarqueeWidth = 40;
constexpr int kMarqueeHeight = 14;
constexpr UINT_PTR kStartTimerId = 1;
constexpr DWORD kStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
constexpr wchar_t kWindowClass[] = L"OmbrelInstallerWindow";

// Functions of newer Windows versions, looked up so that the program still starts without them.
template <typename T>
T SystemFunction(const wchar_t* module, const char* name) {
    HMODULE handle = GetModuleHandleW(module);
    return handle ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(handle, name)))
                  : nullptr;
}

UINT DpiOf(HWND window) {
    using TGetDpiForWindow = UINT(WINAPI*)(HWND);
    static const auto getDpi = SystemFunction<TGetDpiForWindow>(L"user32.dll", "GetDpiForWindow");
    if (getDpi && window) {
        const UINT dpi = getDpi(window);
        if (dpi != 0) return dpi;
    }
    HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

RECT OuterRectFor(int clientWidth, int clientHeight, UINT dpi) {
    RECT rect{0, 0, clientWidth, clientHeight};
    using TAdjust = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static const auto adjust = SystemFunction<TAdjust>(L"user32.dll", "AdjustWindowRectExForDpi");
    if (!adjust || !adjust(&rect, kStyle, FALSE, 0, dpi))
        AdjustWindowRectEx(&rect, kStyle, FALSE, 0);
    return rect;
}

// Common controls version 6 (the manifest asks for it) registers the progress bar class. The
// library is loaded by name from the system folder: nothing is imported from it at start.
void RegisterCommonControls() {
    HMODULE comctl = LoadLibraryW(L"comctl32.dll");
    if (!comctl) return;
    using TInit = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    auto init = reinterpret_cast<TInit>(
        reinterpret_cast<void*>(GetProcAddress(comctl, "InitCommonControlsEx")));
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    if (init) init(&controls);
}

std::string WindowText(HWND control) {
    if (!control) return "";
    const int length = GetWindowTextLengthW(control);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(control, text.data(), length + 1)));
    return Narrow(text);
}

}  // namespace

// ---- TShellTaskbarButton

struct TShellTaskbarButton::TList {
    ITaskbarList3* list = nullptr;
    ~TList() {
        if (list) list->Release();
    }
};

TShellTaskbarButton::TShellTaskbarButton() = default;
TShellTaskbarButton::~TShellTaskbarButton() = default;

void TShellTaskbarButton::ButtonCreated(HWND window) {
    if (!iList) {
        auto list = std::make_unique<TList>();
        if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_ITaskbarList3, reinterpret_cast<void**>(&list->list))) ||
            !list->list || FAILED(list->list->HrInit())) {
            return;
        }
        iList = std::move(list);
    }
    Apply(window);
}

void TShellTaskbarButton::SetProgress(HWND window, int32_t value, TTaskbarState state) {
    iValue = value;
    iState = state;
    if (iList) Apply(window);
}

void TShellTaskbarButton::Apply(HWND window) {
    iList->list->SetProgressValue(window, static_cast<ULONGLONG>(std::max(iValue, 0)), 100);
    iList->list->SetProgressState(window,
                                  iState == TTaskbarState::Error ? TBPF_ERROR : TBPF_NORMAL);
}

// ---- TWinMainWindow

TWinMainWindow::TWinMainWindow(const std::vector<std::string>& arguments,
                               IUiDispatcherPtr dispatcher, IProcessLauncherPtr launcher,
                               ITaskbarButtonPtr taskbar, TApp::TResourceReader resourceReader)
    : iDispatcher(dispatcher), iTaskbar(std::move(taskbar)) {
    RegisterCommonControls();
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassExW(&windowClass);  // fails harmlessly when a second window registers again

    iTaskbarButtonCreated = RegisterWindowMessageW(L"TaskbarButtonCreated");
    const std::wstring caption = Widen(TFrmMain::kInitialCaption);
    iWindow = CreateWindowExW(0, kWindowClass, caption.c_str(), kStyle, CW_USEDEFAULT,
                              CW_USEDEFAULT, 100, 100, nullptr, nullptr, instance, this);
    if (!iWindow) return;
    iDpi = DpiOf(iWindow);
    CreateFonts();

    iMarquee = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD | WS_VISIBLE | PBS_MARQUEE, 0, 0,
                               0, 0, iWindow, nullptr, instance, nullptr);
    iLbProgress = CreateWindowExW(
        0, L"STATIC", Widen(TFrmMain::kInitialProgress).c_str(),
        WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX | SS_PATHELLIPSIS | SS_CENTERIMAGE, 0, 0, 0,
        0, iWindow, nullptr, instance, nullptr);
    iLbErrorCaption = CreateWindowExW(0, L"STATIC", Widen(TFrmMain::kErrorCaption).c_str(),
                                      WS_CHILD | SS_LEFT | SS_NOPREFIX, 0, 0, 0, 0, iWindow,
                                      nullptr, instance, nullptr);
    iMemError = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                                WS_CHILD | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
                                0, 0, 0, 0, iWindow, nullptr, instance, nullptr);
    for (HWND control : {iMarquee, iLbProgress, iLbErrorCaption}) {
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(iFont), FALSE);
    }
    SendMessageW(iMemError, WM_SETFONT, reinterpret_cast<WPARAM>(iMemoFont), FALSE);
    SetActivityIndicator(true);
    LayoutControls();

    iLogic = std::make_unique<TFrmMain>(*this, std::move(dispatcher), std::move(launcher),
                                        std::move(resourceReader));
    iLogic->FormCreate(arguments);
}

TWinMainWindow::~TWinMainWindow() {
    if (iWindow) {
        SetWindowLongPtrW(iWindow, GWLP_USERDATA, 0);
        DestroyWindow(iWindow);
    }
    if (iDispatcher) iDispatcher->Shutdown();
    if (iFont) DeleteObject(iFont);
    if (iMemoFont) DeleteObject(iMemoFont);
}

int TWinMainWindow::Scale(int pixels) const {
    return MulDiv(pixels, static_cast<int>(iDpi), 96);
}

void TWinMainWindow::CreateFonts() {
    if (iFont) DeleteObject(iFont);
    if (iMemoFont) DeleteObject(iMemoFont);
    auto font = [this](int height) {
        return CreateFontW(-Scale(height), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                           DEFAULT_PITCH | FF_SWISS, L"Tahoma");
    };
    iFont = font(kFontHeight);
    iMemoFont = font(kMemoFontHeight);
}

void TWinMainWindow::ShowCentred() {
    if (!iWindow) return;
    RECT window{};
    GetWindowRect(iWindow, &window);
    MONITORINFO monitor{sizeof monitor, {}, {}, 0};
    GetMonitorInfoW(MonitorFromWindow(iWindow, MONITOR_DEFAULTTOPRIMARY), &monitor);
    const RECT& area = monitor.rcWork;
    const int width = window.right - window.left, height = window.bottom - window.top;
    SetWindowPos(iWindow, nullptr, area.left + (area.right - area.left - width) / 2,
                 area.top + (area.bottom - area.top - height) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(iWindow, SW_SHOWNORMAL);
    SetForegroundWindow(iWindow);
}

void TWinMainWindow::LayoutControls() {
    if (!iWindow) return;
    // The outer size: the client area of 507×40, or the height TFrmMain asked for.
    const RECT initial =
        OuterRectFor(Scale(TFrmMain::kClientWidth), Scale(TFrmMain::kClientHeight), iDpi);
    const int outerWidth = initial.right - initial.left;
    const int outerHeight =
        iOuterHeight96 > 0 ? Scale(iOuterHeight96) : initial.bottom - initial.top;
    SetWindowPos(iWindow, nullptr, 0, 0, outerWidth, outerHeight,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

    RECT client{};
    GetClientRect(iWindow, &client);
    const int margin = Scale(kMargin);
    const int width = std::max(0, static_cast<int>(client.right) - 2 * margin);
    const int top = Scale(kTopHeight);
    const int marqueeHeight = Scale(kMarqueeHeight);
    MoveWindow(iMarquee, 2 * margin, margin + (top - marqueeHeight) / 2, Scale(kMarqueeWidth),
               marqueeHeight, TRUE);
    const int labelLeft = margin + Scale(kLabelLeft);
    MoveWindow(iLbProgress, labelLeft, margin, std::max(1, width - Scale(kLabelLeft) - margin), top,
               TRUE);

    const int errorTop = margin + top + margin + Scale(kErrorTopMargin);
    const int errorHeight = static_cast<int>(client.bottom) - errorTop - margin;
    const bool visible = errorHeight > 0;
    ShowWindow(iLbErrorCaption, visible ? SW_SHOWNA : SW_HIDE);
    ShowWindow(iMemError, visible ? SW_SHOWNA : SW_HIDE);
    if (!visible) return;
    const int captionHeight = Scale(kFontHeight + 4);
    const int innerWidth = std::max(0, width - 2 * margin);
    MoveWindow(iLbErrorCaption, 2 * margin, errorTop + margin, innerWidth, captionHeight, TRUE);
    const int memoTop = errorTop + margin + captionHeight + 2 * margin;
    MoveWindow(iMemError, 2 * margin, memoTop, innerWidth,
               std::max(0, errorTop + errorHeight - margin - memoTop), TRUE);
}

SIZE TWinMainWindow::OuterSize() const {
    RECT rect{};
    GetWindowRect(iWindow, &rect);
    return SIZE{rect.right - rect.left, rect.bottom - rect.top};
}

std::string TWinMainWindow::ProgressText() const {
    return WindowText(iLbProgress);
}
std::string TWinMainWindow::ErrorText() const {
    return WindowText(iMemError);
}
bool TWinMainWindow::ErrorPanelVisible() const {
    return iMemError && (GetWindowLongW(iMemError, GWL_STYLE) & WS_VISIBLE) != 0;
}

LRESULT CALLBACK TWinMainWindow::WindowProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<TWinMainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self && self->iWindow == window) return self->Handle(message, wParam, lParam);
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT TWinMainWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == iTaskbarButtonCreated && iTaskbarButtonCreated != 0) {
        if (iTaskbar) iTaskbar->ButtonCreated(iWindow);
        return 0;
    }
    switch (message) {
        case WM_TIMER:
            if (wParam == kStartTimerId && iLogic) iLogic->TimerStartTimer();
            return 0;
        case WM_CTLCOLORSTATIC: {
            // Labels and the read-only list on the window's own background.
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetBkColor(dc, GetSysColor(COLOR_WINDOW));
            SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
        }
        case WM_DPICHANGED: {
            iDpi = HIWORD(wParam);
            CreateFonts();
            for (HWND control : {iMarquee, iLbProgress, iLbErrorCaption}) {
                SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(iFont), TRUE);
            }
            SendMessageW(iMemError, WM_SETFONT, reinterpret_cast<WPARAM>(iMemoFont), TRUE);
            const auto* suggested = reinterpret_cast<const RECT*>(lParam);
            SetWindowPos(iWindow, nullptr, suggested->left, suggested->top, 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
            LayoutControls();
            return 0;
        }
        case WM_CLOSE:
            // The user may close the window at any time; a run in progress is not waited for.
            CloseWindow();
            return 0;
        case WM_DESTROY:
            KillTimer(iWindow, kStartTimerId);
            if (iDispatcher) iDispatcher->Shutdown();
            PostQuitMessage(0);
            return 0;
        case WM_NCDESTROY:
            SetWindowLongPtrW(iWindow, GWLP_USERDATA, 0);
            iWindow = nullptr;
            break;
        default:
            break;
    }
    return DefWindowProcW(iWindow, message, wParam, lParam);
}

void TWinMainWindow::SetCaption(const std::string& caption) {
    SetWindowTextW(iWindow, Widen(caption).c_str());
}

void TWinMainWindow::SetProgressText(const std::string& text) {
    SetWindowTextW(iLbProgress, Widen(text).c_str());
}

void TWinMainWindow::SetTaskbarProgress(int32_t value, TTaskbarState state) {
    if (iTaskbar) iTaskbar->SetProgress(iWindow, value, state);
}

void TWinMainWindow::SetOuterHeight(int pixels) {
    iOuterHeight96 = pixels;
    LayoutControls();
}

void TWinMainWindow::SetActivityIndicator(bool running) {
    iMarqueeRunning = running;
    SendMessageW(iMarquee, PBM_SETMARQUEE, running ? TRUE : FALSE, 30);
    if (!running) {
        // A stopped marquee still shows its last block; an empty bar shows that nothing moves.
        SetWindowLongW(iMarquee, GWL_STYLE, GetWindowLongW(iMarquee, GWL_STYLE) & ~PBS_MARQUEE);
        SendMessageW(iMarquee, PBM_SETPOS, 0, 0);
    } else {
        SetWindowLongW(iMarquee, GWL_STYLE, GetWindowLongW(iMarquee, GWL_STYLE) | PBS_MARQUEE);
        SendMessageW(iMarquee, PBM_SETMARQUEE, TRUE, 30);
    }
}

void TWinMainWindow::AppendErrorLine(const std::string& line) {
    const std::wstring text = (GetWindowTextLengthW(iMemError) > 0 ? L"\r\n" : L"") + Widen(line);
    const LPARAM end = GetWindowTextLengthW(iMemError);
    SendMessageW(iMemError, EM_SETSEL, static_cast<WPARAM>(end), end);
    SendMessageW(iMemError, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

void TWinMainWindow::ProcessPendingEvents() {
    if (iWindow) UpdateWindow(iWindow);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // Leave the end of the loop to the loop itself.
            PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void TWinMainWindow::StartTimer(int milliseconds) {
    SetTimer(iWindow, kStartTimerId, static_cast<UINT>(milliseconds), nullptr);
}

void TWinMainWindow::StopTimer() {
    KillTimer(iWindow, kStartTimerId);
}

void TWinMainWindow::CloseWindow() {
    if (iWindow) DestroyWindow(iWindow);
}

}  // namespace ombrel
