#include "app/folder_deletion.h"

#include <string>
#include <vector>

#include "io/disk_entries.h"
#include "io/folder_handle.h"
#include "io/paths.h"

namespace ombrel {
namespace {

// Paths this long are refused, as the system's short path limit would.
constexpr size_t kMaxPathLength = 248;

// The length as a system that counts UTF-16 code units sees it.
size_t Utf16Length(const std::string& text) {
    size_t units = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) == 0x80) continue;  // continuation byte
        units += byte >= 0xF0 ? 2 : 1;        // four-byte sequences need a surrogate pair
    }
    return units;
}

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

// Notes the first failure of a removal: the path and the system's reason.
void NoteFailure(std::string* firstError, const std::string& path, const std::error_code& error) {
    if (firstError != nullptr && firstError->empty()) {
        *firstError = "cannot remove " + Quoted(path) + ": " + RemovalFailureReason(error);
    }
}

// Empties the folder `name` of `parentFd` and removes it; its attributes have been reset.
// Everything is opened from the handle of its folder and never through a link, so a link
// swapped in during the walk is removed as the link, never entered. `path` is the folder's full
// path, for `firstError` (may be null), which receives the first failure.
void RemoveFolder(int parentFd, const std::string& name, const std::string& path,
                  std::string* firstError) {
    TDirFd folder;
    std::error_code error = OpenSubfolderAt(parentFd, name, false, folder);
    if (error == std::errc::too_many_symbolic_link_levels || error == std::errc::not_a_directory) {
        // Swapped for a link (or a file) since it was listed: it goes as such.
        if ((error = RemoveFileAt(parentFd, name))) NoteFailure(firstError, path, error);
        return;
    }
    if (!error) {
        const std::string base = WithoutTrailingSeparators(path);
        std::vector<TListedEntry> entries;
        ListFolderAt(folder.Get(), entries);
        for (const TListedEntry& entry : entries) {
            const std::string entryPath = base + kPathSeparator + entry.name;
            if (entry.kind == TEntryKind::File || entry.kind == TEntryKind::Folder) {
                MakeRemovableAt(folder.Get(), entry.name, entry.kind);
            }
            if (entry.kind == TEntryKind::Folder) {
                RemoveFolder(folder.Get(), entry.name, entryPath, firstError);
            } else if (std::error_code removeError = RemoveFileAt(folder.Get(), entry.name)) {
                NoteFailure(firstError, entryPath, removeError);
            }
        }
    }
    if ((error = RemoveOpenFolder(parentFd, name, folder.Get()))) {
        NoteFailure(firstError, path, error);
    }
}

// Removes `path`, a folder or a link (as the link), from the handle of the folder that holds
// it; see DeleteFolderTree.
void RemoveEntry(const std::string& path, TDiskEntryType type, std::string* firstError) {
    const TPathParts parts = SplitPath(WithoutTrailingSeparators(path));
    TDirFd parent;
    if (std::error_code error = TDirFd::Open(parts.folder, parent)) {
        NoteFailure(firstError, path, error);
        return;
    }
    if (type == TDiskEntryType::Link) {
        // Whatever the link points to is not ours.
        if (std::error_code error = RemoveFileAt(parent.Get(), parts.name)) {
            NoteFailure(firstError, path, error);
        }
        return;
    }
    MakeRemovableAt(parent.Get(), parts.name, TEntryKind::Folder);
    RemoveFolder(parent.Get(), parts.name, path, firstError);
}

}  // namespace

bool FolderExistsForDeletion(const std::string& path) {
    TDiskEntry entry;
    if (path.empty() || StatDiskEntry(path, entry)) return false;
    return entry.type == TDiskEntryType::Folder || entry.type == TDiskEntryType::Link;
}

bool IsPlainSubfolderOf(const std::string& root, const std::string& path) {
    if (root.empty() || !IsAbsoluteFolderPath(root)) return false;
    std::string walk = root;
    if (!IsFolderSeparator(walk.back())) walk += kPathSeparator;
    const size_t head = walk.size() - 1;  // `root` without its last separator
    if (path.size() <= walk.size() || !SameFileName(path.substr(0, head), walk.substr(0, head)) ||
        !IsFolderSeparator(path[head])) {
        return false;
    }
    const std::vector<std::string> names =
        SplitFolderNames(std::string_view(path).substr(walk.size()));
    if (names.empty()) return false;
    for (const std::string& name : names) {
        if (name == "." || name == "..") return false;
    }
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        walk += names[i];
        TDiskEntry entry;
        if (!StatDiskEntry(walk, entry) && entry.type != TDiskEntryType::Missing &&
            entry.type != TDiskEntryType::Folder) {
            return false;
        }
        walk += kPathSeparator;
    }
    return true;
}

void DeleteFolderTree(const std::string& path) {
    if (path.empty() || !IsAbsoluteFolderPath(path)) {
        throw EFolderDeletionError("Unsupported path format: " + Quoted(path));
    }
    if (HasInvalidPathChars(path)) {
        throw EFolderDeletionError("Invalid characters in path: " + Quoted(path));
    }
    if (Utf16Length(path) >= kMaxPathLength) {
        throw EFolderDeletionError("Path too long: " + Quoted(path));
    }
    TDiskEntry entry;
    if (StatDiskEntry(path, entry) || entry.type == TDiskEntryType::Missing) {
        throw EFolderDeletionError("Folder not found: " + Quoted(path));
    }
    if (entry.type != TDiskEntryType::Folder && entry.type != TDiskEntryType::Link) {
        if (IsRunningProgram(path)) {
            throw EFolderDeletionError("Cannot delete the running program: " + Quoted(path));
        }
        throw EFolderDeletionError("Path is a file, not a folder: " + Quoted(path));
    }
    RemoveEntry(path, entry.type, nullptr);
}

bool RemoveFolderTree(const std::string& path, std::string& error) {
    error.clear();
    if (path.empty() || !IsAbsoluteFolderPath(path)) {
        error = NotAbsoluteRemovalText(path);
        return false;
    }
    TDiskEntry entry;
    if (std::error_code failure = StatDiskEntry(path, entry)) {
        NoteFailure(&error, path, failure);
        return false;
    }
    if (entry.type == TDiskEntryType::Missing) return true;
    if (entry.type != TDiskEntryType::Folder && entry.type != TDiskEntryType::Link) {
        error = FileRemovalText(path);
        return false;
    }
    RemoveEntry(path, entry.type, &error);
    return error.empty();
}

}  // namespace ombrel
