#include "tools/ombrel-server/release_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <random>
#include <set>

#include "tools/ombrel-server/version_compare.h"

namespace ombrel::server {

using Json = nlohmann::ordered_json;

namespace {

constexpr int kIndexFormat = 1;

std::string SystemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

bool ComesBefore(const TStoredPackage* a, const TStoredPackage* b) {
    int c = CompareVersions(a->Version, b->Version);
    if (c != 0) return c < 0;
    if (a->Build != b->Build) return a->Build < b->Build;
    return a->Id < b->Id;
}

Json PackageToJson(const TStoredPackage& p) {
    Json installed = Json::array();
    for (const auto& f : p.Installed) installed.push_back({{"name", f.Name}, {"md5", f.Md5}});
    return {{"id", p.Id},
            {"name", p.Name},
            {"version", p.Version},
            {"build", p.Build},
            {"filename", p.Filename},
            {"files", p.Files},
            {"stored_file", p.StoredFile},
            {"size", p.Size},
            {"sha256", p.Sha256},
            {"source_file", p.SourceFile},
            {"source_size", p.SourceSize},
            {"source_sha256", p.SourceSha256},
            {"content_key", p.ContentKey},
            {"updated_at", p.UpdatedAt},
            {"installed", installed}};
}

TStoredPackage PackageFromJson(const Json& j) {
    TStoredPackage p;
    p.Id = j.at("id").get<int32_t>();
    p.Name = j.at("name").get<std::string>();
    p.Version = j.at("version").get<std::string>();
    p.Build = j.value("build", 0);
    p.Filename = j.value("filename", "");
    p.Files = j.at("files").get<std::vector<std::string>>();
    p.StoredFile = j.at("stored_file").get<std::string>();
    p.Size = j.value("size", uint64_t{0});
    // Stores published before digests were recorded lack them; see BackfillDigests.
    p.Sha256 = j.value("sha256", "");
    p.SourceFile = j.value("source_file", "");
    p.SourceSize = j.value("source_size", uint64_t{0});
    p.SourceSha256 = j.value("source_sha256", "");
    p.ContentKey = j.value("content_key", "");
    p.UpdatedAt = j.value("updated_at", "");
    for (const auto& f : j.at("installed")) {
        p.Installed.push_back({f.at("name").get<std::string>(), f.at("md5").get<std::string>()});
    }
    return p;
}

bool IsPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\") == std::string::npos;
}

bool CheckIndex(const TStoreIndex& index, std::string& error) {
    std::set<int32_t> ids;
    std::set<std::pair<std::string, std::string>> versions;
    for (const auto& p : index.Packages) {
        if (p.Id <= 0 || !ids.insert(p.Id).second) {
            error = "package id " + std::to_string(p.Id) + " is not positive or not unique";
            return false;
        }
        if (p.Id >= index.NextId) {
            error = "package id " + std::to_string(p.Id) + " is not below next_id";
            return false;
        }
        if (!versions.insert({p.Name, p.FullVersion()}).second) {
            error = "package " + p.Name + " " + p.FullVersion() + " is stored twice";
            return false;
        }
        if (!IsPlainFileName(p.StoredFile) ||
            (!p.SourceFile.empty() && !IsPlainFileName(p.SourceFile))) {
            error = "package " + std::to_string(p.Id) + " names an unusable stored file";
            return false;
        }
    }
    std::set<std::tuple<std::string, std::string, std::string>> releases;
    for (const auto& r : index.Releases) {
        if (!releases.insert({r.Project, r.Channel, r.Version}).second) {
            error =
                "release " + r.Project + " " + r.Version + " on " + r.Channel + " is stored twice";
            return false;
        }
        for (int32_t id : r.Packages) {
            if (ids.count(id) == 0) {
                error = "release " + r.Project + " " + r.Version + " names unknown package " +
                        std::to_string(id);
                return false;
            }
        }
    }
    return true;
}

int64_t Nanoseconds(const timespec& ts) {
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

std::string TStoredPackage::FullVersion() const {
    return Build > 0 ? Version + "." + std::to_string(Build) : Version;
}

namespace {
std::string Key(std::string_view a, std::string_view b) {
    std::string key(a);
    key += '\n';
    key += b;
    return key;
}
}  // namespace

void TStoreIndex::Reindex() {
    auto built = std::make_shared<TLookups>();
    built->packageCount = Packages.size();
    built->releaseCount = Releases.size();
    for (size_t i = 0; i < Packages.size(); ++i) {
        built->packageById.emplace(Packages[i].Id, i);
        built->packagesByName[Packages[i].Name].push_back(i);
    }
    for (size_t i = 0; i < Releases.size(); ++i) {
        const TRelease& r = Releases[i];
        built->releasesByChannel[Key(r.Project, r.Channel)].push_back(i);
        built->releasesByVersion[Key(r.Project, r.Version)].push_back(i);
    }
    lookups = std::move(built);
}

const TStoreIndex::TLookups* TStoreIndex::Lookups() const {
    if (!lookups || lookups->packageCount != Packages.size() ||
        lookups->releaseCount != Releases.size()) {
        return nullptr;
    }
    return lookups.get();
}

const TStoredPackage* TStoreIndex::PackageById(int32_t id) const {
    if (const TLookups* l = Lookups()) {
        auto it = l->packageById.find(id);
        return it == l->packageById.end() ? nullptr : &Packages[it->second];
    }
    for (const auto& p : Packages) {
        if (p.Id == id) return &p;
    }
    return nullptr;
}

const TStoredPackage* TStoreIndex::PackageByVersion(std::string_view name,
                                                    std::string_view fullVersion) const {
    for (const auto* p : PackagesNamed(name)) {
        if (p->FullVersion() == fullVersion) return p;
    }
    return nullptr;
}

std::vector<const TStoredPackage*> TStoreIndex::PackagesNamed(std::string_view name) const {
    std::vector<const TStoredPackage*> result;
    if (const TLookups* l = Lookups()) {
        auto it = l->packagesByName.find(std::string(name));
        if (it != l->packagesByName.end()) {
            for (size_t i : it->second) result.push_back(&Packages[i]);
        }
    } else {
        for (const auto& p : Packages) {
            if (p.Name == name) result.push_back(&p);
        }
    }
    std::sort(result.begin(), result.end(), ComesBefore);
    return result;
}

std::vector<const TStoredPackage*> TStoreIndex::ReleasePackages(const TRelease& release) const {
    std::vector<const TStoredPackage*> result;
    for (int32_t id : release.Packages) {
        if (const auto* p = PackageById(id)) result.push_back(p);
    }
    return result;
}

bool TStoreIndex::HasProject(std::string_view project) const {
    return std::any_of(Releases.begin(), Releases.end(),
                       [&](const TRelease& r) { return r.Project == project; });
}

const TRelease* TStoreIndex::FindRelease(std::string_view project, std::string_view channel,
                                         std::string_view version) const {
    if (const TLookups* l = Lookups()) {
        auto it = l->releasesByVersion.find(Key(project, version));
        if (it == l->releasesByVersion.end()) return nullptr;
        for (size_t i : it->second) {
            if (Releases[i].Channel == channel) return &Releases[i];
        }
        return nullptr;
    }
    for (const auto& r : Releases) {
        if (r.Project == project && r.Channel == channel && r.Version == version) return &r;
    }
    return nullptr;
}

const TRelease* TStoreIndex::HighestRelease(std::string_view project,
                                            std::string_view channel) const {
    const TRelease* best = nullptr;
    auto consider = [&](const TRelease& r) {
        if (best == nullptr || CompareVersions(r.Version, best->Version) > 0) best = &r;
    };
    if (const TLookups* l = Lookups()) {
        auto it = l->releasesByChannel.find(Key(project, channel));
        if (it != l->releasesByChannel.end()) {
            for (size_t i : it->second) consider(Releases[i]);
        }
        return best;
    }
    for (const auto& r : Releases) {
        if (r.Project == project && r.Channel == channel) consider(r);
    }
    return best;
}

const TRelease* TStoreIndex::FindInstalledRelease(std::string_view project,
                                                  std::string_view channel,
                                                  std::string_view version) const {
    if (const auto* r = FindRelease(project, channel, version)) return r;
    if (const auto* r = FindRelease(project, kDefaultChannel, version)) return r;
    if (const TLookups* l = Lookups()) {
        auto it = l->releasesByVersion.find(Key(project, version));
        return it == l->releasesByVersion.end() ? nullptr : &Releases[it->second.front()];
    }
    for (const auto& r : Releases) {
        if (r.Project == project && r.Version == version) return &r;
    }
    return nullptr;
}

std::string IndexPath(const std::string& store) {
    return store + "/index.json";
}
std::string FilesDir(const std::string& store) {
    return store + "/files";
}
std::string LockPath(const std::string& store) {
    return store + "/.publish.lock";
}

std::string WriteIndexText(const TStoreIndex& index) {
    Json packages = Json::array();
    for (const auto& p : index.Packages) packages.push_back(PackageToJson(p));
    Json releases = Json::array();
    for (const auto& r : index.Releases) {
        Json release = {{"project", r.Project},
                        {"channel", r.Channel},
                        {"version", r.Version},
                        {"published_at", r.PublishedAt},
                        {"packages", r.Packages}};
        if (!r.Signature.empty()) {
            release["signed_release"] = r.SignedText;
            release["signature"] = r.Signature;
        }
        releases.push_back(std::move(release));
    }
    Json root = {{"format", kIndexFormat},
                 {"next_id", index.NextId},
                 {"releases", releases},
                 {"packages", packages}};
    return root.dump(2) + "\n";
}

bool ReadIndexText(const std::string& text, TStoreIndex& index, std::string& error) {
    TStoreIndex result;
    try {
        Json root = Json::parse(text);
        int format = root.at("format").get<int>();
        if (format != kIndexFormat) {
            error = "index format " + std::to_string(format) + " is not supported";
            return false;
        }
        result.NextId = root.at("next_id").get<int64_t>();
        for (const auto& j : root.at("packages")) result.Packages.push_back(PackageFromJson(j));
        for (const auto& j : root.at("releases")) {
            TRelease r;
            r.Project = j.at("project").get<std::string>();
            r.Channel = j.at("channel").get<std::string>();
            r.Version = j.at("version").get<std::string>();
            r.PublishedAt = j.value("published_at", "");
            r.Packages = j.at("packages").get<std::vector<int32_t>>();
            r.SignedText = j.value("signed_release", "");
            r.Signature = j.value("signature", "");
            result.Releases.push_back(std::move(r));
        }
    } catch (const std::exception& e) {
        error = std::string("unreadable index: ") + e.what();
        return false;
    }
    if (!CheckIndex(result, error)) {
        error = "inconsistent index: " + error;
        return false;
    }
    result.Reindex();
    index = std::move(result);
    return true;
}

bool CheckStore(const std::string& store, std::string& error) {
    struct stat st {};
    if (stat(store.c_str(), &st) != 0) {
        error = SystemError("cannot use the store", store);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = "store " + store + " is not a folder";
        return false;
    }
    DIR* dir = opendir(store.c_str());
    if (dir == nullptr) {
        error = SystemError("cannot read the store", store);
        return false;
    }
    closedir(dir);
    TStoreIndex index;
    return LoadIndex(store, index, error);
}

bool LoadIndex(const std::string& store, TStoreIndex& index, std::string& error) {
    std::string path = IndexPath(store);
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        error = "cannot read " + path + ": not a regular file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) {
            index = TStoreIndex();
            return true;
        }
        error = SystemError("cannot read", path);
        return false;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!ReadIndexText(text, index, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

bool SaveIndex(const std::string& store, const TStoreIndex& index, std::string& error) {
    return WriteFileDurably(IndexPath(store), WriteIndexText(index), error);
}

namespace {
bool SyncPath(const std::string& path, int flags, std::string& error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
    if (fd < 0) {
        error = SystemError("cannot open", path);
        return false;
    }
    bool ok = fsync(fd) == 0;
    if (!ok) error = SystemError("cannot flush", path);
    close(fd);
    return ok;
}
}  // namespace

bool SyncFile(const std::string& path, std::string& error) { return SyncPath(path, 0, error); }

bool SyncFolder(const std::string& path, std::string& error) {
    return SyncPath(path, O_DIRECTORY, error);
}

bool WriteFileDurably(const std::string& path, const std::string& content, std::string& error) {
    std::random_device rd;
    std::string temp = path + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(rd());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = SystemError("cannot create", temp);
        return false;
    }
    const char* data = content.data();
    size_t left = content.size();
    bool ok = true;
    while (left > 0) {
        ssize_t n = write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    if (ok && fsync(fd) != 0) ok = false;
    if (!ok) error = SystemError("cannot write", temp);
    if (close(fd) != 0 && ok) {
        ok = false;
        error = SystemError("cannot write", temp);
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = SystemError("cannot rename to", path);
    }
    if (!ok) {
        unlink(temp.c_str());
        return false;
    }
    std::string folder =
        path.substr(0, path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/'));
    return SyncFolder(folder.empty() ? "." : folder, error);
}

TStoreReader::TStoreReader(std::string store)
    : store(std::move(store)), index(std::make_shared<TStoreIndex>()) {}

std::shared_ptr<const TStoreIndex> TStoreReader::Current(std::string* error) {
    if (error != nullptr) error->clear();
    std::lock_guard<std::mutex> lock(mutex);
    struct stat st;
    std::string path = IndexPath(store);
    if (stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT && error != nullptr) *error = SystemError("cannot read", path);
        return index;
    }
    TStamp now{st.st_dev, st.st_ino, Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim),
               static_cast<int64_t>(st.st_size)};
    if (now == stamp) return index;
    auto fresh = std::make_shared<TStoreIndex>();
    std::string failure;
    if (!LoadIndex(store, *fresh, failure)) {
        if (error != nullptr) *error = failure;
        return index;
    }
    // The file may have been replaced again while it was read; the stamp taken before reading
    // then differs from the new file's and the next call reads once more.
    stamp = now;
    index = std::move(fresh);
    return index;
}

}  // namespace ombrel::server
