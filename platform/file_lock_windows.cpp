#include <string>

#include <windows.h>

#include "platform/file_lock.h"
#include "platform/win32_text.h"

namespace ombrel {
namespace {

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

// True when the file that `handle` holds still has the name `path`.
bool StillNamed(HANDLE handle, const std::wstring& path) {
    HANDLE named = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (named == INVALID_HANDLE_VALUE) return false;
    bool same = SameFile(handle, named);
    CloseHandle(named);
    return same;
}

}  // namespace

TFileLock::TResult TFileLock::Acquire(const std::string& path, std::unique_ptr<TFileLock>& lock,
                                      std::string& error, bool wait) {
    lock.reset();
    error.clear();
    const std::wstring widePath = Win32Path(path);
    // A holder marks the file for deletion before it unlocks. Until the last handle is closed
    // the name then refuses to open (access denied), and whoever had opened the old file gets a
    // lock on a name that is going; both try again.
    for (int attempt = 0; attempt < 200; ++attempt) {
        HANDLE file =
            // DELETE: RemoveFile marks the file for deletion through this handle.
            CreateFileW(widePath.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            DWORD code = GetLastError();
            if (code == ERROR_ACCESS_DENIED && attempt + 1 < 200) {
                Sleep(10);
                continue;
            }
            error = Win32ErrorText(code);
            return TResult::Failed;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (GetFileInformationByHandle(file, &info) &&
            (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) !=
                0) {
            CloseHandle(file);
            error = Win32ErrorText(ERROR_CANT_ACCESS_FILE);
            return TResult::Failed;
        }
        OVERLAPPED whole{};
        DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
        if (!LockFileEx(file, flags, 0, MAXDWORD, MAXDWORD, &whole)) {
            DWORD code = GetLastError();
            CloseHandle(file);
            if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return TResult::Busy;
            error = Win32ErrorText(code);
            return TResult::Failed;
        }
        if (StillNamed(file, widePath)) {
            lock.reset(new TFileLock(path, reinterpret_cast<intptr_t>(file)));
            return TResult::Locked;
        }
        CloseHandle(file);
        Sleep(1);
    }
    error = "the lock file keeps changing";
    return TResult::Failed;
}

bool TFileLock::RemoveFile(std::string& error) {
    if (iRemoved) return true;
    iRemoved = true;
    // Deleted while still locked, so that no waiting run takes over a file on its way out.
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    if (SetFileInformationByHandle(reinterpret_cast<HANDLE>(iHandle), FileDispositionInfo,
                                   &disposition, sizeof disposition)) {
        return true;
    }
    error = LastWin32ErrorText();
    return false;
}

TFileLock::~TFileLock() {
    std::string ignored;
    RemoveFile(ignored);
    CloseHandle(reinterpret_cast<HANDLE>(iHandle));
}

}  // namespace ombrel
