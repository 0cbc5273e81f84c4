#include "app/win_ui_dispatcher.h"

#include <utility>

namespace ombrel {
namespace {

constexpr UINT kRunSteps = WM_APP + 1;
constexpr wchar_t kClassName[] = L"OmbrelUiDispatcher";

}  // namespace

TWinUiDispatcher::TWinUiDispatcher() : iUiThread(GetCurrentThreadId()) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kClassName;
    RegisterClassExW(&windowClass);
    iWindow = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance,
                              nullptr);
    SetWindowLongPtrW(iWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

TWinUiDispatcher::~TWinUiDispatcher() {
    Shutdown();
    if (iWindow) {
        SetWindowLongPtrW(iWindow, GWLP_USERDATA, 0);
        DestroyWindow(iWindow);
    }
}

bool TWinUiDispatcher::IsUiThread() const {
    return GetCurrentThreadId() == iUiThread;
}

void TWinUiDispatcher::Post(std::function<void()> step) {
    {
        std::lock_guard lock(iMutex);
        if (iShutdown || !iWindow) return;
        iSteps.push_back(std::move(step));
    }
    PostMessageW(iWindow, kRunSteps, 0, 0);
}

void TWinUiDispatcher::Shutdown() {
    std::deque<std::function<void()>> dropped;
    std::lock_guard lock(iMutex);
    iShutdown = true;
    dropped.swap(iSteps);
}

void TWinUiDispatcher::RunQueued() {
    // One step per message: a step that processes window events meanwhile finds the next step's
    // message waiting and runs it then, in order.
    std::function<void()> step;
    {
        std::lock_guard lock(iMutex);
        if (iShutdown || iSteps.empty()) return;
        step = std::move(iSteps.front());
        iSteps.pop_front();
    }
    step();
}

LRESULT CALLBACK TWinUiDispatcher::WindowProc(HWND window, UINT message, WPARAM wParam,
                                              LPARAM lParam) {
    if (message == kRunSteps) {
        auto* self = reinterpret_cast<TWinUiDispatcher*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self) self->RunQueued();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace ombrel
