#include "io/owned_folders.h"

#include <windows.h>

#include <cerrno>

#include "io/win32_files.h"
#include "platform/win32_text.h"

// On Windows a folder's handle is walked with NtCreateFile relative to it, one component at a
// time; a reparse point (symbolic link, junction, mount point) met on the way ends the walk
// with ELOOP (see io/win32_files.h).

namespace ombrel {
namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

std::vector<std::string> Components(const std::string& relative) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find_first_of("/\\", start);
        if (end == std::string::npos) end = relative.size();
        std::string part = relative.substr(start, end - start);
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
        start = end + 1;
    }
    return parts;
}

// Without trailing separators, but a root ("C:\", "\") keeps its own.
std::string Trimmed(const std::string& path) {
    std::string clean = path;
    while (clean.size() > 1 && IsSeparator(clean.back()) &&
           !(clean.size() == 3 && clean[1] == ':')) {
        clean.pop_back();
    }
    return clean;
}

// Makes the folder and the missing ones above it, by path (outside every owned folder).
std::error_code CreateFolders(const std::string& path) {
    const std::string trimmed = Trimmed(path);
    const DWORD attributes = GetFileAttributesW(Win32Path(trimmed).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? std::error_code()
                                                            : ErrnoError(ENOTDIR);
    }
    const TPathParts parts = SplitPath(trimmed);
    if (!parts.folder.empty() && parts.folder != "." && parts.folder != trimmed) {
        if (std::error_code error = CreateFolders(parts.folder)) return error;
    }
    if (!CreateDirectoryW(Win32Path(trimmed).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
        return LastWin32Error();
    }
    return {};
}

}  // namespace

std::error_code OpenBeneath(int dirFd, const std::string& relative, bool create,
                            TDirFd& result) {
    const std::vector<std::string> parts = Components(relative);
    for (const auto& part : parts) {
        if (part == "..") return ErrnoError(EACCES);
    }
    HANDLE current = INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(GetCurrentProcess(), FdHandle(dirFd), GetCurrentProcess(), &current, 0,
                         FALSE, DUPLICATE_SAME_ACCESS)) {
        return LastWin32Error();
    }
    TDirFd walked(HandleFd(current));
    for (const auto& part : parts) {
        HANDLE next;
        if (std::error_code error = OpenFolderAt(FdHandle(walked.Get()), part, create, next)) {
            return error;
        }
        walked = TDirFd(HandleFd(next));
    }
    result = std::move(walked);
    return {};
}

void TOwnedFolders::Add(const std::string& folder) {
    std::string clean = Trimmed(folder);
    if (clean.empty()) return;
    for (const auto& known : iFolders) {
        if (known == clean) return;
    }
    iFolders.push_back(std::move(clean));
}

const std::string* TOwnedFolders::RootOf(const std::string& path) const {
    const std::string* best = nullptr;
    for (const auto& folder : iFolders) {
        // File names compare without regard to case on Windows; ASCII is enough for the
        // folders a run owns.
        const bool prefix =
            path.size() >= folder.size() &&
            CompareStringOrdinal(Widen(path.substr(0, folder.size())).c_str(), -1,
                                 Widen(folder).c_str(), -1, TRUE) == CSTR_EQUAL;
        const bool inside = prefix && (path.size() == folder.size() ||
                                       IsSeparator(path[folder.size()]) ||
                                       IsSeparator(folder.back()));
        if (inside && (best == nullptr || folder.size() > best->size())) best = &folder;
    }
    return best;
}

bool TOwnedFolders::IsRoot(const std::string& path) const {
    const std::string trimmed = Trimmed(path);
    const std::string* root = RootOf(trimmed);
    return root != nullptr && root->size() == trimmed.size();
}

std::error_code TOwnedFolders::OpenFolder(const std::string& path, bool create,
                                          TDirFd& folder) const {
    const std::string* root = RootOf(path);
    if (root == nullptr) {
        if (create) {
            if (std::error_code error = CreateFolders(path)) return error;
        }
        return TDirFd::Open(path, folder);
    }
    TDirFd rootFd;
    std::error_code error = TDirFd::Open(*root, rootFd);
    if (error == std::errc::no_such_file_or_directory && create) {
        error = CreateFolders(*root);
        if (!error) error = TDirFd::Open(*root, rootFd);
    }
    if (error) return error;
    return OpenBeneath(rootFd.Get(), path.substr(root->size()), create, folder);
}

std::error_code TOwnedFolders::OpenParent(const std::string& path, bool create, TDirFd& parent,
                                          std::string& name) const {
    const std::string* root = RootOf(path);
    const std::string trimmed = Trimmed(path);
    const TPathParts parts = SplitPath(trimmed);
    name = parts.name;
    if (root != nullptr && trimmed.size() <= root->size()) {
        // The owned folder itself: its parent is reached by path, as the folder is.
        return TDirFd::Open(parts.folder, parent);
    }
    if (name == "." || name == "..") return ErrnoError(EACCES);
    return OpenFolder(parts.folder, create, parent);
}

std::error_code RemoveTreeAt(int dirFd, const std::string& name) {
    const HANDLE dir = FdHandle(dirFd);
    TEntryKind kind;
    if (std::error_code error = KindAt(dir, name, kind)) return error;
    if (kind == TEntryKind::Missing) return {};
    if (kind != TEntryKind::Folder) return DeleteAt(dir, name, false);
    HANDLE handle;
    std::error_code error = OpenAt(dir, name, kFolderAccess, FILE_OPEN, FILE_DIRECTORY_FILE, handle);
    if (error) {
        // Swapped for something else since: a link goes as a link.
        if (error == std::errc::too_many_symbolic_link_levels ||
            error == std::errc::not_a_directory) {
            return DeleteAt(dir, name, false);
        }
        return error == std::errc::no_such_file_or_directory ? std::error_code() : error;
    }
    TDirFd folder(HandleFd(handle));
    std::vector<TFolderEntry> entries;
    if (std::error_code listError = ListFolder(handle, entries)) return listError;
    for (const auto& entry : entries) {
        if (std::error_code removeError = RemoveTreeAt(folder.Get(), entry.name)) {
            return removeError;
        }
    }
    error = DeleteOpen(handle);
    if (error == std::errc::no_such_file_or_directory) return {};
    return error;
}

}  // namespace ombrel
