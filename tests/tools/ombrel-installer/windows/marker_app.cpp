// The program that the Windows installer tests publish and install: it writes how it was started
// (its arguments, its file, whether the working folder is its own folder) to the file named by
// OMBREL_TEST_MARKER, through a temporary name, so that the file appears complete.

// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <string>

int main() {
    wchar_t marker[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"OMBREL_TEST_MARKER", marker, MAX_PATH) == 0) return 2;
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments) LocalFree(arguments);
    wchar_t exe[MAX_PATH] = {}, cwd[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    GetCurrentDirectoryW(MAX_PATH, cwd);
    std::wstring folder(exe);
    folder = folder.substr(0, folder.find_last_of(L'\\'));
    const bool same = lstrcmpiW(folder.c_str(), cwd) == 0;

    std::wstring text = L"arguments=" + std::to_wstring(count - 1) + L"\r\nexe=" + exe +
                        L"\r\ncwd=" + cwd + L"\r\nsame folder=" + (same ? L"yes" : L"no") + L"\r\n";
    char utf8[4 * MAX_PATH * 4] = {};
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, utf8, sizeof utf8, nullptr, nullptr);
    const std::wstring temp = std::wstring(marker) + L".tmp";
    HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    WriteFile(file, utf8, static_cast<DWORD>(size > 0 ? size - 1 : 0), &written, nullptr);
    CloseHandle(file);
    return MoveFileExW(temp.c_str(), marker, MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
