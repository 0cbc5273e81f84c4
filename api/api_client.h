#pragma once
// Ombrel.ApiClient: the engine's only way to the update server.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "api/ombrel_options.h"
#include "io/io_interface.h"
#include "messages/messages.h"

namespace ombrel {

class TOmbrelFile;

// One package download into a file that may already hold the start of the package.
struct TPackageDownload {
    int32_t packageId = 0;
    TPackageMode mode = TPackageMode::binary;
    std::string path;
    // When not empty, a folder that `path` lies below; no link below it is followed.
    std::string root;
    // When > 0: the file's first resumeFrom bytes are kept and only the rest is asked for
    // ("Range: bytes=N-", with "If-Range: <ifRange>" when ifRange is set). A 206 answer is
    // appended to them; a 200 answer replaces them.
    uint64_t resumeFrom = 0;
    std::string ifRange;
    // When set, the download fails as soon as the file would grow beyond this many bytes.
    std::optional<uint64_t> maxSize;
    // Compute the SHA-256 of the file's content while it is written (see sha256).
    bool computeSha256 = false;

    // Filled in by the download, also when it fails:
    std::string etag;        // the server's ETag for the file; empty when it sent none
    uint64_t received = 0;   // bytes the file holds afterwards
    bool tooLong = false;    // stopped at maxSize
    bool cut = false;        // no complete answer came: the file holds a start of the package
    // With computeSha256, after a download that wrote the whole file: its SHA-256 in lowercase
    // hex. Empty when it is unknown (a resumed download, a client that does not compute it).
    std::string sha256;
};

// Each operation sends one request and answers true on a 2xx answer. Out parameters are
// cleared first and stay empty on failure. Every failure is recorded in the client's error
// list and reported to the sink; nothing throws. Not safe for concurrent requests.
class IApiClient {
public:
    virtual ~IApiClient() = default;

    virtual bool Ping() = 0;
    // A JSON array of package documents.
    virtual bool GetInfoForPackage(const std::string& package, std::string& response) = 0;
    // One package document.
    virtual bool GetInfoForPackage(const std::string& package, const std::string& version,
                                   std::string& response) = 0;
    virtual bool GetInstallInfoForVersion(const std::string& project, const std::string& version,
                                          std::string& response) = 0;
    virtual bool GetInstallInfoForLatest(const std::string& project, std::string& response) = 0;
    virtual bool GetUpdateInfoForVersion(const std::string& project, const std::string& version,
                                         std::string& response) = 0;
    // POST of the manifest's packages.
    virtual bool GetVersionInfoForVersion(const std::string& project, const std::string& version,
                                          const TOmbrelFile& ombrelFile,
                                          std::string& response) = 0;
    // POST of the installed files' hashes.
    virtual bool GetRepairInfoForVersion(const std::string& project, const std::string& version,
                                         const THashList& HashList, std::string& response) = 0;
    virtual bool DownloadBinaryPackage(int32_t packageId, TBytes& bytes) = 0;
    virtual bool DownloadSourcePackage(int32_t packageId, TBytes& bytes) = 0;
    // Recorded error texts, each followed by CR LF.
    virtual std::string ErrorText() = 0;
    virtual bool IsError() = 0;
    virtual void ClearErrors() = 0;

    // A client of the same server and credentials for another thread, reporting to Messages,
    // with errors and callbacks of its own. None when the client cannot be used that way.
    virtual std::shared_ptr<IApiClient> ForThread(IMessagesPtr Messages) {
        (void)Messages;
        return nullptr;
    }

    // Same request, checks and reports as DownloadBinaryPackage / DownloadSourcePackage, but the
    // body is streamed into the file at `path` (created or truncated) instead of memory, so a
    // package of any size downloads in constant memory. On failure the file may hold part of
    // the body; the caller writes to a temporary name and renames on success.
    virtual bool DownloadPackageToFile(int32_t packageId, TPackageMode mode,
                                       const std::string& path) = 0;

    // Bytes received so far by DownloadPackageToFile and the size the server announced (-1
    // when none), called on the downloading thread while the body arrives.
    using TDownloadProgress = std::function<void(int64_t received, int64_t total)>;
    // Sets (or with an empty one, removes) the callback for the downloads that follow. A client
    // that cannot tell keeps quiet.
    virtual void SetDownloadProgress(TDownloadProgress onProgress) { (void)onProgress; }
    // The same with resuming and a size limit. Clients that cannot resume download the whole
    // package again.
    virtual bool DownloadPackageToFile(TPackageDownload& download) {
        download.etag.clear();
        download.sha256.clear();
        download.received = 0;
        download.tooLong = download.cut = false;
        return DownloadPackageToFile(download.packageId, download.mode, download.path);
    }
};

using IApiClientPtr = std::shared_ptr<IApiClient>;

}  // namespace ombrel
