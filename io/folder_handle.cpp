#include "io/folder_handle.h"

#include <algorithm>

namespace ombrel {

TDirFd::~TDirFd() {
    CloseDescriptor(iFd);
}

TDirFd& TDirFd::operator=(TDirFd&& other) noexcept {
    if (this != &other) {
        CloseDescriptor(iFd);
        iFd = other.Release();
    }
    return *this;
}

int TDirFd::Release() {
    int fd = iFd;
    iFd = -1;
    return fd;
}

TPathParts SplitPath(const std::string& path) {
    size_t pos = path.size();
    while (pos > 0 && !IsFolderSeparator(path[pos - 1])) --pos;
    // The root keeps its separator: "/x" gives ("/", "x"), on Windows "C:\x" ("C:\", "x") and
    // "C:x", the name in the drive's current folder, ("C:", "x").
    const size_t root = PathRootLength(path);
    if (pos <= root) {
        if (root == 0) return {".", path};
        return {path.substr(0, root), path.substr(root)};
    }
    return {path.substr(0, pos - 1), path.substr(pos)};
}

std::vector<std::string> SplitFolderNames(std::string_view path) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = start;
        while (end < path.size() && !IsFolderSeparator(path[end])) ++end;
        if (end > start) names.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

std::string WithoutTrailingSeparators(const std::string& path) {
    const size_t keep = std::max<size_t>(1, PathRootLength(path));
    std::string clean = path;
    while (clean.size() > keep && IsFolderSeparator(clean.back())) clean.pop_back();
    return clean;
}

}  // namespace ombrel
