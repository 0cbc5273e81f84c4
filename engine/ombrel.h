#pragma once
// Ombrel.App: the update engine. One call of Execute is one run: an application run (continue,
// repair, update, force a version or install, then download, unpack, clean up and copy), a
// package-mode run (one package, no manifest) or an info run (list the server's packages).

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api/api_client.h"
#include "engine/junk.h"
#include "engine/report_queue.h"
#include "api/ombrel_options.h"
#include "io/io_interface.h"
#include "messages/messages.h"

namespace ombrel {

class TCopyBuffer;
class TCopyBuffers;
class TFileLock;
class TOmbrelFile;
class TProgress;
struct TPackage;

// Brings the installation folder named by the options into the state the update server
// describes. Every report goes to the sink under "TOmbrel"; the engine's own errors are also
// kept (ErrorText, Success). The collaborators' errors reach the sink under their own senders
// and are not kept here.
//
// Used by one thread at a time; the intercept callback is called on that thread. A run with
// several packages downloads and unpacks them on two threads of its own, with services the
// engine's offer for them (IOInterface::ForThread, IApiClient::ForThread); every report and
// callback still reaches the sink on the run's thread, in the order of a run working one package
// at a time. Two runs on
// the same installation folder and application exclude each other through the lock file
// "<AppName>.ombrel.lock" in that folder, held for the whole run and removed afterwards.
class TOmbrel {
public:
    // Asked after the downloads, before anything in the installation folder changes. Answering
    // true stops the application run there; the progress file stays for the next run.
    using TOnIntercept = std::function<bool()>;

    TOmbrel(IOptionsPtr Options, IOInterfacePtr IO, IMessagesPtr Messages,
            IApiClientPtr ApiClient);
    ~TOmbrel();
    TOmbrel(const TOmbrel&) = delete;
    TOmbrel& operator=(const TOmbrel&) = delete;

    // One run. Path errors (EPathError) and other exceptions of the collaborators leave it;
    // whatever the run held is released by the next application run or with the engine.
    void Execute();
    // True when the engine recorded no error of its own.
    bool Success() const { return errors.empty(); }
    // The engine's errors in order, each followed by CR LF.
    std::string ErrorText() const;

    const TOnIntercept& OnInterceptBeforePackageCopy() const {
        return iOnInterceptBeforePackageCopy;
    }
    void OnInterceptBeforePackageCopy(TOnIntercept callback) {
        iOnInterceptBeforePackageCopy = std::move(callback);
    }
    const IOptionsPtr& Options() const { return iOptions; }

    // What the run did, for a summary; filled as it goes.
    struct TRunReport {
        // "install", "update", "repair", "force", "continue", "package" or "info"; empty until
        // a mode was chosen.
        std::string Mode;
        // The version the run installs (or found installed when there was nothing to do).
        std::string Version;
        bool NothingToDo = false;
        // Packages downloaded into the cache by this run, and their bytes.
        int PackagesDownloaded = 0;
        int64_t BytesDownloaded = 0;
    };
    const TRunReport& Report() const { return iReport; }

    // The download in progress, for a live display: the package file's name, the bytes
    // received so far and the size the server announced (-1 when none). Called on the run's
    // thread after every piece received; the sink gets percent reports at most ten a second.
    using TOnDownloadProgress =
        std::function<void(const std::string& fileName, int64_t received, int64_t total)>;
    void OnDownloadProgress(TOnDownloadProgress callback) {
        iOnDownloadProgress = std::move(callback);
    }

private:
    void AddError(const std::string& msg);
    void Warning(const std::string& msg);
    void Log(const std::string& msg);
    void DebugLog(const std::string& msg);
    bool HasErrors() const { return !errors.empty(); }

    std::string OmbrelFileName();
    std::string ProgressFileName();
    std::string TempPath();
    // Makes sure the package cache exists; false, with an error added, when it is not a folder
    // the user alone may change.
    bool ForceTempPath();

    // None when there is no manifest, or when it cannot be used: `damage` then says why.
    std::unique_ptr<TOmbrelFile> LoadOmbrelFile(std::string& damage);
    bool StoreOmbrelFile(TOmbrelFile& manifest);
    // None when there is no progress file, or when it cannot be used: `damage` then says why.
    std::unique_ptr<TProgress> LoadProgress(std::string& damage);
    // Answers false after adding "can't store progress".
    bool StoreProgress(TProgress& plan);
    // Flushes the installation folder, then stores the manifest (when given), then the plan;
    // stops at the first failure, which it adds to the errors.
    bool RecordState(TProgress& plan, TOmbrelFile* manifest);
    // Removes the temporary files that a killed run left in the installation folder.
    void RemoveStaleTemporaryFiles();

    void ExecuteApplication();
    // With `reinstall`, any progress file is left aside and a repair installs the application
    // anew (the manifest could not be used).
    TProgress* GetProgress(TOmbrelFile* manifest, bool reinstall);
    bool ExecuteProgress(TOmbrelFile& manifest, TProgress& plan);
    bool ExecutePackage();
    bool ExecuteInfo();

    // Download and extraction into the package cache.
    bool DownloadPackages(TProgress& plan);
    // The packages of the plan into the cache folder temp, whose lock the caller holds. When
    // there are several, two worker threads each download and unpack packages (see TLane).
    bool DownloadEach(TProgress& plan, const std::string& temp);
    // What the work on a package uses: on the run's thread the engine's own services and sink;
    // on a worker thread services of its own that report into a queue, which the run's thread
    // passes on when that package's turn comes.
    struct TLane {
        IOInterface& io;
        IApiClient& api;
        IMessages& reports;
        std::function<void(const std::string&)> keepError;  // an error of the engine's own
        TOnDownloadProgress onProgress;
        // True once the package's work is of no use any more (a package before it failed): a
        // download under way then stops where it is, as if the run had been killed.
        std::function<bool()> abandoned;
        int packages = 0;       // downloaded, and their bytes
        int64_t bytes = 0;
    };
    // Whether packages may be worked on side by side: every package has cache names of its own.
    bool CanWorkSideBySide(TProgress& plan);
    // Brings the package's file into the cache (checks, download, or the cached file).
    bool FetchPackage(const TPackage& package, const std::string& temp, TLane& lane);
    // Unpacks the package's cached archive, unless its folder is complete already.
    bool UnpackPackage(const TPackage& package, const std::string& temp, TLane& lane);
    // A worker's services: a sink that can be pointed at one package's queue after the other,
    // and the file system and server services reporting into it.
    struct TWorkerServices {
        std::shared_ptr<TSwitchedMessages> sink;
        IOInterfacePtr io;
        IApiClientPtr api;
    };
    // DownloadEach on the workers that use these services.
    bool DownloadOnWorkers(TProgress& plan, const std::string& temp,
                           std::vector<TWorkerServices>& workers);
    // Removes the lock file (an error when it cannot be) and releases the lock.
    void ReleaseLock(std::unique_ptr<TFileLock>& lock);
    bool DownloadPackage(const TPackage& package, const std::string& fileName,
                         const std::string& target, TLane& lane);
    bool MatchesPackage(const TPackage& package, const std::string& path, std::string& why);
    // The same for a file of that size and SHA-256 (lowercase hex).
    bool MatchesDigest(const TPackage& package, uint64_t size, const std::string& hex,
                       std::string& why);
    // With a built-in release key: the answer's signature, and the plan against what it signs.
    bool CheckReleaseSignature(const std::string& response, TProgress& plan, bool latest);
    // An archive that cannot be unpacked is deleted when dropWhenDamaged, so that the next run
    // downloads it again.
    bool ExtractPackage(const std::string& archive, const std::string& folder,
                        bool dropWhenDamaged, TLane& lane);
    // True when the file opens as a zip archive; reports nothing.
    static bool IsZipArchive(const std::string& path);
    bool RenamePath(const std::string& from, const std::string& to, TLane& lane);
    void RemovePartial(const std::string& path);

    // Installation and clean-up.
    bool PrepareCopy(TProgress& plan, TCopyBuffers*& copyPlan);
    // A name (relative to the installation folder) that is the engine's own: the state files
    // and lock file of the application, and temporary files of the file system service.
    bool IsReservedName(const std::string& name);

    // False, with an error naming the first one, when a file name of the copy plan cannot be
    // recorded in the manifest as it is.
    bool CanRecordFiles(TCopyBuffers& copyPlan);
    bool TestForOpenHandles(TCopyBuffers& copyPlan);
    // MD5 of each of the files below folder that exists: half of them on another thread.
    bool HashFiles(const std::string& folder, const TStrings& files, THashList& hashes);
    bool RemoveDoomedFiles(const std::string& destination, TProgress& plan, TOmbrelFile& manifest);
    bool RemoveDoomedPackages(TProgress& plan, TOmbrelFile& manifest);
    bool CopyPackages(TCopyBuffers& copyPlan, TProgress& plan, TOmbrelFile* manifest);
    // One package's files, on both cores when the file system service can serve other threads.
    bool CopyFiles(TCopyBuffer& buffer);
    // Passes a report made on another thread on, as if made here.
    void Deliver(const TReportQueue::TEntry& entry);
    void RemoveProgressFile();

    std::vector<std::string> errors;
    IMessagesPtr Messages;
    std::string Sender;
    TOnIntercept iOnInterceptBeforePackageCopy;
    TOnDownloadProgress iOnDownloadProgress;
    TRunReport iReport;
    TJunk junk;
    IApiClientPtr apiClient;
    IOptionsPtr iOptions;
    IOInterfacePtr IO;
};

}  // namespace ombrel
