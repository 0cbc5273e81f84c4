// ombrel-demo-app.exe: the small Windows application that scripts/demo-windows.sh publishes and
// installs. It shows that it was started: it writes "ombrel-demo-started.txt" into its working
// folder (which the installer sets to the program's own folder) and opens a small window
// "Ombrel Demo".

// windows.h first: the shell headers need its types.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <string>

namespace {

std::string Utf8(const std::wstring& text) {
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? size - 1 : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, result.data(), size, nullptr, nullptr);
    return result;
}

// Written under a temporary name and renamed, so a watcher never reads half a marker.
void WriteMarker() {
    wchar_t program[MAX_PATH] = {}, folder[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    GetCurrentDirectoryW(MAX_PATH, folder);
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments) LocalFree(arguments);
    const std::string text = "started\r\npid=" + std::to_string(GetCurrentProcessId()) +
                             "\r\nprogram=" + Utf8(program) + "\r\nfolder=" + Utf8(folder) +
                             "\r\narguments=" + std::to_string(count - 1) + "\r\n";
    HANDLE file = CreateFileW(L"ombrel-demo-started.txt.tmp", GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    MoveFileExW(L"ombrel-demo-started.txt.tmp", L"ombrel-demo-started.txt",
                MOVEFILE_REPLACE_EXISTING);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int main() {
    WriteMarker();
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"OmbrelDemoApp";
    RegisterClassW(&windowClass);
    HWND window =
        CreateWindowW(L"OmbrelDemoApp", L"Ombrel Demo", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU,
                      CW_USEDEFAULT, CW_USEDEFAULT, 360, 120, nullptr, nullptr, instance, nullptr);
    CreateWindowW(L"STATIC", L"Installed and started by the Ombrel installer.",
                  WS_CHILD | WS_VISIBLE | SS_CENTER, 10, 30, 330, 20, window, nullptr, instance,
                  nullptr);
    ShowWindow(window, SW_SHOWNORMAL);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
