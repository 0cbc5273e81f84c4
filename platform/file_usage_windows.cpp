#include <windows.h>

#include "platform/file_usage.h"
#include "platform/win32_text.h"

namespace ombrel {

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
