#include "io/win32_files.h"

#include <winternl.h>

#include <cerrno>
#include <cstring>

#include "platform/win32_text.h"

extern "C" {
NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PVOID apcRoutine, PVOID apcContext,
                                    PIO_STATUS_BLOCK status, PVOID information, ULONG length,
                                    FILE_INFORMATION_CLASS informationClass,
                                    BOOLEAN returnSingleEntry, PUNICODE_STRING fileName,
                                    BOOLEAN restartScan);
}

namespace ombrel {
namespace {

constexpr NTSTATUS kStatusSuccess = 0;
constexpr NTSTATUS kStatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006);
constexpr NTSTATUS kStatusNoSuchFile = static_cast<NTSTATUS>(0xC000000F);
constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BA);
constexpr NTSTATUS kStatusNotADirectory = static_cast<NTSTATUS>(0xC0000103);
constexpr NTSTATUS kStatusObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS kStatusObjectPathNotFound = static_cast<NTSTATUS>(0xC000003A);
constexpr NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056);
constexpr NTSTATUS kStatusCannotDelete = static_cast<NTSTATUS>(0xC0000121);
constexpr NTSTATUS kStatusDirectoryNotEmpty = static_cast<NTSTATUS>(0xC0000101);
constexpr NTSTATUS kStatusStoppedOnSymlink = static_cast<NTSTATUS>(0x8000002D);
constexpr NTSTATUS kStatusSharingViolation = static_cast<NTSTATUS>(0xC0000043);
constexpr int kFileRenameInformation = 10;
constexpr int kFileDispositionInformation = 13;
constexpr int kFileAttributeTagInformation = 35;

// The Linux texts of the errno values that the file system service reports.
class TErrnoCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "errno"; }
    std::string message(int value) const override {
        switch (value) {
        case EPERM: return "Operation not permitted";
        case ENOENT: return "No such file or directory";
        case EIO: return "Input/output error";
        case EBADF: return "Bad file descriptor";
        case ENOMEM: return "Cannot allocate memory";
        case EACCES: return "Permission denied";
        case EBUSY: return "Device or resource busy";
        case EEXIST: return "File exists";
        case EXDEV: return "Invalid cross-device link";
        case ENOTDIR: return "Not a directory";
        case EISDIR: return "Is a directory";
        case EINVAL: return "Invalid argument";
        case ENOSPC: return "No space left on device";
        case EROFS: return "Read-only file system";
        case ENAMETOOLONG: return "File name too long";
        case ENOTEMPTY: return "Directory not empty";
        case ELOOP: return "Too many levels of symbolic links";
        case ETXTBSY: return "Text file busy";
        default: return std::generic_category().message(value);
        }
    }
    std::error_condition default_error_condition(int value) const noexcept override {
        return std::error_condition(value, std::generic_category());
    }
};

// Win32 codes without an errno equivalent, with the system's text.
class TWin32Category : public std::error_category {
public:
    const char* name() const noexcept override { return "win32"; }
    std::string message(int value) const override {
        return Win32ErrorText(static_cast<unsigned long>(value));
    }
};

const TErrnoCategory gErrnoCategory;
const TWin32Category gWin32Category;

int ErrnoOf(unsigned long code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_CANNOT_MAKE:
        return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
        return EBUSY;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DIR_NOT_EMPTY:
        return ENOTEMPTY;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
        return EINVAL;
    case ERROR_CANT_RESOLVE_FILENAME:
    case 681:  // ERROR_STOPPED_ON_SYMLINK
        return ELOOP;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    default:
        return 0;
    }
}

UNICODE_STRING Counted(std::wstring& text) {
    UNICODE_STRING result;
    result.Buffer = text.data();
    result.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
    result.MaximumLength = result.Length;
    return result;
}

// A name of one component: neither empty, nor "." or "..", nor holding a separator.
bool IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\") == std::string::npos;
}

NTSTATUS OpenRelative(HANDLE dir, std::wstring name, ACCESS_MASK access, ULONG disposition,
                      ULONG options, ULONG share, HANDLE& result) {
    UNICODE_STRING counted = Counted(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE, dir, nullptr);
    IO_STATUS_BLOCK status{};
    result = INVALID_HANDLE_VALUE;
    HANDLE handle = nullptr;
    NTSTATUS code = NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &status, nullptr,
                                 FILE_ATTRIBUTE_NORMAL, share, disposition,
                                 options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT,
                                 nullptr, 0);
    if (code == kStatusSuccess) result = handle;
    return code;
}

std::wstring FinalPath(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(handle, path.data(),
                                                       static_cast<DWORD>(path.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(length + 1);
    }
}

// Whether `handle`, opened as the entry `name` of `dir`, is something else: where the system
// follows a link that it does not show as one (Wine shows no file links), the handle's path is
// the link's target.
bool ReachedElsewhere(HANDLE dir, const std::wstring& name, HANDLE handle) {
    std::wstring folder = FinalPath(dir);
    const std::wstring final = FinalPath(handle);
    if (folder.empty() || final.empty()) return false;  // the system cannot say
    if (folder.back() != L'\\') folder += L'\\';
    const auto same = [](std::wstring_view a, std::wstring_view b) {
        return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                    static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
    };
    if (final.size() <= folder.size() || !same(std::wstring_view(final).substr(0, folder.size()), folder)) {
        return true;
    }
    const std::wstring_view last = std::wstring_view(final).substr(folder.size());
    if (last.find(L'\\') != std::wstring_view::npos) return true;
    // The same folder: the same name, or the long name of a short one ("PROGRA~1").
    return !same(last, name) && name.find(L'~') == std::wstring::npos;
}

bool IsReparse(HANDLE handle) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
        return false;
    }
    return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

std::error_code ErrnoError(int value) { return std::error_code(value, gErrnoCategory); }

std::error_code Win32Error(unsigned long code) {
    if (int value = ErrnoOf(code)) return ErrnoError(value);
    return std::error_code(static_cast<int>(code), gWin32Category);
}

std::error_code LastWin32Error() { return Win32Error(GetLastError()); }

std::error_code NtStatusError(long status) {
    switch (status) {
    case kStatusFileIsADirectory: return ErrnoError(EISDIR);
    case kStatusNotADirectory: return ErrnoError(ENOTDIR);
    case kStatusObjectNameNotFound:
    case kStatusObjectPathNotFound:
    case kStatusNoSuchFile:
    case kStatusDeletePending: return ErrnoError(ENOENT);
    case kStatusCannotDelete: return ErrnoError(EACCES);
    case kStatusDirectoryNotEmpty: return ErrnoError(ENOTEMPTY);
    case kStatusStoppedOnSymlink: return ErrnoError(ELOOP);
    case kStatusSharingViolation: return ErrnoError(EBUSY);
    default: return Win32Error(RtlNtStatusToDosError(status));
    }
}

TEntryKind TFolderEntry::Kind() const {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return TEntryKind::Link;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? TEntryKind::Folder : TEntryKind::File;
}

std::error_code KindAt(HANDLE dir, const std::string& name, TEntryKind& kind) {
    kind = TEntryKind::Missing;
    if (!IsPlainName(name)) return ErrnoError(EINVAL);
    // The folder's listing for that name, through a handle of its own (a listing keeps its
    // pattern and place in the handle). The listing tells a reparse point as such also where
    // opening the name would follow it.
    HANDLE listing;
    NTSTATUS status = OpenRelative(dir, L"", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE,
                                   kShareAll, listing);
    if (status != kStatusSuccess) return NtStatusError(status);
    std::wstring wide = Widen(name);
    UNICODE_STRING pattern = Counted(wide);
    std::vector<char> buffer(4096 + wide.size() * sizeof(wchar_t));
    std::error_code error;
    bool first = true;
    for (;;) {
        IO_STATUS_BLOCK io{};
        status = NtQueryDirectoryFile(listing, nullptr, nullptr, nullptr, &io, buffer.data(),
                                      static_cast<ULONG>(buffer.size()), FileDirectoryInformation,
                                      FALSE, first ? &pattern : nullptr, first ? TRUE : FALSE);
        first = false;
        if (status == kStatusNoMoreFiles || status == kStatusNoSuchFile ||
            status == kStatusObjectNameNotFound) {
            break;
        }
        if (status != kStatusSuccess) {
            error = NtStatusError(status);
            break;
        }
        // A name with wildcard characters may match others: only the name itself counts.
        size_t offset = 0;
        bool found = false;
        for (;;) {
            const auto* info =
                reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(buffer.data() + offset);
            const int length = static_cast<int>(info->FileNameLength / sizeof(wchar_t));
            if (CompareStringOrdinal(info->FileName, length, wide.data(),
                                     static_cast<int>(wide.size()), TRUE) == CSTR_EQUAL) {
                TFolderEntry entry;
                entry.attributes = info->FileAttributes;
                kind = entry.Kind();
                found = true;
                break;
            }
            if (info->NextEntryOffset == 0) break;
            offset += info->NextEntryOffset;
        }
        if (found) break;
    }
    CloseHandle(listing);
    return error;
}

std::error_code OpenAt(HANDLE dir, const std::string& name, ACCESS_MASK access, ULONG disposition,
                       ULONG options, HANDLE& result, ULONG share) {
    result = INVALID_HANDLE_VALUE;
    if (!IsPlainName(name)) return ErrnoError(name == "." || name == ".." ? EACCES : EINVAL);
    // What the listing says first: a link here is refused before it is opened.
    if (disposition != FILE_CREATE) {
        TEntryKind kind;
        if (std::error_code error = KindAt(dir, name, kind)) return error;
        if (kind == TEntryKind::Link) return ErrnoError(ELOOP);
    }
    HANDLE handle;
    NTSTATUS status = OpenRelative(dir, Widen(name), access, disposition, options, share, handle);
    if (status != kStatusSuccess) return NtStatusError(status);
    // Swapped for a link in the meantime, or a link the listing did not show.
    if (IsReparse(handle) ||
        (disposition != FILE_CREATE && ReachedElsewhere(dir, Widen(name), handle))) {
        CloseHandle(handle);
        return ErrnoError(ELOOP);
    }
    result = handle;
    return {};
}

std::error_code OpenFolderAt(HANDLE dir, const std::string& name, bool create, HANDLE& result) {
    std::error_code error =
        OpenAt(dir, name, kFolderAccess, FILE_OPEN, FILE_DIRECTORY_FILE, result);
    if (error == std::errc::no_such_file_or_directory && create) {
        error = OpenAt(dir, name, kFolderAccess, FILE_CREATE, FILE_DIRECTORY_FILE, result);
        if (error == std::errc::file_exists) {
            error = OpenAt(dir, name, kFolderAccess, FILE_OPEN, FILE_DIRECTORY_FILE, result);
        }
    }
    return error;
}

namespace {

constexpr int kFileRenameInformationEx = 65;
constexpr ULONG kRenameReplaceIfExists = 0x1;
constexpr ULONG kRenamePosixSemantics = 0x2;
constexpr ULONG kRenameIgnoreReadOnly = 0x40;

// FILE_RENAME_INFORMATION, and the flags of its newer form in place of ReplaceIfExists.
struct TRenameInformation {
    union {
        BOOLEAN ReplaceIfExists;
        ULONG Flags;
    };
    HANDLE RootDirectory;
    ULONG FileNameLength;
    WCHAR FileName[1];
};

}  // namespace

std::error_code RenameTo(HANDLE handle, HANDLE dir, const std::string& name, bool replace) {
    if (!IsPlainName(name)) return ErrnoError(EINVAL);
    const std::wstring wide = Widen(name);
    std::vector<char> buffer(sizeof(TRenameInformation) + wide.size() * sizeof(wchar_t));
    auto* info = reinterpret_cast<TRenameInformation*>(buffer.data());
    info->RootDirectory = dir;
    info->FileNameLength = static_cast<ULONG>(wide.size() * sizeof(wchar_t));
    std::memcpy(info->FileName, wide.data(), info->FileNameLength);
    IO_STATUS_BLOCK status{};
    // Replacing as on Linux, also a file that others have open (they keep the old one) and a
    // read-only one, where the system can (Windows 10 and later on NTFS).
    info->Flags = replace ? kRenameReplaceIfExists | kRenamePosixSemantics | kRenameIgnoreReadOnly
                          : kRenamePosixSemantics;
    NTSTATUS code = NtSetInformationFile(handle, &status, info, static_cast<ULONG>(buffer.size()),
                                         static_cast<FILE_INFORMATION_CLASS>(kFileRenameInformationEx));
    if (code == kStatusSuccess) return {};
    info->Flags = 0;
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    code = NtSetInformationFile(handle, &status, info, static_cast<ULONG>(buffer.size()),
                                static_cast<FILE_INFORMATION_CLASS>(kFileRenameInformation));
    if (code == kStatusSuccess) return {};
    std::error_code error = NtStatusError(code);
    if (error == std::errc::permission_denied || error == std::errc::file_exists) {
        // Linux answers for the target: a folder there is "Is a directory"; a read-only file
        // is replaced.
        TEntryKind kind;
        if (!KindAt(dir, name, kind) && kind == TEntryKind::Folder) return ErrnoError(EISDIR);
        if (replace && kind == TEntryKind::File) {
            HANDLE target;
            if (!OpenAt(dir, name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_OPEN,
                        FILE_NON_DIRECTORY_FILE, target)) {
                FILE_BASIC_INFO basic{};
                bool cleared = false;
                if (GetFileInformationByHandleEx(target, FileBasicInfo, &basic, sizeof basic) &&
                    (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
                    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
                    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
                    cleared = SetFileInformationByHandle(target, FileBasicInfo, &basic,
                                                         sizeof basic) != 0;
                }
                CloseHandle(target);
                if (cleared) {
                    code = NtSetInformationFile(
                        handle, &status, info, static_cast<ULONG>(buffer.size()),
                        static_cast<FILE_INFORMATION_CLASS>(kFileRenameInformation));
                    if (code == kStatusSuccess) return {};
                    error = NtStatusError(code);
                }
            }
        }
    }
    return error;
}

namespace {

// Opens the entry `name` of `dir` as itself, a link as the link, for renaming or deleting it.
// Where the system follows a link even so (Wine), the entry is refused with ELOOP rather than
// its target changed.
std::error_code OpenEntry(HANDLE dir, const std::string& name, ACCESS_MASK access, ULONG options,
                          HANDLE& result, TEntryKind& kind) {
    result = INVALID_HANDLE_VALUE;
    if (!IsPlainName(name)) return ErrnoError(EINVAL);
    if (std::error_code error = KindAt(dir, name, kind)) return error;
    if (kind == TEntryKind::Missing) return ErrnoError(ENOENT);
    HANDLE handle;
    NTSTATUS status = OpenRelative(dir, Widen(name), access, FILE_OPEN, options, kShareAll, handle);
    if (status != kStatusSuccess) return NtStatusError(status);
    if ((kind == TEntryKind::Link && !IsReparse(handle)) ||
        (kind != TEntryKind::Link && ReachedElsewhere(dir, Widen(name), handle))) {
        CloseHandle(handle);
        return ErrnoError(ELOOP);
    }
    result = handle;
    return {};
}

}  // namespace

std::error_code RenameAt(HANDLE fromDir, const std::string& fromName, HANDLE toDir,
                         const std::string& toName) {
    HANDLE handle;
    TEntryKind kind;
    if (std::error_code error =
            OpenEntry(fromDir, fromName, DELETE | FILE_READ_ATTRIBUTES, 0, handle, kind)) {
        return error;
    }
    std::error_code error = RenameTo(handle, toDir, toName, true);
    CloseHandle(handle);
    return error;
}

std::error_code DeleteOpen(HANDLE handle) {
    FILE_DISPOSITION_INFORMATION info{};
    info.DoDeleteFile = TRUE;
    IO_STATUS_BLOCK status{};
    NTSTATUS code =
        NtSetInformationFile(handle, &status, &info, sizeof info,
                             static_cast<FILE_INFORMATION_CLASS>(kFileDispositionInformation));
    if (code == kStatusCannotDelete) {
        // Read-only: Linux removes such a file as any other.
        FILE_BASIC_INFO basic{};
        if (GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)) {
            basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
            if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
            if (SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic)) {
                code = NtSetInformationFile(
                    handle, &status, &info, sizeof info,
                    static_cast<FILE_INFORMATION_CLASS>(kFileDispositionInformation));
            }
        }
    }
    return code == kStatusSuccess ? std::error_code() : NtStatusError(code);
}

std::error_code DeleteAt(HANDLE dir, const std::string& name, bool folder) {
    HANDLE handle;
    TEntryKind kind;
    std::error_code error =
        OpenEntry(dir, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                  folder ? FILE_DIRECTORY_FILE : 0, handle, kind);
    if (error == std::errc::no_such_file_or_directory) return {};
    if (error) return error;
    // A folder is not removed as a file (a link to one is).
    if (!folder && kind == TEntryKind::Folder) {
        CloseHandle(handle);
        return ErrnoError(EISDIR);
    }
    error = DeleteOpen(handle);
    CloseHandle(handle);
    return error;
}

std::error_code ListFolder(HANDLE dir, std::vector<TFolderEntry>& entries) {
    entries.clear();
    // A handle of its own: a listing keeps its place in the handle.
    HANDLE listing;
    NTSTATUS status = OpenRelative(dir, L"", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE,
                                   kShareAll, listing);
    if (status != kStatusSuccess) return NtStatusError(status);
    std::vector<char> buffer(64 * 1024);
    bool first = true;
    std::error_code error;
    for (;;) {
        IO_STATUS_BLOCK io{};
        status = NtQueryDirectoryFile(listing, nullptr, nullptr, nullptr, &io, buffer.data(),
                                      static_cast<ULONG>(buffer.size()), FileDirectoryInformation,
                                      FALSE, nullptr, first ? TRUE : FALSE);
        first = false;
        if (status == kStatusNoMoreFiles || status == kStatusNoSuchFile) break;
        if (status != kStatusSuccess) {
            error = NtStatusError(status);
            break;
        }
        size_t offset = 0;
        for (;;) {
            const auto* info =
                reinterpret_cast<const FILE_DIRECTORY_INFORMATION*>(buffer.data() + offset);
            std::wstring_view name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                TFolderEntry entry;
                entry.name = Narrow(name);
                entry.attributes = info->FileAttributes;
                entry.size = static_cast<uint64_t>(info->EndOfFile.QuadPart);
                entries.push_back(std::move(entry));
            }
            if (info->NextEntryOffset == 0) break;
            offset += info->NextEntryOffset;
        }
    }
    CloseHandle(listing);
    return error;
}

std::error_code SetFileTimeSeconds(HANDLE file, int64_t seconds) {
    // 100-nanosecond steps since 1601-01-01.
    const int64_t ticks = (seconds + 11644473600LL) * 10000000LL;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
    if (!::SetFileTime(file, nullptr, &time, &time)) return LastWin32Error();
    return {};
}

std::error_code SetReadOnly(HANDLE file, bool readOnly) {
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
        return LastWin32Error();
    }
    if (readOnly) {
        basic.FileAttributes |= FILE_ATTRIBUTE_READONLY;
    } else {
        basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    }
    basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL);
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    // Times left as they are.
    basic.CreationTime.QuadPart = 0;
    basic.LastAccessTime.QuadPart = 0;
    basic.LastWriteTime.QuadPart = 0;
    basic.ChangeTime.QuadPart = 0;
    if (!SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic)) {
        return LastWin32Error();
    }
    return {};
}

std::error_code ReadSome(HANDLE file, void* buffer, size_t size, size_t& got) {
    DWORD read = 0;
    got = 0;
    const DWORD chunk = static_cast<DWORD>(size > (1u << 30) ? (1u << 30) : size);
    if (!ReadFile(file, buffer, chunk, &read, nullptr)) {
        if (GetLastError() == ERROR_HANDLE_EOF || GetLastError() == ERROR_BROKEN_PIPE) return {};
        return LastWin32Error();
    }
    got = read;
    return {};
}

}  // namespace ombrel
