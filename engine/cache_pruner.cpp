#include "engine/cache_pruner.h"

#include <fmt/printf.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <system_error>

#include "io/paths.h"
#include "ombrel/build_config.h"
#include "platform/file_lock.h"
#include "platform/folders.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;

constexpr char kSender[] = "ombrel";

// The packages ("name version") a manifest lists, read as the block storage format holds
// them: a ":packages" block of "name version" lines.
bool ReadManifestPackages(const std::string& path, std::set<std::pair<std::string, std::string>>& packages,
                          std::string& error) {
    std::string text;
    {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (f == nullptr) {
            error = fmt::sprintf("cannot read the manifest %s: %s", path,
                                 std::error_code(errno, std::system_category()).message());
            return false;
        }
        char buffer[65536];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
        std::fclose(f);
    }
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    bool inPackages = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        start = end + 1;
        if (!line.empty() && line[0] == ':') {
            inPackages = line == ":packages";
            continue;
        }
        if (!inPackages || line.empty()) continue;
        const size_t blank = line.rfind(' ');
        if (blank == std::string::npos || blank == 0) continue;
        packages.emplace(line.substr(0, blank), line.substr(blank + 1));
    }
    return true;
}

int64_t SizeOf(const fs::path& path) {
    std::error_code ec;
    const auto status = fs::symlink_status(path, ec);
    if (ec) return 0;
    if (fs::is_regular_file(status)) {
        const auto size = fs::file_size(path, ec);
        return ec ? 0 : static_cast<int64_t>(size);
    }
    if (!fs::is_directory(status)) return 0;
    int64_t total = 0;
    for (auto it = fs::recursive_directory_iterator(path, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec) && !it->is_symlink(ec)) {
            const auto size = it->file_size(ec);
            if (!ec) total += static_cast<int64_t>(size);
        }
    }
    return total;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::string PackageCacheFolder(const std::string& apiUrl) {
    const std::string root = PackageCacheRoot();
    if (apiUrl == build::kDefaultServer) return root;
    std::string rest = apiUrl;
    if (size_t scheme = rest.find("://"); scheme != std::string::npos) rest = rest.substr(scheme + 3);
    for (char& c : rest) {
        if (HasInvalidPathChars(std::string_view(&c, 1))) c = '_';
    }
    return root + kPathSeparator + ServerFolderName(rest);
}

bool PruneCache(const std::string& cache, const std::vector<std::string>& manifests,
                bool onlyListed, IMessages& messages, TPruneResult& result) {
    result = TPruneResult();
    std::error_code ec;
    if (!fs::is_directory(cache, ec)) {
        messages.Log(fmt::sprintf("package cache %s does not exist; nothing to remove", cache), kSender);
        return true;
    }
    std::set<std::pair<std::string, std::string>> used;
    for (const std::string& manifest : manifests) {
        std::string error;
        if (!ReadManifestPackages(manifest, used, error)) {
            messages.Error(error, kSender);
            return false;
        }
    }
    std::set<std::string> listedNames;
    std::set<std::string> keep;
    for (const auto& [name, version] : used) {
        listedNames.insert(name);
        keep.insert(name + "." + version);
        keep.insert(name + ".src." + version);
    }

    std::unique_ptr<TFileLock> lock;
    std::string lockError;
    const std::string lockFile = cache + "/.ombrel.lock";
    if (TFileLock::Acquire(lockFile, lock, lockError) == TFileLock::TResult::Busy) {
        messages.Log(fmt::sprintf("package cache %s is in use by another run, waiting ...", cache),
                     kSender);
        TFileLock::Acquire(lockFile, lock, lockError, true);
    }
    if (!lock) {
        messages.Error(fmt::sprintf("cannot lock the package cache %s: %s", cache, lockError), kSender);
        return false;
    }

    // The cache name of a package begins with "<name>.<version>" (".src" before the version
    // for the unpacked source folder).
    auto usedEntry = [&](const std::string& entry) {
        for (const std::string& prefix : keep) {
            if (entry == prefix || entry.rfind(prefix + ".", 0) == 0) return true;
        }
        return false;
    };
    auto candidate = [&](const std::string& entry) {
        if (!onlyListed) return true;
        for (const std::string& name : listedNames) {
            if (entry.rfind(name + ".", 0) == 0) return true;
        }
        return false;
    };

    bool ok = true;
    std::vector<fs::path> doomed;
    for (auto it = fs::directory_iterator(cache, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        const std::string entry = it->path().filename().string();
        if (entry == ".ombrel.lock") continue;
        const auto status = it->symlink_status(ec);
        if (ec) continue;
        bool package = !fs::is_directory(status);
        if (!package) {
            // A folder unpacked from a cached archive, or one being unpacked; other folders
            // hold other servers' caches.
            package = EndsWith(entry, ".part");
            const size_t src = entry.find(".src.");
            const std::string archive =
                src == std::string::npos
                    ? entry + ".zip"
                    : entry.substr(0, src) + entry.substr(src + 4) + ".src.zip";
            std::error_code exists;
            if (fs::exists(fs::symlink_status(cache + "/" + archive, exists))) package = true;
        }
        if (package && candidate(entry) && !usedEntry(entry)) doomed.push_back(it->path());
    }
    if (ec) {
        messages.Error(fmt::sprintf("cannot list the package cache %s: %s", cache, ec.message()), kSender);
        return false;
    }
    for (const fs::path& path : doomed) {
        const int64_t size = SizeOf(path);
        std::error_code removeError;
        fs::remove_all(path, removeError);  // removes links, never what they point to
        if (removeError) {
            messages.Error(fmt::sprintf("cannot remove %s: %s", path.string(), removeError.message()),
                           kSender);
            ok = false;
            continue;
        }
        messages.Log(fmt::sprintf("removed %s", path.string()), kSender);
        ++result.Removed;
        result.Bytes += size;
    }
    return ok;
}

}  // namespace ombrel
