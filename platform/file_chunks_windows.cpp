#include "platform/file_chunks.h"

#include <windows.h>

#include <vector>

#include "platform/win32_text.h"

namespace ombrel {

bool ReadFileChunks(const std::string& path, const std::function<void(const char*, size_t)>& chunk,
                    std::string& reason) {
    reason.clear();
    // Others may go on reading and writing the file meanwhile, as with the C runtime's fopen.
    HANDLE file = CreateFileW(Win32Path(path).c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = LastWin32ErrorText();
        return false;
    }
    std::vector<char> buffer(1 << 16);
    bool ok = true;
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) {
            reason = LastWin32ErrorText();
            ok = false;
            break;
        }
        if (n == 0) break;
        chunk(buffer.data(), n);
    }
    CloseHandle(file);
    return ok;
}

}  // namespace ombrel
