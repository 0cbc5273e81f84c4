#include <windows.h>

#include <algorithm>

#include "platform/file_replace.h"
#include "platform/win32_text.h"

namespace ombrel {

bool ReplaceFileContent(const std::string& path, std::string_view content,
                        const std::string& /*permissionsFrom*/, std::string& error) {
    const std::wstring target = Win32Path(path);
    // A temporary name beside the target, unique for this process and moment.
    const std::wstring temp = target + L".stamp-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(GetTickCount64());
    HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = "Cannot create a temporary file beside \"" + path + "\": " + LastWin32ErrorText();
        return false;
    }
    auto fail = [&](const char* what) {
        error = std::string(what) + " \"" + path + "\": " + LastWin32ErrorText();
        CloseHandle(file);
        DeleteFileW(temp.c_str());
        return false;
    };
    size_t offset = 0;
    while (offset < content.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(content.size() - offset, 1 << 20));
        DWORD written = 0;
        if (!WriteFile(file, content.data() + offset, chunk, &written, nullptr) || written == 0) {
            return fail("Cannot write a temporary file for");
        }
        offset += written;
    }
    if (!FlushFileBuffers(file)) return fail("Cannot flush a temporary file for");
    CloseHandle(file);
    if (!MoveFileExW(temp.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = "Cannot rename the new file to \"" + path + "\": " + LastWin32ErrorText();
        DeleteFileW(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace ombrel
