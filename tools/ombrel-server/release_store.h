#pragma once
// The release store on disk: an index file and the package files it names.
//
//   <store>/index.json      every package and release (replaced atomically by publishers)
//   <store>/files/          the package files, named by TStoredPackage::StoredFile
//   <store>/.publish.lock   held by a publisher for the whole publication
//
// Readers only ever look at the index, and publishers write package files before the index
// that names them, so a reader sees a store before or after a publication, never between.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ombrel::server {

// The channel of requests that name none, and of publications that name none.
inline constexpr char kDefaultChannel[] = "stable";

struct TInstalledFile {
    std::string Name;  // relative to the installation folder, "/" between folders
    std::string Md5;   // 32 lowercase hexadecimal digits
};

// One package as stored. A package is immutable once published; releases share it by id.
struct TStoredPackage {
    int32_t Id = 0;                  // positive, unique in the store
    std::string Name;                // shared by every version of the package
    std::string Version;             // the release version it was first published with
    int32_t Build = 0;               // > 0 when an earlier, different content took Name+Version
    std::string Filename;            // install name of a single-file package; empty for archives
    std::vector<std::string> Files;  // file masks
    std::string StoredFile;          // name of the package file in <store>/files
    uint64_t Size = 0;
    std::string Sha256;      // of the stored file, 64 lowercase hexadecimal digits
    std::string SourceFile;  // name of the source archive in <store>/files; may be empty
    uint64_t SourceSize = 0;
    std::string SourceSha256;
    std::string ContentKey;  // digest of everything that makes the package what it is
    std::string UpdatedAt;   // UTC, "2024-05-01T12:00:00Z"
    std::vector<TInstalledFile> Installed;  // what the package installs, with MD5s

    // The version under which installations know this package: Version, then "." and the
    // build when it is > 0 (as installers form it from a package document).
    std::string FullVersion() const;
};

struct TRelease {
    std::string Project;
    std::string Channel;
    std::string Version;
    std::string PublishedAt;
    std::vector<int32_t> Packages;  // ids, in installation order
    // With `publish --sign`: the release text that was signed (see api/signed_release.h) and
    // its signature in Base64; both empty for a release published without a key.
    std::string SignedText;
    std::string Signature;
};

// A consistent view of the store: the content of one index file. An index read by
// ReadIndexText answers its lookups from hash tables; after packages or releases are added the
// lookups scan the lists again until Reindex is called. Lookups never change the index, so
// threads may share a const index.
class TStoreIndex {
  public:
    int64_t NextId = 1;  // the id the next new package gets
    std::vector<TStoredPackage> Packages;
    std::vector<TRelease> Releases;  // in publication order

    // Builds the lookup tables for the present lists.
    void Reindex();

    const TStoredPackage* PackageById(int32_t id) const;
    // By name and full version (see TStoredPackage::FullVersion), exact.
    const TStoredPackage* PackageByVersion(std::string_view name,
                                           std::string_view fullVersion) const;
    // Every package of that name, lowest version first (then by build).
    std::vector<const TStoredPackage*> PackagesNamed(std::string_view name) const;
    std::vector<const TStoredPackage*> ReleasePackages(const TRelease& release) const;

    bool HasProject(std::string_view project) const;
    const TRelease* FindRelease(std::string_view project, std::string_view channel,
                                std::string_view version) const;
    // The highest version published on the channel, or none.
    const TRelease* HighestRelease(std::string_view project, std::string_view channel) const;
    // The release an installation of `version` came from: on `channel` when published there,
    // else on the default channel, else the first one published on any other channel.
    const TRelease* FindInstalledRelease(std::string_view project, std::string_view channel,
                                         std::string_view version) const;

  private:
    // Positions in Packages and Releases, valid while the lists keep the lengths they had.
    struct TLookups {
        size_t packageCount = 0;
        size_t releaseCount = 0;
        std::unordered_map<int32_t, size_t> packageById;
        std::unordered_map<std::string, std::vector<size_t>> packagesByName;  // in list order
        // project "\n" channel -> releases on it, in list order
        std::unordered_map<std::string, std::vector<size_t>> releasesByChannel;
        // project "\n" version -> releases of that version on any channel, in list order
        std::unordered_map<std::string, std::vector<size_t>> releasesByVersion;
    };
    const TLookups* Lookups() const;

    std::shared_ptr<const TLookups> lookups;
};

std::string IndexPath(const std::string& store);
std::string FilesDir(const std::string& store);
std::string LockPath(const std::string& store);

std::string WriteIndexText(const TStoreIndex& index);
// Reads and checks an index text (ids unique and positive, releases naming stored packages).
bool ReadIndexText(const std::string& text, TStoreIndex& index, std::string& error);

// Loads the store's index. A store without an index file is an empty store.
// True when `store` is a folder that can be read and whose index, if it has one, loads; else
// false with the folder or file and the system's reason. A folder without an index is a store
// with nothing published yet.
bool CheckStore(const std::string& store, std::string& error);

bool LoadIndex(const std::string& store, TStoreIndex& index, std::string& error);
// Replaces the store's index atomically and durably.
bool SaveIndex(const std::string& store, const TStoreIndex& index, std::string& error);

// Writes `content` to a temporary file beside `path`, flushes it to disk and renames it over
// `path`, then flushes the folder. On failure nothing carries the final name.
bool WriteFileDurably(const std::string& path, const std::string& content, std::string& error);
// Flushes a file that was written by other means (an archive) to disk.
bool SyncFile(const std::string& path, std::string& error);
// Flushes a folder's entries (after a rename into it).
bool SyncFolder(const std::string& path, std::string& error);

// The newest index of a store, for a serving process. Each call looks at the index file and
// reads it again when it was replaced since the last read; when that fails (or the store has
// no index yet) the last good index stays in use. Safe to call from several threads.
class TStoreReader {
  public:
    explicit TStoreReader(std::string store);

    // Never null: an empty index until the first successful read. `error` (when given) gets
    // the text of a failed re-read, empty otherwise.
    std::shared_ptr<const TStoreIndex> Current(std::string* error = nullptr);
    const std::string& Store() const { return store; }

  private:
    struct TStamp {
        dev_t dev = 0;
        ino_t ino = 0;
        int64_t mtimeNs = 0;
        int64_t ctimeNs = 0;
        int64_t size = -1;
        bool operator==(const TStamp&) const = default;
    };

    std::string store;
    std::mutex mutex;
    TStamp stamp;
    std::shared_ptr<const TStoreIndex> index;
};

}  // namespace ombrel::server
