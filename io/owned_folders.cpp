#include "io/owned_folders.h"

#include <algorithm>

namespace ombrel {
namespace {

// The names of a relative path, without "." ones.
std::vector<std::string> Components(const std::string& relative) {
    std::vector<std::string> parts = SplitFolderNames(relative);
    parts.erase(std::remove(parts.begin(), parts.end(), "."), parts.end());
    return parts;
}

}  // namespace

std::error_code OpenBeneath(int dirFd, const std::string& relative, bool create, TDirFd& result) {
    const std::vector<std::string> parts = Components(relative);
    for (const auto& part : parts) {
        if (part == "..") return ErrorOf(std::errc::permission_denied);
    }
    if (parts.empty()) return DuplicateDescriptor(dirFd, result);
    std::string clean;
    for (const auto& part : parts) clean += (clean.empty() ? "" : "/") + part;
    std::error_code error = OpenBeneathAtOnce(dirFd, clean, result);
    // Where the system cannot, or a folder is missing and is to be made: one name at a time.
    // A link met on the way ends the walk either way.
    if (error != std::errc::function_not_supported &&
        !(error == std::errc::no_such_file_or_directory && create)) {
        return error;
    }
    TDirFd current;
    if ((error = DuplicateDescriptor(dirFd, current))) return error;
    for (const auto& part : parts) {
        TDirFd next;
        if ((error = OpenSubfolderAt(current.Get(), part, create, next))) return error;
        current = std::move(next);
    }
    result = std::move(current);
    return {};
}

void TOwnedFolders::Add(const std::string& folder) {
    std::string clean = WithoutTrailingSeparators(folder);
    if (clean.empty()) return;
    for (const auto& known : iFolders) {
        if (known == clean) return;
    }
    iFolders.push_back(std::move(clean));
}

const std::string* TOwnedFolders::RootOf(const std::string& path) const {
    const std::string* best = nullptr;
    for (const auto& folder : iFolders) {
        const bool inside =
            path.size() >= folder.size() &&
            SameFileName(std::string_view(path).substr(0, folder.size()), folder) &&
            (path.size() == folder.size() || IsFolderSeparator(path[folder.size()]) ||
             IsFolderSeparator(folder.back()));
        if (inside && (best == nullptr || folder.size() > best->size())) best = &folder;
    }
    return best;
}

bool TOwnedFolders::IsRoot(const std::string& path) const {
    const std::string trimmed = WithoutTrailingSeparators(path);
    const std::string* root = RootOf(trimmed);
    return root != nullptr && root->size() == trimmed.size();
}

std::error_code TOwnedFolders::OpenFolder(const std::string& path, bool create,
                                          TDirFd& folder) const {
    const std::string* root = RootOf(path);
    if (root == nullptr) {
        if (create) {
            if (std::error_code error = CreateFoldersByPath(path)) return error;
        }
        return TDirFd::Open(path, folder);
    }
    TDirFd rootFd;
    std::error_code error = TDirFd::Open(*root, rootFd);
    if (error == std::errc::no_such_file_or_directory && create) {
        error = CreateFoldersByPath(*root);
        if (!error) error = TDirFd::Open(*root, rootFd);
    }
    if (error) return error;
    return OpenBeneath(rootFd.Get(), path.substr(root->size()), create, folder);
}

std::error_code TOwnedFolders::OpenParent(const std::string& path, bool create, TDirFd& parent,
                                          std::string& name) const {
    const std::string* root = RootOf(path);
    const std::string trimmed = WithoutTrailingSeparators(path);
    const TPathParts parts = SplitPath(trimmed);
    name = parts.name;
    if (root != nullptr && trimmed.size() <= root->size()) {
        // The owned folder itself: its parent is reached by path, as the folder is.
        return TDirFd::Open(parts.folder, parent);
    }
    if (name == "." || name == "..") return ErrorOf(std::errc::permission_denied);
    return OpenFolder(parts.folder, create, parent);
}

std::error_code RemoveTreeAt(int dirFd, const std::string& name) {
    TEntryKind kind;
    if (std::error_code error = EntryKindAt(dirFd, name, kind)) return error;
    if (kind == TEntryKind::Missing) return {};
    if (kind != TEntryKind::Folder) return RemoveFileAt(dirFd, name);
    TDirFd folder;
    if (std::error_code error = OpenSubfolderAt(dirFd, name, false, folder)) {
        // Swapped for something else since: a link goes as a link.
        if (error == std::errc::too_many_symbolic_link_levels ||
            error == std::errc::not_a_directory) {
            return RemoveFileAt(dirFd, name);
        }
        return error == std::errc::no_such_file_or_directory ? std::error_code() : error;
    }
    std::vector<TListedEntry> entries;
    if (std::error_code error = ListFolderAt(folder.Get(), entries)) return error;
    for (const auto& entry : entries) {
        if (std::error_code error = RemoveTreeAt(folder.Get(), entry.name)) return error;
    }
    return RemoveOpenFolder(dirFd, name, folder.Get());
}

}  // namespace ombrel
