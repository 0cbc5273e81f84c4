#include "io/atomic_file.h"

#include <windows.h>
// after windows.h
#include <bcrypt.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>

#include "io/win32_files.h"
#include "platform/win32_text.h"

namespace ombrel {

TPathParts SplitPath(const std::string& path) {
    size_t pos = path.find_last_of("/\\");
    if (pos == std::string::npos) {
        // "C:name" is the name in the drive's current folder.
        if (path.size() >= 2 && path[1] == ':') return {path.substr(0, 2), path.substr(2)};
        return {".", path};
    }
    if (pos == 0) return {path.substr(0, 1), path.substr(1)};
    // The root of a drive keeps its separator: "C:\x" gives ("C:\", "x").
    if (pos == 2 && path[1] == ':') return {path.substr(0, 3), path.substr(3)};
    return {path.substr(0, pos), path.substr(pos + 1)};
}

TDirFd::~TDirFd() {
    if (iFd >= 0) CloseHandle(FdHandle(iFd));
}

TDirFd& TDirFd::operator=(TDirFd&& other) noexcept {
    if (this != &other) {
        if (iFd >= 0) CloseHandle(FdHandle(iFd));
        iFd = other.Release();
    }
    return *this;
}

int TDirFd::Release() {
    int fd = iFd;
    iFd = -1;
    return fd;
}

std::error_code TDirFd::Open(const std::string& path, TDirFd& result) {
    if (path.empty()) return ErrnoError(ENOENT);
    HANDLE handle = CreateFileW(Win32Path(path).c_str(), kFolderAccess, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // Without the right to change it, a folder may still be walked and read.
        handle = CreateFileW(Win32Path(path).c_str(),
                             FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES |
                                 SYNCHRONIZE,
                             kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                             nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) return LastWin32Error();
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        CloseHandle(handle);
        return ErrnoError(ENOTDIR);
    }
    result = TDirFd(HandleFd(handle));
    return {};
}

std::error_code LastError() { return LastWin32Error(); }

std::error_code WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    HANDLE handle = FdHandle(fd);
    while (size > 0) {
        const DWORD chunk = static_cast<DWORD>(size > (1u << 30) ? (1u << 30) : size);
        DWORD written = 0;
        if (!WriteFile(handle, p, chunk, &written, nullptr)) return LastWin32Error();
        p += written;
        size -= written;
    }
    return {};
}

namespace {

std::string RandomSuffix() {
    uint64_t value = 0;
    if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof value,
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
        static uint64_t counter = 0;
        value = (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^ ++counter ^
                reinterpret_cast<uintptr_t>(&value) ^ GetTickCount64();
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

constexpr ACCESS_MASK kFileAccess =
    GENERIC_WRITE | GENERIC_READ | DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;

}  // namespace

TAtomicFile::~TAtomicFile() { Discard(); }

std::error_code TAtomicFile::Create(int dirFd, const std::string& name, bool directWhenNew) {
    Discard();
    const HANDLE dir = FdHandle(dirFd);
    HANDLE file;
    if (directWhenNew) {
        std::error_code error =
            OpenAt(dir, name, kFileAccess, FILE_CREATE, FILE_NON_DIRECTORY_FILE, file);
        if (!error) {
            iDirFd = dirFd;
            iFd = HandleFd(file);
            iName = name;
            iDirect = true;
            return {};
        }
        // A folder of that name may answer "access denied": whatever is there goes through a
        // temporary file, whose rename then fails as on Linux.
        TEntryKind kind = TEntryKind::Missing;
        if (error != std::errc::file_exists && (KindAt(dir, name, kind) || kind == TEntryKind::Missing)) {
            return error;
        }
    }
    // A short name of our own: the final name may already use the whole length limit.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string tempName = ".ombrel-" + RandomSuffix() + ".tmp";
        std::error_code error =
            OpenAt(dir, tempName, kFileAccess, FILE_CREATE, FILE_NON_DIRECTORY_FILE, file);
        if (!error) {
            iDirFd = dirFd;
            iFd = HandleFd(file);
            iName = name;
            iTempName = std::move(tempName);
            return {};
        }
        if (error != std::errc::file_exists) return error;
    }
    return ErrnoError(EEXIST);
}

std::error_code TAtomicFile::Commit(bool durable) {
    if (iFd < 0) return ErrnoError(EBADF);
    const HANDLE file = FdHandle(iFd);
    if (durable && !FlushFileBuffers(file)) return LastWin32Error();
    if (iDirect) {
        iDirect = false;
        iFd = -1;
        if (!CloseHandle(file)) return LastWin32Error();
        return {};
    }
    // Renamed through its own handle, so the name reached is the one in this folder, then
    // closed: the data are complete under the final name.
    if (std::error_code error = RenameTo(file, FdHandle(iDirFd), iName, true)) {
        Discard();
        return error;
    }
    iTempName.clear();
    iFd = -1;
    if (!CloseHandle(file)) return LastWin32Error();
    return {};
}

void TAtomicFile::Discard() {
    if (iFd >= 0) {
        const HANDLE file = FdHandle(iFd);
        // Removed through the handle: whatever took the name meanwhile stays.
        if (!iTempName.empty() || iDirect) DeleteOpen(file);
        CloseHandle(file);
        iFd = -1;
    } else if (!iTempName.empty()) {
        DeleteAt(FdHandle(iDirFd), iTempName, false);
    } else if (iDirect) {
        DeleteAt(FdHandle(iDirFd), iName, false);
    }
    iTempName.clear();
    iDirect = false;
}

}  // namespace ombrel
