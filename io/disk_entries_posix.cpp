#include "io/disk_entries.h"

#include <filesystem>

namespace ombrel {
namespace {

namespace fs = std::filesystem;

TDiskEntryType TypeOf(const fs::file_status& status) {
    if (fs::is_symlink(status)) return TDiskEntryType::Link;
    if (fs::is_regular_file(status)) return TDiskEntryType::File;
    if (fs::is_directory(status)) return TDiskEntryType::Folder;
    return fs::exists(status) ? TDiskEntryType::Other : TDiskEntryType::Missing;
}

}  // namespace

std::error_code StatDiskEntry(const std::string& path, TDiskEntry& entry) {
    entry = {};
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    if (error) {
        if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) {
            return {};
        }
        return error;
    }
    entry.type = TypeOf(status);
    if (entry.type == TDiskEntryType::File) {
        const uintmax_t size = fs::file_size(path, error);
        if (error) return error;
        entry.size = size;
    }
    return {};
}

bool DiskFileExists(const std::string& path) {
    std::error_code error;
    return fs::is_regular_file(path, error);
}

std::error_code ListFolderItems(const std::string& path, std::vector<TFolderItem>& items) {
    items.clear();
    std::error_code error;
    for (auto it = fs::directory_iterator(path, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        const fs::file_status status = it->symlink_status(error);
        if (error) break;
        items.push_back({it->path().filename().string(), TypeOf(status)});
    }
    return error;
}

std::error_code RenameDiskEntry(const std::string& from, const std::string& to) {
    std::error_code error;
    fs::rename(from, to, error);
    return error;
}

std::error_code RemoveDiskTree(const std::string& path) {
    std::error_code error;
    fs::remove_all(path, error);
    return error;
}

}  // namespace ombrel
