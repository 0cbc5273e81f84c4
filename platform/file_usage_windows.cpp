#include <windows.h>
// after windows.h
#include <restartmanager.h>

#include <string>
#include <vector>

#include "platform/file_usage.h"
#include "platform/win32_text.h"

namespace ombrel {
namespace {

// The Restart Manager knows which processes use a file. Its library is loaded from the system
// folder only, when first needed.
struct TRestartManager {
    decltype(&RmStartSession) start = nullptr;
    decltype(&RmRegisterResources) registerResources = nullptr;
    decltype(&RmGetList) getList = nullptr;
    decltype(&RmEndSession) end = nullptr;

    TRestartManager() {
        HMODULE library = LoadLibraryExW(L"rstrtmgr.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (library == nullptr) return;
        start = reinterpret_cast<decltype(start)>(
            reinterpret_cast<void*>(GetProcAddress(library, "RmStartSession")));
        registerResources = reinterpret_cast<decltype(registerResources)>(
            reinterpret_cast<void*>(GetProcAddress(library, "RmRegisterResources")));
        getList = reinterpret_cast<decltype(getList)>(
            reinterpret_cast<void*>(GetProcAddress(library, "RmGetList")));
        end = reinterpret_cast<decltype(end)>(
            reinterpret_cast<void*>(GetProcAddress(library, "RmEndSession")));
    }
    bool Available() const { return start && registerResources && getList && end; }
};

}  // namespace

std::string DescribeFileUsers(const std::string& path) {
    static const TRestartManager manager;
    if (!manager.Available()) return {};
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (manager.start(&session, 0, key) != ERROR_SUCCESS) return {};
    std::string text;
    const std::wstring file = Win32Path(path);
    LPCWSTR files[] = {file.c_str()};
    if (manager.registerResources(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS) {
        std::vector<RM_PROCESS_INFO> processes(8);
        UINT needed = 0;
        UINT count = static_cast<UINT>(processes.size());
        DWORD reasons = 0;
        DWORD result = manager.getList(session, &needed, &count, processes.data(), &reasons);
        if (result == ERROR_SUCCESS || result == ERROR_MORE_DATA) {
            if (result == ERROR_MORE_DATA) count = static_cast<UINT>(processes.size());
            const DWORD self = GetCurrentProcessId();
            for (UINT i = 0; i < count; ++i) {
                if (processes[i].Process.dwProcessId == self) continue;
                if (!text.empty()) text += ", ";
                text += Narrow(processes[i].strAppName) + " (pid " +
                        std::to_string(processes[i].Process.dwProcessId) + ")";
            }
            if (result == ERROR_MORE_DATA) text += ", ...";
        }
    }
    manager.end(session);
    return text;
}

std::error_code ProbeExclusiveWrite(const std::string& path) {
    // Windows says it through sharing: opening for writing and sharing nothing fails with a
    // sharing violation while any other process has the file open, mapped or running.
    HANDLE file = CreateFileW(Win32Path(path).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
            code == ERROR_USER_MAPPED_FILE) {
            return std::make_error_code(std::errc::device_or_resource_busy);
        }
        return std::error_code(static_cast<int>(code), std::system_category());
    }
    CloseHandle(file);
    return {};
}

}  // namespace ombrel
