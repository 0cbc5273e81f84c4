#include "tools/ombrel-server/publisher.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "io/text.h"
#include "api/signed_release.h"
#include "platform/crypto.h"
#include "tools/ombrel-server/digest.h"
#include "tools/ombrel-server/file_masks.h"
#include "tools/ombrel-server/release_signing.h"
#include "tools/ombrel-server/zip_archive.h"

namespace fs = std::filesystem;

namespace ombrel::server {
namespace {

const char kSender[] = "Publisher";

std::string NowUtc() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// The extension of a file name's last component, dot included; "" when it has none.
std::string ExtensionOf(const std::string& name) {
    size_t slash = name.find_last_of("/\\");
    std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
    size_t dot = last.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? "" : last.substr(dot);
}

class TPublishLock {
  public:
    bool Acquire(const std::string& path, std::string& error) {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || flock(fd, LOCK_EX) != 0) {
            error = "cannot lock " + path + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    ~TPublishLock() {
        if (fd >= 0) close(fd);  // closing releases the lock
    }

  private:
    int fd = -1;
};

// A folder for the files of one publication, inside the store's files folder so that a
// rename moves them into place; removed with whatever is left in it.
class TStaging {
  public:
    bool Create(const std::string& filesDir, std::string& error) {
        std::random_device rd;
        path = filesDir + "/.staging-" + std::to_string(getpid()) + "-" + std::to_string(rd());
        std::error_code ec;
        if (!fs::create_directory(path, ec)) {
            error = "cannot create " + path + ": " + ec.message();
            path.clear();
            return false;
        }
        return true;
    }
    ~TStaging() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
    std::string File(const std::string& name) const { return path + "/" + name; }

  private:
    std::string path;
};

// One package being published, before it is given an id.
struct TCandidate {
    const TPackageSpec* spec = nullptr;
    std::string stagedFile;
    uint64_t size = 0;
    std::string sha256;
    std::string stagedSource;
    std::string sourceExtension;
    uint64_t sourceSize = 0;
    std::string sourceSha256;
    std::string filename;
    std::vector<TInstalledFile> installed;
    std::string contentKey;
};

bool CopyInto(const std::string& from, const std::string& to, std::string& error) {
    std::error_code ec;
    if (!fs::is_regular_file(from, ec)) {
        error = from + " is not a file";
        return false;
    }
    if (!fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec)) {
        error = "cannot copy " + from + ": " + ec.message();
        return false;
    }
    return true;
}

bool PrepareSource(const TPackageSpec& spec, const TStaging& staging, size_t n,
                   TCandidate& candidate, std::string& error) {
    if (spec.SourcePath.empty()) return true;
    candidate.stagedSource = staging.File(std::to_string(n) + ".src");
    std::error_code ec;
    if (fs::is_directory(spec.SourcePath, ec)) {
        std::vector<TZipEntry> ignored;
        if (!WriteZipFromFolder(spec.SourcePath, candidate.stagedSource, ignored, error)) {
            return false;
        }
        candidate.sourceExtension = ".zip";
    } else {
        if (!CopyInto(spec.SourcePath, candidate.stagedSource, error)) return false;
        candidate.sourceExtension = ExtensionOf(spec.SourcePath);
    }
    return Sha256OfFile(candidate.stagedSource, candidate.sourceSha256, candidate.sourceSize,
                        error);
}

bool PrepareCandidate(const TPackageSpec& spec, const TStaging& staging, size_t n,
                      TCandidate& candidate, IMessages& messages, std::string& error) {
    candidate.spec = &spec;
    candidate.stagedFile = staging.File(std::to_string(n) + ".pkg");
    std::string key;  // the canonical text whose digest identifies the content
    if (spec.Kind == TPackageKind::SingleFile) {
        if (!CleanInstallName(spec.InstallName, candidate.filename, error)) return false;
        if (!CopyInto(spec.Path, candidate.stagedFile, error)) return false;
        std::string md5;
        if (!Md5OfFile(candidate.stagedFile, md5, error)) return false;
        candidate.installed.push_back({candidate.filename, md5});
        std::error_code ec;
        auto mode = fs::status(candidate.stagedFile, ec).permissions();
        key = "file\n" + candidate.filename + "\n" +
              std::to_string(static_cast<unsigned>(mode) & 07777) + "\n" + md5 + "\n";
    } else {
        if (!CheckMasks(spec.Masks, error)) {
            error = "package " + spec.Name + ": " + error;
            return false;
        }
        if (spec.Kind == TPackageKind::Folder) {
            std::vector<TZipEntry> packed;
            if (!WriteZipFromFolder(spec.Path, candidate.stagedFile, packed, error)) return false;
        } else if (!CopyInto(spec.Path, candidate.stagedFile, error)) {
            return false;
        }
        std::vector<TZipEntry> entries;
        if (!ReadZipEntries(candidate.stagedFile, entries, error)) {
            if (spec.Kind == TPackageKind::Archive) error = spec.Path + ": " + error;
            return false;
        }
        std::vector<std::string> names;
        std::map<std::string, const TZipEntry*> byName;
        key = "archive\n";
        for (const auto& mask : spec.Masks) key += "mask " + mask + "\n";
        for (const auto& e : entries) {
            names.push_back(e.Name);
            byName[e.Name] = &e;
            key += e.Name + "\n" + std::to_string(e.Mode) + "\n" + e.Md5 + "\n";
        }
        for (const auto& name : SelectInstalledFiles(spec.Masks, names)) {
            candidate.installed.push_back({name, byName[name]->Md5});
        }
        if (candidate.installed.empty()) {
            messages.Warning("package " + spec.Name +
                                 " installs no file: its masks match none of its " +
                                 std::to_string(entries.size()) + " files",
                             kSender);
        }
    }
    if (!Sha256OfFile(candidate.stagedFile, candidate.sha256, candidate.size, error)) return false;
    if (!PrepareSource(spec, staging, n, candidate, error)) return false;
    if (!candidate.stagedSource.empty()) {
        std::string md5;
        if (!Md5OfFile(candidate.stagedSource, md5, error)) return false;
        key += "source\n" + md5 + "\n";
    }
    candidate.contentKey = Md5OfText(key);
    return true;
}

bool CheckRequest(const TPublishRequest& request, std::string& error) {
    if (request.Store.empty()) {
        error = "no store folder given";
        return false;
    }
    struct {
        const char* what;
        const std::string& value;
    } names[] = {
        {"project", request.Project}, {"version", request.Version}, {"channel", request.Channel}};
    for (const auto& n : names) {
        if (!IsValidName(n.value)) {
            error = std::string("invalid ") + n.what + " '" + n.value +
                    "': use letters, digits and . _ + - (beginning with a letter or digit)";
            return false;
        }
    }
    if (request.Packages.empty()) {
        error = "a release needs at least one package";
        return false;
    }
    std::set<std::string> seen;
    for (const auto& p : request.Packages) {
        if (!IsValidName(p.Name)) {
            error = "invalid package name '" + p.Name +
                    "': use letters, digits and . _ + - (beginning with a letter or digit)";
            return false;
        }
        if (!seen.insert(p.Name).second) {
            error = "package " + p.Name + " is given twice";
            return false;
        }
    }
    return true;
}

int32_t FreeBuild(const TStoreIndex& index, const std::string& name, const std::string& version) {
    int32_t build = 0;
    while (true) {
        TStoredPackage probe;
        probe.Version = version;
        probe.Build = build;
        if (index.PackageByVersion(name, probe.FullVersion()) == nullptr) return build;
        ++build;
    }
}

// Under the publish lock no other publication is running, so staging folders and temporary
// index files still present were left by a publisher that died; they are removed.
void RemoveLeftovers(const std::string& store, IMessages& messages) {
    std::error_code ec;
    auto remove = [&](const fs::path& path, const std::string& marker) {
        if (path.filename().string().rfind(marker, 0) != 0) return;
        std::error_code ignored;
        fs::remove_all(path, ignored);
        messages.Log("removed " + path.string() + ", left by an interrupted publication", kSender);
    };
    for (const auto& e : fs::directory_iterator(FilesDir(store), ec)) remove(e.path(), ".staging-");
    for (const auto& e : fs::directory_iterator(store, ec)) remove(e.path(), "index.json.tmp-");
}

// Packages published before sizes and digests were recorded get them from their stored files,
// so that every package of a release carries them from now on. A stored file that cannot be
// read is only warned about: its package keeps serving without them, as before.
void BackfillDigests(const std::string& store, TStoreIndex& index, IMessages& messages) {
    auto fill = [&](const std::string& file, std::string& sha256, uint64_t& size) {
        if (file.empty() || !sha256.empty()) return;
        std::string hex, error;
        uint64_t bytes = 0;
        if (!Sha256OfFile(FilesDir(store) + "/" + file, hex, bytes, error)) {
            messages.Warning("no digest recorded for " + file + ": " + error, kSender);
            return;
        }
        sha256 = hex;
        size = bytes;
        messages.Log("recorded the digest of " + file, kSender);
    };
    for (auto& p : index.Packages) {
        fill(p.StoredFile, p.Sha256, p.Size);
        fill(p.SourceFile, p.SourceSha256, p.SourceSize);
    }
}

// Signs the release as it stands: project, channel, version and every package with its size
// and digest (see api/signed_release.h).
bool SignRelease(const TStoreIndex& index, const std::string& keyFile, TRelease& release,
                 std::string& error) {
    TSignedRelease signed_;
    signed_.Project = release.Project;
    signed_.Channel = release.Channel;
    signed_.Version = release.Version;
    for (int32_t id : release.Packages) {
        const TStoredPackage* p = index.PackageById(id);
        if (p == nullptr || p->Sha256.empty()) {
            error = "cannot sign: package id " + std::to_string(id) + " has no recorded digest";
            return false;
        }
        signed_.Packages.push_back({p->Id, p->Name, p->FullVersion(), p->Size, p->Sha256});
    }
    std::string text, signature, publicKey;
    if (!WriteReleaseText(signed_, text, error) ||
        !SignWithKeyFile(keyFile, text, signature, publicKey, error)) {
        error = "cannot sign: " + error;
        return false;
    }
    release.SignedText = text;
    release.Signature = signature;
    return true;
}

bool MoveIntoStore(const std::string& from, const std::string& to, std::string& error) {
    if (!SyncFile(from, error)) return false;
    if (rename(from.c_str(), to.c_str()) != 0) {
        error = "cannot move " + from + " to " + to + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

static bool PublishRelease(const TPublishRequest& request, IMessages& messages,
                           std::vector<TPublishedPackage>* published);

bool IsValidName(const std::string& text) {
    if (text.empty() || !std::isalnum(static_cast<unsigned char>(text[0]))) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '+' || c == '-';
    });
}

bool ParsePackageArgument(const std::string& argument, bool singleFile, TPackageSpec& spec,
                          std::string& error) {
    size_t eq = argument.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == argument.size()) {
        error = "'" + argument + "' is not of the form NAME=PATH[:" +
                (singleFile ? "INSTALLNAME]" : "MASK,MASK...]");
        return false;
    }
    spec = TPackageSpec();
    spec.Name = argument.substr(0, eq);
    std::string rest = argument.substr(eq + 1);
    std::string extra;
    size_t colon = rest.find_last_of(':');
    if (colon != std::string::npos) {
        extra = rest.substr(colon + 1);
        rest = rest.substr(0, colon);
    }
    if (rest.empty()) {
        error = "'" + argument + "' names no path";
        return false;
    }
    spec.Path = rest;
    if (singleFile) {
        spec.Kind = TPackageKind::SingleFile;
        spec.InstallName = extra.empty() ? fs::path(rest).filename().string() : extra;
        return true;
    }
    std::error_code ec;
    spec.Kind = fs::is_directory(rest, ec) ? TPackageKind::Folder : TPackageKind::Archive;
    if (!extra.empty()) {
        spec.Masks.clear();
        size_t start = 0;
        while (start <= extra.size()) {
            size_t comma = extra.find(',', start);
            if (comma == std::string::npos) comma = extra.size();
            spec.Masks.push_back(extra.substr(start, comma - start));
            start = comma + 1;
        }
    }
    return true;
}

bool ParseSourceArgument(const std::string& argument, std::string& name, std::string& path,
                         std::string& error) {
    size_t eq = argument.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == argument.size()) {
        error = "'" + argument + "' is not of the form NAME=PATH";
        return false;
    }
    name = argument.substr(0, eq);
    path = argument.substr(eq + 1);
    return true;
}

bool Publish(const TPublishRequest& request, IMessages& messages,
             std::vector<TPublishedPackage>* published) {
    try {
        return PublishRelease(request, messages, published);
    } catch (const std::exception& e) {
        // Nothing names what was written before the failure: the store is as it was.
        messages.Error(std::string("publication failed: ") + e.what(), kSender);
        return false;
    }
}

static bool PublishRelease(const TPublishRequest& request, IMessages& messages,
                           std::vector<TPublishedPackage>* published) {
    if (published != nullptr) published->clear();
    std::string error;
    auto fail = [&](const std::string& text) {
        messages.Error(text, kSender);
        return false;
    };
    if (!CheckRequest(request, error)) return fail(error);

    std::error_code ec;
    fs::create_directories(FilesDir(request.Store), ec);
    if (ec) return fail("cannot create " + FilesDir(request.Store) + ": " + ec.message());
    TPublishLock lock;
    if (!lock.Acquire(LockPath(request.Store), error)) return fail(error);
    RemoveLeftovers(request.Store, messages);
    TStoreIndex index;
    if (!LoadIndex(request.Store, index, error)) return fail(error);
    BackfillDigests(request.Store, index, messages);

    const TRelease* existing = index.FindRelease(request.Project, request.Channel, request.Version);
    if (existing != nullptr && !request.Replace) {
        return fail("release " + request.Project + " " + request.Version + " on channel " +
                    request.Channel + " exists already (--replace replaces it)");
    }

    TStaging staging;
    if (!staging.Create(FilesDir(request.Store), error)) return fail(error);
    std::vector<TCandidate> candidates(request.Packages.size());
    for (size_t i = 0; i < request.Packages.size(); ++i) {
        if (!PrepareCandidate(request.Packages[i], staging, i, candidates[i], messages, error)) {
            return fail(error);
        }
    }

    std::map<std::string, std::string> owners;  // installed file -> package
    for (const auto& c : candidates) {
        for (const auto& f : c.installed) {
            auto [it, added] = owners.emplace(f.Name, c.spec->Name);
            if (!added) {
                messages.Warning("file " + f.Name + " is installed by both " + it->second +
                                     " and " + c.spec->Name,
                                 kSender);
            }
        }
    }

    TRelease release;
    release.Project = request.Project;
    release.Channel = request.Channel;
    release.Version = request.Version;
    release.PublishedAt = NowUtc();
    std::vector<std::string> moved;  // new files in the store, removed again on failure
    auto undo = [&](const std::string& text) {
        for (const auto& path : moved) unlink(path.c_str());
        return fail(text);
    };
    std::vector<TPublishedPackage> result;
    for (const auto& c : candidates) {
        const TStoredPackage* same = nullptr;
        for (const auto& p : index.Packages) {
            if (p.Name == c.spec->Name && p.ContentKey == c.contentKey) same = &p;
        }
        if (same != nullptr) {
            release.Packages.push_back(same->Id);
            result.push_back({same->Id, same->Name, same->FullVersion(), true});
            messages.Log(same->Name + " " + same->FullVersion() + " (id " +
                             std::to_string(same->Id) + "): unchanged",
                         kSender);
            continue;
        }
        if (index.NextId > INT32_MAX) return undo("no package id is left in this store");
        TStoredPackage p;
        p.Id = static_cast<int32_t>(index.NextId);
        p.Name = c.spec->Name;
        p.Version = request.Version;
        p.Build = FreeBuild(index, p.Name, p.Version);
        p.Filename = c.filename;
        // Installers skip packages without masks; a single file needs one all the same.
        p.Files = c.spec->Kind == TPackageKind::SingleFile ? std::vector<std::string>{"*"}
                                                           : c.spec->Masks;
        std::string stem = std::to_string(p.Id) + "-" + p.Name + "-" + p.FullVersion();
        p.StoredFile = stem + (p.Filename.empty() ? ".zip" : ExtensionOf(p.Filename));
        p.Size = c.size;
        p.Sha256 = c.sha256;
        if (!c.stagedSource.empty()) {
            p.SourceFile = stem + ".src" + c.sourceExtension;
            p.SourceSize = c.sourceSize;
            p.SourceSha256 = c.sourceSha256;
        }
        p.ContentKey = c.contentKey;
        p.UpdatedAt = release.PublishedAt;
        p.Installed = c.installed;

        std::string target = FilesDir(request.Store) + "/" + p.StoredFile;
        if (!MoveIntoStore(c.stagedFile, target, error)) return undo(error);
        moved.push_back(target);
        if (!p.SourceFile.empty()) {
            target = FilesDir(request.Store) + "/" + p.SourceFile;
            if (!MoveIntoStore(c.stagedSource, target, error)) return undo(error);
            moved.push_back(target);
        }
        index.NextId = int64_t{p.Id} + 1;
        release.Packages.push_back(p.Id);
        result.push_back({p.Id, p.Name, p.FullVersion(), false});
        messages.Log(p.Name + " " + p.FullVersion() + " (id " + std::to_string(p.Id) + "): new, " +
                         std::to_string(p.Installed.size()) + " file(s)",
                     kSender);
        index.Packages.push_back(std::move(p));
    }
    if (!SyncFolder(FilesDir(request.Store), error)) return undo(error);
    if (!request.SignKeyFile.empty() && !SignRelease(index, request.SignKeyFile, release, error)) {
        return undo(error);
    }

    if (existing != nullptr) {
        auto& slot = *std::find_if(index.Releases.begin(), index.Releases.end(),
                                   [&](const TRelease& r) { return &r == existing; });
        slot = release;
    } else {
        index.Releases.push_back(release);
    }
    if (!SaveIndex(request.Store, index, error)) return undo(error);
    messages.Log("published " + request.Project + " " + request.Version + " on channel " +
                     request.Channel + " with " + std::to_string(result.size()) + " package(s)",
                 kSender);
    if (published != nullptr) *published = std::move(result);
    return true;
}

}  // namespace ombrel::server
