#include <windows.h>

#include <string>

#include "platform/win32_text.h"

namespace ombrel {

std::wstring Widen(std::string_view text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), n);
    return wide;
}

std::string Narrow(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(text.size());
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), n, nullptr, nullptr);
    return narrow;
}

std::string Win32ErrorText(unsigned long code) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    while (length > 0 && (buffer[length - 1] == L'\n' || buffer[length - 1] == L'\r' ||
                          buffer[length - 1] == L' ' || buffer[length - 1] == L'.')) {
        --length;
    }
    std::string text = length > 0 ? Narrow(std::wstring_view(buffer, length)) : std::string();
    if (buffer != nullptr) LocalFree(buffer);
    return text.empty() ? "error " + std::to_string(code) : text;
}

std::string LastWin32ErrorText() {
    return Win32ErrorText(GetLastError());
}

std::wstring Win32Path(std::string_view path) {
    std::wstring wide = Widen(path);
    if (wide.empty()) return wide;
    for (wchar_t& c : wide) {
        if (c == L'/') c = L'\\';
    }
    if (wide.rfind(L"\\\\?\\", 0) == 0 || wide.rfind(L"\\\\.\\", 0) == 0) return wide;
    // The prefixed form is taken literally by the system: it must be absolute and free of "."
    // and ".." parts, which GetFullPathNameW sees to.
    DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) return wide;
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
    if (n == 0 || n >= full.size()) return wide;
    full.resize(n);
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

}  // namespace ombrel
