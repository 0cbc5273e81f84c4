// A library planted beside the installer in tests, under the name of a system library: when any
// program loads it, it leaves "<its name>.loaded" in the folder named by OMBREL_PLANTED_MARKERS.

#include <windows.h>

#include <string>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t folder[MAX_PATH] = {}, path[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"OMBREL_PLANTED_MARKERS", folder, MAX_PATH) == 0) return TRUE;
    GetModuleFileNameW(instance, path, MAX_PATH);
    std::wstring name(path);
    name = name.substr(name.find_last_of(L'\\') + 1);
    name = name.substr(0, name.find_last_of(L'.'));
    const std::wstring marker = std::wstring(folder) + L"\\" + name + L".loaded";
    HANDLE file = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return TRUE;
}
