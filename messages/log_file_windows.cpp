#include "messages/log_file.h"

#include <windows.h>

#include <algorithm>

#include <fmt/format.h>

namespace ombrel {
namespace {

std::wstring Widen(const std::string& text) {
    if (text.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string LastErrorText() {
    DWORD code = GetLastError();
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    while (length > 0 && (buffer[length - 1] == L'\n' || buffer[length - 1] == L'\r' ||
                          buffer[length - 1] == L' ' || buffer[length - 1] == L'.')) {
        --length;
    }
    std::string text;
    if (length > 0) {
        int n = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), nullptr, 0,
                                    nullptr, nullptr);
        text.resize(static_cast<size_t>(n));
        WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), text.data(), n, nullptr,
                            nullptr);
    }
    if (buffer != nullptr) LocalFree(buffer);
    return text.empty() ? fmt::format("error {}", code) : text;
}

}  // namespace

bool AppendToFile(const std::string& fileName, const std::string& text, std::string& error) {
    // FILE_APPEND_DATA alone makes every write go to the current end of the file.
    HANDLE file = CreateFileW(Widen(fileName).c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = fmt::format("Cannot open file \"{}\": {}", fileName, LastErrorText());
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file, text.data() + done, chunk, &written, nullptr)) {
            error = fmt::format("Cannot write file \"{}\": {}", fileName, LastErrorText());
            CloseHandle(file);
            return false;
        }
        done += written;
    }
    CloseHandle(file);
    return true;
}

std::tm LocalTime(std::time_t t) {
    std::tm tm{};
    localtime_s(&tm, &t);
    return tm;
}

}  // namespace ombrel
