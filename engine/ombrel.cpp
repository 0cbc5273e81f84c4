#include "engine/ombrel.h"

#include <fmt/printf.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "api/signed_release.h"
#include "engine/copy_buffer.h"
#include "engine/copy_workers.h"
#include "engine/report_queue.h"
#include "io/disk_entries.h"
#include "io/paths.h"
#include "io/text.h"
#include "io/zip_reader.h"
#include "model/json_models.h"
#include "ombrel/build_config.h"
#include "platform/crypto.h"
#include "platform/file_lock.h"
#include "platform/folders.h"
#include "state/helper_package.h"
#include "state/ombrel_file.h"
#include "state/progress.h"

namespace ombrel {

// Order of writes of an application run
// ---------------------------------------
// The installation folder holds the installed files and two state files: the manifest
// "<app>.ombrel" (what is installed: version, packages, files) and the progress file
// "<app>.ombrel.progress" (what the run still has to do). Each state file is replaced as a whole
// (temporary file, flush, rename, flush of the folder), so it is always either the old or the new
// one. While a progress file exists it is the truth about the run: every later run continues it.
// A run moves the folder through these steps, each one written fully before the next begins:
//
//   1. The plan is saved as the progress file before anything in the folder changes.
//   2. Obsolete files are deleted (a missing one counts as deleted), then the top-level folders
//      they leave empty. Then the manifest is stored without those files (and without the
//      obsolete packages), and only then the plan without them.
//   3. For each package in plan order: its files are copied from the package cache (each through
//      a temporary file or an exclusive create, and a rename; two threads share a package's
//      files, see engine/copy_workers.h), the file system is flushed, the
//      manifest is stored with the package and its files, and only then the plan without it.
//   4. The manifest is stored with the plan's version; then the progress file is deleted.
//
// A run killed anywhere leaves the step under way half done and every earlier step recorded in
// both files, and the progress file still lists the step under way. The next run does that step
// again from the start: deleting a file that is gone, copying a package again and recording it
// again all end in the same state as doing it once. Temporary files of a killed write
// (".ombrel-*.tmp") are removed by the next run before it starts. The manifest never lists a
// file of a package that is not recorded in it and is not in the plan any more.
//
// The package cache is filled before step 2 and is not part of this order: a download is renamed
// into place when complete, an archive is unpacked beside its folder, renamed, and marked
// complete last (see DownloadPackages). Packages may be downloaded and unpacked two at a time, on
// threads of their own (see DownloadOnWorkers); all of them are complete before step 2. Packages
// are copied in plan order (a later package may overwrite a file of an earlier one), and each
// package is recorded only after its own files are copied and flushed.

namespace {

const char kExecute[] = "Execute";
const char kExecutePackage[] = "ExecutePackage";
// Threads that copy a package's files into the installation folder.
constexpr size_t kCopyWorkers = 2;
// Threads that download and unpack packages into the cache.
constexpr size_t kPackageWorkers = 2;

// Stops the download of a package whose work is of no use any more.
struct TAbandoned {};

// i * 100 / n rounded to the nearest whole number, a half going to the even neighbour.
int32_t CopyPercent(size_t i, size_t n) {
    size_t q = i * 100 / n;
    size_t r = i * 100 % n;
    if (2 * r > n || (2 * r == n && q % 2 == 1)) ++q;
    return static_cast<int32_t>(q);
}

// Both separators: names from the server pass through NormalizeSeparators first, which gives
// "\" on Windows and "/" on Linux.
constexpr const char* kSeparators = "/\\";

// An obsolete-file name (separators already the platform's) that would reach outside the
// installation folder: rooted, in drive form, or climbing with "..".
bool LeavesFolder(const std::string& name) {
    if (IsRootedPath(name)) return true;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of(kSeparators, start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0 && end - start == 2) return true;
        start = end + 1;
    }
    return false;
}

// Why a loaded manifest cannot be used, or "" when it can: every later run asks the server by
// its version, and a repair hashes its files.
std::string ManifestDamage(const TOmbrelFile& manifest) {
    if (IsBlank(manifest.Version)) return "it names no version";
    for (const auto& file : manifest.Files()) {
        try {
            JoinInside("", file);
        } catch (const EPathError&) {
            return fmt::sprintf("it names the file %s outside the installation folder", file);
        }
    }
    return "";
}

// Why a loaded plan cannot be carried out, or "" when it can.
std::string PlanDamage(const TProgress& plan) {
    if (IsBlank(plan.Version)) return "it names no version";
    for (const auto& package : plan.Packages()) {
        try {
            const std::string file = GetPackageFileName(*package);
            if (IsBlank(package->Name) || IsBlank(package->Version) || !IsPlainFileName(file) ||
                (ExtractFileExt(file) == ".zip" && !IsPlainFileName(GetPackageFolderName(*package)))) {
                return fmt::sprintf("its package %s %s cannot be kept in the package cache",
                                    package->Name, package->Version);
            }
            if (!package->Filename.empty()) JoinInside("", package->Filename);
        } catch (const EPathError&) {
            return fmt::sprintf("its package %s %s names a file outside the installation folder",
                                package->Name, package->Version);
        }
    }
    return "";
}

// Passes reports on to a sink, except errors, which it keeps (the last one).
class TErrorCapture : public IMessages {
public:
    explicit TErrorCapture(IMessagesPtr next) : next(std::move(next)) {}
    void Error(const std::string& msg, const std::string&) override { text = msg; }
    void Warning(const std::string& msg, const std::string& sender) override {
        next->Warning(msg, sender);
    }
    void Log(const std::string& msg, const std::string& sender) override { next->Log(msg, sender); }
    void Debug(const std::string& msg, const std::string& sender) override {
        next->Debug(msg, sender);
    }
    void Progress(const std::string& caption, int32_t percent) override {
        next->Progress(caption, percent);
    }

    std::string text;

private:
    IMessagesPtr next;
};

// Temporary files of the file system service: ".ombrel-" + 16 hexadecimal digits + ".tmp".
bool IsTemporaryName(const std::string& name) {
    const std::string prefix = ".ombrel-";
    const std::string suffix = ".tmp";
    if (name.size() != prefix.size() + 16 + suffix.size()) return false;
    if (name.compare(0, prefix.size(), prefix) != 0) return false;
    if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()),
                       name.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

// The entry `name` of `folder`, as the folder's listing names it.
std::string Below(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/' || folder.back() == kPathSeparator) {
        return folder + name;
    }
    return folder + kPathSeparator + name;
}

// True when nothing but folders is below path (links and files count as something).
bool HoldsOnlyFolders(const std::string& path) {
    std::vector<TFolderItem> items;
    if (ListFolderItems(path, items)) return false;
    for (const TFolderItem& item : items) {
        if (item.type != TDiskEntryType::Folder) return false;
        if (!HoldsOnlyFolders(Below(path, item.name))) return false;
    }
    return true;
}

// Adds the files below `folder` (with `recurse`, in its subfolders too, never through a link)
// whose names are those of temporary files to `found`. Stops at a folder that cannot be listed.
bool FindTemporaryFiles(const std::string& folder, bool recurse, std::vector<std::string>& found) {
    std::vector<TFolderItem> items;
    if (ListFolderItems(folder, items)) return false;
    for (const TFolderItem& item : items) {
        const std::string path = Below(folder, item.name);
        if (item.type == TDiskEntryType::File && IsTemporaryName(item.name)) {
            found.push_back(path);
        } else if (item.type == TDiskEntryType::Folder && recurse &&
                   !FindTemporaryFiles(path, recurse, found)) {
            return false;
        }
    }
    return true;
}

// A name (separators already the platform's) with nothing but empty and "." parts.
bool NamesFolderItself(const std::string& name) {
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of(kSeparators, start);
        if (end == std::string::npos) end = name.size();
        const size_t length = end - start;
        if (length > 1 || (length == 1 && name[start] != '.')) return false;
        start = end + 1;
    }
    return true;
}

struct TLessFileName {
    bool operator()(const std::string& a, const std::string& b) const {
        return FileNamesIgnoreCase() ? LowerAscii(a) < LowerAscii(b) : a < b;
    }
};

// The server's part of the cache path (host, port and path of its URL) with "." and ".."
// resolved as the URL's own path is: a ".." never climbs above the host, so the folder stays
// below the cache root. A host that is itself "." or ".." becomes "_".
std::string CacheSubfolder(const std::string& rest) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find_first_of("/\\", start);
        if (end == std::string::npos) end = rest.size();
        std::string part = rest.substr(start, end - start);
        if (parts.empty()) {
            parts.push_back(part == "." || part == ".." ? "_" : part);
        } else if (part == "..") {
            if (parts.size() > 1) parts.pop_back();
        } else if (part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string folder;
    for (const auto& part : parts) {
        if (!folder.empty()) folder += kPathSeparator;
        folder += part;
    }
    return folder;
}

}  // namespace

TOmbrel::TOmbrel(IOptionsPtr Options, IOInterfacePtr IO, IMessagesPtr Messages,
                 IApiClientPtr ApiClient)
    : Messages(Messages),
      Sender("TOmbrel"),
      junk("Ombrel", Messages),
      apiClient(std::move(ApiClient)),
      iOptions(std::move(Options)),
      IO(std::move(IO)) {}

TOmbrel::~TOmbrel() = default;

std::string TOmbrel::ErrorText() const {
    std::string text;
    for (const auto& e : errors) text += e + "\r\n";
    return text;
}

void TOmbrel::AddError(const std::string& msg) {
    errors.push_back(msg);
    Messages->Error(msg, Sender);
}
void TOmbrel::Warning(const std::string& msg) { Messages->Warning(msg, Sender); }
void TOmbrel::Log(const std::string& msg) { Messages->Log(msg, Sender); }
void TOmbrel::DebugLog(const std::string& msg) { Messages->Debug(msg, Sender); }

// ---------------------------------------------------------------------------------------------
// Checks and choice of run

void TOmbrel::Execute() {
    iReport = TRunReport();
    // Asked in this order; the asking stops at the first credential that is not blank.
    if (IsBlank(iOptions->ApiKey()) && IsBlank(iOptions->UserAuth()) &&
        IsBlank(iOptions->CustomerAuth())) {
        AddError("Authentifizierung leer");
        return;
    }
    if (iOptions->AppName().empty() && iOptions->PackageName().empty()) {
        AddError("Projekt oder Package ist leer");
        return;
    }
    if (iOptions->Info()) {
        ExecuteInfo();
        return;
    }
    // The application name names the state files in the installation folder.
    if (!iOptions->AppName().empty() && !IsPlainFileName(iOptions->AppName())) {
        AddError(fmt::sprintf("application name %s cannot be used: it is no plain file name",
                              iOptions->AppName()));
        return;
    }
    const std::string destination = iOptions->Destination();
    if (IsBlank(destination)) {
        AddError("Zielpfad ist leer");
        return;
    }
    if (!IO->DirectoryExists(destination) && !IO->ForceDirectory(destination)) {
        AddError("Zielpfad kann nicht benutzt werden");
        return;
    }
    if (const std::string reason = UnsafeFolderReason(destination); !reason.empty()) {
        AddError(fmt::sprintf("Zielpfad kann nicht benutzt werden: installation folder %s: %s",
                              destination, reason));
        return;
    }
    // Below these two folders nothing is reached through a link, whatever is swapped meanwhile.
    IO->OwnFolder(destination);
    IO->OwnFolder(PackageCacheRoot());

    // Held until Execute returns, also when an exception leaves it.
    std::unique_ptr<TFileLock> lock;
    std::string lockError;
    const std::string lockFile =
        PathJoin(destination, fmt::sprintf("%s.ombrel.lock", iOptions->AppName()));
    switch (TFileLock::Acquire(lockFile, lock, lockError)) {
        case TFileLock::TResult::Locked: break;
        case TFileLock::TResult::Busy:
            AddError(fmt::sprintf("installation folder %s is in use by another run", destination));
            return;
        case TFileLock::TResult::Failed:
            // A folder where no lock file can be made (read-only, or without file locks) is
            // still served; the run fails later only where it must write.
            Warning(fmt::sprintf("could not lock installation folder %s: %s", destination,
                                 lockError));
            break;
    }

    if (!iOptions->PackageName().empty()) {
        ExecutePackage();
    } else if (std::string fault = ManifestValueFault(iOptions->AppName()); !fault.empty()) {
        // The application name is recorded in the manifest and must read back the same.
        AddError(fmt::sprintf("application name \"%s\" cannot be recorded in the manifest: %s",
                              iOptions->AppName(), fault));
    } else {
        ExecuteApplication();
    }
    ReleaseLock(lock);
}

void TOmbrel::ReleaseLock(std::unique_ptr<TFileLock>& lock) {
    // A lock file left behind locks nothing, but it is not the folder one run leaves.
    std::string error;
    if (lock && !lock->RemoveFile(error)) {
        AddError(fmt::sprintf("could not remove lock file %s: %s", lock->Path(), error));
    }
    lock.reset();
}

void TOmbrel::ExecuteApplication() {
    Messages->Progress("Start", 0);
    errors.clear();
    junk.getBucket(kExecute).Clear();
    RemoveStaleTemporaryFiles();

    TOmbrelFile* manifest = nullptr;
    std::string damage;
    if (auto loaded = LoadOmbrelFile(damage)) {
        manifest = loaded.get();
        junk.getBucket(kExecute).Add(std::move(loaded));
    }
    // A manifest that exists but cannot be used never turns the run into a fresh installation
    // over the installed files: only a repair run installs the application again.
    const bool reinstall = !damage.empty();
    if (reinstall && !iOptions->Repair()) {
        AddError(fmt::sprintf("ombrel file %s is damaged (%s); a repair run (--repair) installs "
                              "the application again",
                              OmbrelFileName(), damage));
    } else if (reinstall) {
        Warning(fmt::sprintf("ombrel file %s is damaged (%s)... installing the application again",
                             OmbrelFileName(), damage));
    }
    TProgress* plan = nullptr;
    if (!reinstall || iOptions->Repair()) plan = GetProgress(manifest, reinstall);
    if (plan != nullptr) {
        if (manifest == nullptr) {
            auto created = std::make_unique<TOmbrelFile>(IO);
            created->AppName = iOptions->AppName();
            manifest = created.get();
            junk.getBucket(kExecute).Add(std::move(created));
        }
        // The progress file goes only once the manifest holds the whole result.
        if (ExecuteProgress(*manifest, *plan) && StoreOmbrelFile(*manifest)) RemoveProgressFile();
    }
    junk.getBucket(kExecute).Clear();
    Messages->Progress("Finished", 100);
}

// ---------------------------------------------------------------------------------------------
// Mode selection

TProgress* TOmbrel::GetProgress(TOmbrelFile* manifest, bool reinstall) {
    // A repair that installs the application again makes a plan of its own.
    std::string damage;
    std::unique_ptr<TProgress> plan = reinstall ? nullptr : LoadProgress(damage);
    if (!damage.empty()) {
        // Continuing a plan that cannot be read, or starting another kind of run over it, would
        // leave the interrupted run's work half done for good.
        if (!iOptions->Repair()) {
            AddError(fmt::sprintf("progress file %s is damaged (%s); a repair run (--repair) "
                                  "repairs the installation",
                                  ProgressFileName(), damage));
            return nullptr;
        }
        Warning(fmt::sprintf("progress file %s is damaged (%s)... discarded", ProgressFileName(),
                             damage));
        // Without a manifest the interrupted run was a first installation: it starts again.
        reinstall = manifest == nullptr;
    }
    const std::string version = iOptions->Version();
    if (plan && !version.empty() && plan->Version != version) {
        Log("progress doesn't fit. ...discarded");
        plan.reset();
    }
    if (plan) {
        Log("mode: continue");
        iReport.Mode = "continue";
        TProgress* raw = plan.get();
        junk.getBucket(kExecute).Add(std::move(plan));
        return raw;
    }

    std::string response;
    apiClient->ClearErrors();
    const std::string appName = iOptions->AppName();
    const std::string apiUrl = iOptions->ApiUrl();
    const std::string requesting = fmt::sprintf("requesting version informations from %s ...", apiUrl);
    bool latest = false;  // the answer is the highest release on the channel

    if (iOptions->Repair() && !reinstall) {
        Log("mode: repair");
        iReport.Mode = "repair";
        if (!version.empty()) Warning("version found for mode repair... ignored");
        if (manifest == nullptr) {
            AddError("no ombrelfile for mode repair");
        } else {
            Log(fmt::sprintf("version: %s", manifest->Version));
            Log("generating hashlist ...");
            // Only files inside the installation folder are hashed, whatever the manifest
            // lists.
            TStrings files;
            for (const auto& file : manifest->Files()) {
                if (LeavesFolder(NormalizeSeparators(file))) {
                    Warning(fmt::sprintf("recorded file %s is outside the installation "
                                         "folder... ignored",
                                         file));
                } else {
                    files.push_back(file);
                }
            }
            THashList hashes;
            if (HashFiles(iOptions->Destination(), files, hashes)) {
                Log("done");
                Log(requesting);
                if (apiClient->GetRepairInfoForVersion(appName, manifest->Version, hashes,
                                                       response)) {
                    Log("done");
                }
            }
        }
    } else if (manifest != nullptr && version.empty()) {
        Log("mode: update");
        iReport.Mode = "update";
        Log(requesting);
        latest = true;
        if (apiClient->GetUpdateInfoForVersion(appName, manifest->Version, response)) {
            Log("done");
            const std::string channel = iOptions->UpdateChannel();
            if (!channel.empty()) {
                TProgress probe(IO, Messages);
                if (probe.SetApiVersionResponse(response) && probe.NothingTodo()) {
                    Log(fmt::sprintf("forcing version %s for update-channel option %s",
                                     manifest->Version, channel));
                    Log(requesting);
                    latest = false;
                    if (apiClient->GetVersionInfoForVersion(appName, manifest->Version, *manifest,
                                                            response)) {
                        Log("done");
                    }
                }
            }
        }
    } else if (manifest != nullptr) {
        Log(fmt::sprintf("mode: force version %s", version));
        iReport.Mode = "force";
        Log(requesting);
        if (apiClient->GetVersionInfoForVersion(appName, version, *manifest, response)) {
            Log("done");
        }
    } else if (version.empty()) {
        Log("mode: install");
        iReport.Mode = "install";
        Log("version: highest");
        Log(requesting);
        latest = true;
        if (apiClient->GetInstallInfoForLatest(appName, response)) Log("done");
    } else {
        Log("mode: install");
        iReport.Mode = "install";
        Log(fmt::sprintf("version: %s", version));
        Log(requesting);
        if (apiClient->GetInstallInfoForVersion(appName, version, response)) Log("done");
    }

    if (apiClient->IsError()) return nullptr;
    // Repair without a manifest asked nothing; its empty response makes no plan below.
    plan = std::make_unique<TProgress>(IO, Messages);
    if (!plan->SetApiVersionResponse(response)) {
        // An empty answer or null converts to no plan without a word; a run that asked the
        // server must not end as if there were nothing to do.
        const std::string content = Trim(response);
        if (!HasErrors() && (content.empty() || content == "null")) {
            AddError("the update server's answer holds no version information");
        }
        return nullptr;
    }
    // Saved, such a plan would stop every later run (and be recorded in the manifest).
    if (const std::string unusable = PlanDamage(*plan); !unusable.empty()) {
        AddError(fmt::sprintf("the server's answer cannot be carried out (%s)", unusable));
        return nullptr;
    }
    if (!CheckReleaseSignature(response, *plan, latest)) return nullptr;
    if (iOptions->DependenciesOnly()) {
        Log("dependencies only");
        plan->RemovePackage(appName);
    }
    StoreProgress(*plan);
    TProgress* raw = plan.get();
    junk.getBucket(kExecute).Add(std::move(plan));
    return raw;
}

bool TOmbrel::ExecuteProgress(TOmbrelFile& manifest, TProgress& plan) {
    manifest.Version = plan.Version;
    iReport.Version = plan.Version;
    iReport.NothingToDo = plan.NothingTodo();
    if (plan.NothingTodo()) {
        Log("all fine");
        return true;
    }
    // A package that is not in the cache, complete and unpacked, ends the run here, before the
    // installation folder changes; the progress file stays for the next run.
    if (!ForceTempPath() || !DownloadPackages(plan) || HasErrors()) return false;
    if (plan.HasToDoIO() && iOnInterceptBeforePackageCopy && iOnInterceptBeforePackageCopy()) {
        return false;
    }
    TCopyBuffers* copyPlan = nullptr;
    if (!PrepareCopy(plan, copyPlan)) return false;
    if (!CanRecordFiles(*copyPlan)) return false;
    if (!TestForOpenHandles(*copyPlan)) return false;
    // Obsolete packages leave the manifest in memory first, so that the manifest stored after
    // the obsolete files are gone is without them too.
    RemoveDoomedPackages(plan, manifest);
    const bool doomedRemoved = RemoveDoomedFiles(iOptions->Destination(), plan, manifest);
    // A state that could not be recorded ends the run before anything else changes.
    if (HasErrors()) return false;
    if (!doomedRemoved) Warning("could not remove all doomed files");
    // Files that could not be deleted stay in the progress file, so the run is not complete
    // and the next one tries again.
    return CopyPackages(*copyPlan, plan, &manifest) && doomedRemoved;
}

bool TOmbrel::ExecutePackage() {
    const std::string packageName = iOptions->PackageName();
    const std::string version = iOptions->Version();
    iReport.Mode = "package";
    Log(fmt::sprintf("requesting package information from %s for %s %s...", iOptions->ApiUrl(),
                     packageName, version));
    std::string response;
    if (apiClient->GetInfoForPackage(packageName, version, response)) Log("done");
    if (apiClient->IsError()) return false;

    auto owned = std::make_unique<TProgress>(IO, Messages);
    TProgress& plan = *owned;
    junk.getBucket(kExecutePackage).Add(std::move(owned));
    if (!plan.SetApiPackageResponse(response, iOptions->PackageMode())) return false;
    if (!plan.Packages().empty()) iReport.Version = plan.Packages().front()->Version;

    if (!ForceTempPath() || !DownloadPackages(plan) || HasErrors()) return false;

    TCopyBuffers* copyPlan = nullptr;
    if (!PrepareCopy(plan, copyPlan)) return false;
    if (!TestForOpenHandles(*copyPlan)) return false;
    const bool result = CopyPackages(*copyPlan, plan, nullptr);
    RemoveProgressFile();
    return result;
}

bool TOmbrel::ExecuteInfo() {
    const std::string packageName = iOptions->PackageName();
    iReport.Mode = "info";
    Log(fmt::sprintf("requesting package information from %s for %s ...", iOptions->ApiUrl(),
                     packageName));
    std::string response;
    if (!apiClient->GetInfoForPackage(packageName, response)) return false;

    std::vector<json::TPackage> packages;
    std::string failure;
    bool result;
    try {
        result = json::ReadPackageArray(response, packages, failure);
    } catch (const std::exception& e) {
        result = false;
        failure = e.what();
    }
    if (!result) {
        AddError(fmt::sprintf("bad package information data for %s: %s", packageName, failure));
    }
    for (const auto& package : packages) {
        Log(fmt::sprintf("%s %s", package.Name, package.Version));
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// Paths and state files

std::string TOmbrel::OmbrelFileName() {
    return PathJoin(iOptions->Destination(), fmt::sprintf("%s.ombrel", iOptions->AppName()));
}

std::string TOmbrel::ProgressFileName() {
    return PathJoin(iOptions->Destination(),
                    fmt::sprintf("%s.ombrel.progress", iOptions->AppName()));
}

std::string TOmbrel::TempPath() {
    const std::string root = PackageCacheRoot();
    const std::string apiUrl = iOptions->ApiUrl();
    if (apiUrl == build::kDefaultServer) return root;
    std::string rest = apiUrl;
    if (size_t scheme = rest.find("://"); scheme != std::string::npos) {
        rest = rest.substr(scheme + 3);
    }
    for (char& c : rest) {
        if (HasInvalidPathChars(std::string_view(&c, 1))) c = '_';
    }
    return root + kPathSeparator + CacheSubfolder(ServerFolderName(rest));
}

bool TOmbrel::ForceTempPath() {
    const std::string path = TempPath();
    if (IO->DirectoryExists(path)) {
        DebugLog(fmt::sprintf("temp path: %s", path));
    } else {
        DebugLog(fmt::sprintf("creating temp path: %s ...", path));
        if (IO->ForceDirectory(path)) DebugLog("done");
    }
    // Every folder from the cache's root down to this server's folder must be the user's own:
    // whoever else may change one of them could plant or swap the packages that get installed.
    const std::string root = PackageCacheRoot();
    std::vector<std::string> folders = {path};
    for (std::string folder = path; folder.size() > root.size() && folder.rfind(root, 0) == 0;) {
        folder = ExtractFileDir(folder);
        folders.push_back(folder);
    }
    for (const auto& folder : folders) {
        if (!IO->DirectoryExists(folder)) continue;
        if (const std::string reason = UnsafeFolderReason(folder); !reason.empty()) {
            AddError(fmt::sprintf("package cache %s cannot be used: %s", folder, reason));
            return false;
        }
    }
    return true;
}

std::unique_ptr<TOmbrelFile> TOmbrel::LoadOmbrelFile(std::string& damage) {
    damage.clear();
    const std::string path = OmbrelFileName();
    if (!IO->FileExists(path)) return nullptr;
    DebugLog(fmt::sprintf("ombrelfile %s found", path));
    auto manifest = std::make_unique<TOmbrelFile>(IO);
    if (!manifest->Load(path)) {
        damage = "it cannot be read";
        return nullptr;
    }
    damage = ManifestDamage(*manifest);
    if (!damage.empty()) return nullptr;
    DebugLog("ombrelfile loaded");
    return manifest;
}

bool TOmbrel::StoreOmbrelFile(TOmbrelFile& manifest) {
    const std::string path = OmbrelFileName();
    const bool stored = manifest.Store(path);
    // The manifest is the only record of what is installed: a run that cannot store it is not
    // complete, and keeps its progress file for the next run.
    if (!stored) AddError(fmt::sprintf("could not store ombrel file %s", path));
    return stored;
}

bool TOmbrel::RecordState(TProgress& plan, TOmbrelFile* manifest) {
    // The files the records describe reach the disk before the records do.
    if (!IO->FlushToDisk(iOptions->Destination())) {
        AddError(fmt::sprintf("could not flush the installation folder %s to disk",
                              iOptions->Destination()));
        return false;
    }
    if (manifest != nullptr && !StoreOmbrelFile(*manifest)) return false;
    return StoreProgress(plan);
}

void TOmbrel::RemoveStaleTemporaryFiles() {
    // Only a killed run leaves temporary files. The state files are written at the top level
    // only; the files of packages below it, and those only while a progress file exists.
    const std::string destination = iOptions->Destination();
    const bool everywhere = IO->FileExists(ProgressFileName());
    std::vector<std::string> stale;
    // Links are never followed: neither into linked folders nor to their targets.
    FindTemporaryFiles(destination, everywhere, stale);
    for (const auto& path : stale) {
        DebugLog(fmt::sprintf("removing %s, left by an interrupted run", path));
        IO->FileDelete(path);
    }
}

std::unique_ptr<TProgress> TOmbrel::LoadProgress(std::string& damage) {
    damage.clear();
    const std::string path = ProgressFileName();
    if (!IO->FileExists(path)) return nullptr;
    Log(fmt::sprintf("progressfile %s found", path));
    TStrings lines;
    if (!IO->GetLines(path, lines)) {
        damage = "it cannot be read";
        return nullptr;
    }
    if (std::all_of(lines.begin(), lines.end(), [](const std::string& l) { return IsBlank(l); })) {
        damage = "it is empty";
        return nullptr;
    }
    // What the plan finds wrong with the file becomes part of the damage: a repair run that
    // discards the file reports no error for it.
    auto captured = std::make_shared<TErrorCapture>(Messages);
    auto plan = std::make_unique<TProgress>(IO, captured);
    if (!plan->LoadFromFile(path)) {
        damage = captured->text.empty() ? "it holds no plan" : "it holds no plan: " + captured->text;
        return nullptr;
    }
    damage = PlanDamage(*plan);
    if (!damage.empty()) return nullptr;
    DebugLog("progressfile loaded");
    return plan;
}

bool TOmbrel::StoreProgress(TProgress& plan) {
    if (plan.SaveToFile(ProgressFileName())) return true;
    AddError("can't store progress");
    return false;
}

// ---------------------------------------------------------------------------------------------
// Download and extraction

bool TOmbrel::DownloadPackages(TProgress& plan) {
    if (plan.Packages().empty()) return true;
    const std::string temp = TempPath();
    // Runs against the same server share the cache: one at a time fills it, so that no run
    // renames another's half-written download or unpacked folder into place. Without a lock
    // (a cache that cannot be written), whatever is cached already can still be used.
    std::unique_ptr<TFileLock> cacheLock;
    std::string lockError;
    const std::string lockFile = PathJoin(temp, ".ombrel.lock");
    if (TFileLock::Acquire(lockFile, cacheLock, lockError) == TFileLock::TResult::Busy) {
        Log(fmt::sprintf("package cache %s is in use by another run, waiting ...", temp));
        TFileLock::Acquire(lockFile, cacheLock, lockError, true);
    }
    // While the lock is held no other run is writing here: what a killed run left half done
    // (unpackings under ".part", temporary files) can go. A cut download (a ".part" file) stays:
    // the download continues from it, and checks the joined file before it is used.
    if (cacheLock) {
        std::vector<TFolderItem> items;
        ListFolderItems(temp, items);
        for (const TFolderItem& item : items) {
            const std::string& entry = item.name;
            const bool part = entry.size() > 5 && entry.compare(entry.size() - 5, 5, ".part") == 0;
            if ((part && item.type != TDiskEntryType::File) || IsTemporaryName(entry)) {
                const std::string path = Below(temp, entry);
                DebugLog(fmt::sprintf("removing %s, left by an interrupted run", path));
                RemovePartial(path);
            }
        }
    }
    const bool ok = DownloadEach(plan, temp);
    ReleaseLock(cacheLock);
    return ok;
}

bool TOmbrel::DownloadEach(TProgress& plan, const std::string& temp) {
    if (CanWorkSideBySide(plan)) {
        std::vector<TWorkerServices> workers;
        for (size_t i = 0; i < kPackageWorkers; ++i) {
            TWorkerServices worker{std::make_shared<TSwitchedMessages>(), nullptr, nullptr};
            worker.io = IO->ForThread(worker.sink);
            worker.api = apiClient->ForThread(worker.sink);
            if (!worker.io || !worker.api) break;
            workers.push_back(std::move(worker));
        }
        if (workers.size() == kPackageWorkers) return DownloadOnWorkers(plan, temp, workers);
    }
    // One package after the other, all on this thread.
    TLane lane{*IO, *apiClient, *Messages, [this](const std::string& msg) { AddError(msg); },
               iOnDownloadProgress, nullptr};
    for (const auto& package : plan.Packages()) {
        const bool fetched = FetchPackage(*package, temp, lane);
        iReport.PackagesDownloaded += lane.packages;
        iReport.BytesDownloaded += lane.bytes;
        lane.packages = 0;
        lane.bytes = 0;
        if (!fetched || !UnpackPackage(*package, temp, lane)) return false;
    }
    return true;
}

bool TOmbrel::CanWorkSideBySide(TProgress& plan) {
    if (plan.Packages().size() < 2) return false;
    // Two packages sharing a cache name would meet in the same file or folder.
    std::set<std::string> names;
    for (const auto& package : plan.Packages()) {
        const std::string name = GetPackageFileName(*package);
        if (!names.insert(name).second || !names.insert(GetPackageFolderName(*package)).second) {
            return false;
        }
    }
    return true;
}

// Each worker takes the next package not yet taken, downloads it and unpacks it, reporting into
// that package's queue; the largest packages (as far as the plan knows their sizes) are taken
// first, so that the workers end at about the same time. The run's thread passes the queues on
// in plan order, each as it fills: a package's reports reach the sink only after those of every
// package before it, so the sink sees the reports of a run that works one package after the
// other. After a failure no package behind it in the plan is started and nothing behind it is
// passed on: the run ends as that run would, except that later packages already under way may
// complete in the cache, where a later run finds them.
bool TOmbrel::DownloadOnWorkers(TProgress& plan, const std::string& temp,
                                std::vector<TWorkerServices>& workers) {
    struct TSlot {
        TReportQueue queue;
        bool done = false;
        int packages = 0;
        int64_t bytes = 0;
        std::exception_ptr failure;
    };
    const auto& packages = plan.Packages();
    const size_t n = packages.size();
    std::vector<std::unique_ptr<TSlot>> slots;
    for (size_t i = 0; i < n; ++i) slots.push_back(std::make_unique<TSlot>());
    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&packages](size_t a, size_t b) {
        return packages[a]->Size.value_or(0) > packages[b]->Size.value_or(0);
    });

    std::mutex mutex;
    size_t next = 0;             // in `order`: the next package to take
    std::atomic<size_t> failedAt{n};  // the first package in plan order that failed
    std::atomic<bool> stop{false};    // the run's thread has left
    const auto work = [&](TWorkerServices& services) {
        for (;;) {
            size_t i = 0;
            {
                std::lock_guard lock(mutex);
                while (!stop && next < n && order[next] > failedAt) ++next;
                if (stop || next == n) break;
                i = order[next++];
            }
            TSlot& slot = *slots[i];
            services.sink->Set(&slot.queue);
            TLane lane{*services.io, *services.api, slot.queue,
                       [&slot, this](const std::string& msg) { slot.queue.KeepError(msg, Sender); },
                       [&slot](const std::string& name, int64_t received, int64_t total) {
                           slot.queue.Received(name, received, total);
                       },
                       [&failedAt, &stop, i] { return stop || failedAt < i; }};
            try {
                slot.done = FetchPackage(*packages[i], temp, lane) &&
                            UnpackPackage(*packages[i], temp, lane);
            } catch (const TAbandoned&) {
                // Never passed on: a package before it failed.
            } catch (...) {
                slot.failure = std::current_exception();
            }
            slot.packages = lane.packages;
            slot.bytes = lane.bytes;
            if (!slot.done) {
                std::lock_guard lock(mutex);
                if (i < failedAt) failedAt = i;
            }
            services.sink->Set(nullptr);
            slot.queue.Close();
        }
    };
    // Ends the workers whichever way this function is left.
    struct TJoin {
        std::atomic<bool>& stop;
        std::vector<std::thread> threads;
        ~TJoin() {
            stop = true;
            for (auto& thread : threads) thread.join();
        }
    } join{stop, {}};
    for (auto& services : workers) join.threads.emplace_back(work, std::ref(services));

    const auto deliver = [this](const TReportQueue::TEntry& entry) { Deliver(entry); };
    for (size_t i = 0; i < n; ++i) {
        TSlot& slot = *slots[i];
        slot.queue.Pump(deliver);
        if (slot.failure) std::rethrow_exception(slot.failure);
        iReport.PackagesDownloaded += slot.packages;
        iReport.BytesDownloaded += slot.bytes;
        if (!slot.done) return false;
    }
    return true;
}

void TOmbrel::Deliver(const TReportQueue::TEntry& entry) {
    using TKind = TReportQueue::TKind;
    switch (entry.kind) {
        case TKind::Error: Messages->Error(entry.text, entry.sender); break;
        case TKind::KeptError: AddError(entry.text); break;
        case TKind::Warning: Messages->Warning(entry.text, entry.sender); break;
        case TKind::Log: Messages->Log(entry.text, entry.sender); break;
        case TKind::Debug: Messages->Debug(entry.text, entry.sender); break;
        case TKind::Progress: Messages->Progress(entry.text, static_cast<int32_t>(entry.a)); break;
        case TKind::Received:
            if (iOnDownloadProgress) iOnDownloadProgress(entry.text, entry.a, entry.b);
            break;
    }
}

bool TOmbrel::FetchPackage(const TPackage& package, const std::string& temp, TLane& lane) {
    const std::string name = GetPackageFileName(package);
    const std::string ext = ExtractFileExt(name);
    const bool archive = ext == ".zip";
    const std::string folderName = GetPackageFolderName(package);
    // Name and version come from the server: the names made from them must stay single
    // entries of the cache folder.
    if (!IsPlainFileName(name) || (archive && !IsPlainFileName(folderName))) {
        lane.keepError(fmt::sprintf("package %s %s cannot be stored in the package cache: "
                                    "its name would leave the cache folder",
                                    package.Name, package.Version));
        return false;
    }
    const std::string file = PathJoin(temp, name);
    // A cached file is used only when it is what the plan names; one that is not (and the
    // folder unpacked from it) is replaced.
    std::string why;
    if (lane.io.FileExists(file) && !MatchesPackage(package, file, why)) {
        lane.reports.Warning(fmt::sprintf("cached package %s does not match (%s): downloading "
                                          "it again",
                                          file, why),
                             Sender);
        lane.io.RemoveTree(file);
        if (archive) lane.io.RemoveTree(PathJoin(temp, folderName));
    }
    if (!lane.io.FileExists(file)) {
        if (!DownloadPackage(package, name, file, lane)) return false;
    }
    return true;
}

bool TOmbrel::UnpackPackage(const TPackage& package, const std::string& temp, TLane& lane) {
    const std::string name = GetPackageFileName(package);
    if (ExtractFileExt(name) != ".zip") return true;
    // An unpacked folder is used only when it is complete and matches its archive; a repair
    // also checks the contents of the packages it installs again.
    const std::string file = PathJoin(temp, name);
    const std::string folder = PathJoin(temp, GetPackageFolderName(package));
    TDiskEntry entry;
    const bool present =
        !StatDiskEntry(folder, entry) && entry.type != TDiskEntryType::Missing;
    if (present && lane.io.CheckUnpackedFolder(file, folder, iOptions->Repair())) return true;
    // A single file is installed as it is; the name alone does not make it an archive, and one
    // that is none needs no folder.
    if (!IsArchivePackage(package) && !IsZipArchive(file)) {
        lane.reports.Log(fmt::sprintf("%s is no zip archive, it is not unpacked", file), Sender);
        return true;
    }
    if (present) {
        lane.reports.Log(fmt::sprintf("unpacking %s again", folder), Sender);
        lane.io.RemoveTree(folder);
    }
    return ExtractPackage(file, folder, IsArchivePackage(package), lane);
}

bool TOmbrel::DownloadPackage(const TPackage& package, const std::string& fileName,
                              const std::string& target, TLane& lane) {
    const std::string caption = "download " + fileName;
    lane.reports.Progress(caption, 0);
    lane.reports.Log(fmt::sprintf("download %s", fileName), Sender);
    // Written under a temporary name and renamed when complete and checked, so that an
    // interrupted download never carries the name that later runs take as a finished package.
    // A cut download keeps its part (and the server's ETag beside it) for the next run, but only
    // when the package's digest is known: a joined file is always checked before it is used.
    const std::string part = target + ".part";
    // Percent of the bytes between the reports at 0 and 100, at most ten a second.
    auto lastReport = std::chrono::steady_clock::now();
    int32_t lastPercent = 0;
    lane.api.SetDownloadProgress([&](int64_t received, int64_t total) {
        if (lane.abandoned && lane.abandoned()) throw TAbandoned();
        if (lane.onProgress) lane.onProgress(fileName, received, total);
        if (total <= 0) return;
        const auto percent = static_cast<int32_t>(std::clamp<int64_t>(received * 100 / total, 0, 99));
        const auto now = std::chrono::steady_clock::now();
        if (percent == lastPercent || now - lastReport < std::chrono::milliseconds(100)) return;
        lastReport = now;
        lastPercent = percent;
        lane.reports.Progress(caption, percent);
    });
    struct TUnhook {
        IApiClient& client;
        ~TUnhook() { client.SetDownloadProgress(nullptr); }
    } unhook{lane.api};
    const std::string tagFile = part + ".etag";
    const bool checkable = !package.Sha256.empty();
    TPackageDownload download;
    download.packageId = package.Id;
    download.mode = package.PackageMode;
    download.path = part;
    download.root = PackageCacheRoot();
    download.maxSize = package.Size;
    download.computeSha256 = checkable;

    TDiskEntry entry;
    const uint64_t have =
        !StatDiskEntry(part, entry) && entry.type == TDiskEntryType::File ? entry.size : 0;
    std::string why;
    bool ok = false;
    bool done = false;
    if (checkable && have > 0 && package.Size && have >= *package.Size) {
        // Complete but not renamed when the last run ended: no need to ask again.
        done = ok = MatchesPackage(package, part, why);
    } else if (checkable && have > 0) {
        TStrings lines;
        std::string etag;
        if (lane.io.FileExists(tagFile) && lane.io.GetLines(tagFile, lines) && lines.size() == 1) {
            etag = lines[0];
        }
        // ombrel-server's ETag is the quoted digest; another host answers 200 to it and the
        // download starts over.
        download.ifRange = etag.empty() ? "\"" + package.Sha256 + "\"" : etag;
        download.resumeFrom = have;
        lane.reports.Log(fmt::sprintf("resuming %s after %d bytes", fileName, have), Sender);
    }
    if (!done) {
        ok = lane.api.DownloadPackageToFile(download);
        if (ok) {
            ++lane.packages;
            lane.bytes += static_cast<int64_t>(download.received);
            lane.reports.Log("done", Sender);
            // The digest computed while the file was written saves reading it again.
            ok = download.sha256.empty()
                     ? MatchesPackage(package, part, why)
                     : MatchesDigest(package, download.received, download.sha256, why);
        } else if (download.tooLong) {
            why = fmt::sprintf("size %d expected, more received", *package.Size);
        }
    }
    if (ok) {
        lane.reports.Log(fmt::sprintf("store %s > %s", fileName, target), Sender);
        ok = RenamePath(part, target, lane);
        lane.io.RemoveTree(tagFile);
    } else if (!why.empty()) {
        lane.keepError(fmt::sprintf("package %s %s does not match: %s", package.Name,
                                    package.Version, why));
        lane.io.RemoveTree(part);
        lane.io.RemoveTree(tagFile);
    } else if (checkable && download.cut && download.received > 0) {
        // A weak ETag cannot ask for a range; the digest stands in then.
        const std::string& etag = download.etag;
        if (!etag.empty() && etag.rfind("W/", 0) != 0) {
            lane.io.SetLines(tagFile, {etag});
        } else {
            lane.io.RemoveTree(tagFile);
        }
        lane.reports.Log(fmt::sprintf("download of %s stopped after %d bytes; the next run "
                                      "continues it",
                                      fileName, download.received),
                         Sender);
    } else {
        lane.io.RemoveTree(part);
        lane.io.RemoveTree(tagFile);
    }
    lane.reports.Progress(caption, 100);
    return ok;
}

bool TOmbrel::MatchesPackage(const TPackage& package, const std::string& path, std::string& why) {
    why.clear();
    if (!package.Size && package.Sha256.empty()) return true;
    std::string hex, error;
    uint64_t size = 0;
    if (!Sha256OfFile(path, hex, size, error)) {
        why = error;
        return false;
    }
    return MatchesDigest(package, size, hex, why);
}

bool TOmbrel::MatchesDigest(const TPackage& package, uint64_t size, const std::string& hex,
                            std::string& why) {
    why.clear();
    if (package.Size && size != *package.Size) {
        why = fmt::sprintf("size %d expected, %d received", *package.Size, size);
        return false;
    }
    if (!package.Sha256.empty() && hex != package.Sha256) {
        why = fmt::sprintf("SHA-256 %s expected, %s received", package.Sha256, hex);
        return false;
    }
    return true;
}

bool TOmbrel::CheckReleaseSignature(const std::string& response, TProgress& plan, bool latest) {
    const std::string publicKey = iOptions->ReleasePublicKey();
    if (publicKey.empty()) return true;
    json::TVersionResponse document;
    std::string error;
    json::ReadVersionDocument(response, document, error);
    const std::string release = fmt::sprintf("%s %s", iOptions->AppName(), plan.Version);
    if (document.SignedRelease.empty() || document.ReleaseSignature.empty()) {
        AddError(fmt::sprintf("release %s is not signed", release));
        return false;
    }
    TSignedRelease signedRelease;
    if (!VerifyReleaseText(document.SignedRelease, document.ReleaseSignature, publicKey,
                           signedRelease, error)) {
        AddError(fmt::sprintf("release %s has no valid signature: %s", release, error));
        return false;
    }
    if (signedRelease.Project != iOptions->AppName() || signedRelease.Version != plan.Version) {
        AddError(fmt::sprintf("release %s comes with the signature of %s %s", release,
                              signedRelease.Project, signedRelease.Version));
        return false;
    }
    // A request for the highest release must not be answered with one of another channel.
    const std::string channel =
        iOptions->UpdateChannel().empty() ? "stable" : iOptions->UpdateChannel();
    if (latest && !plan.Packages().empty() && signedRelease.Channel != channel) {
        AddError(fmt::sprintf("release %s is signed for channel %s, not %s", release,
                              signedRelease.Channel, channel));
        return false;
    }
    // Every package must be one the release signs; its size and digest are the signed ones.
    for (auto& package : plan.Packages()) {
        const TSignedPackage* signedPackage = signedRelease.PackageById(package->Id);
        if (signedPackage == nullptr || signedPackage->Name != package->Name ||
            signedPackage->Version != package->Version) {
            AddError(fmt::sprintf("package %s %s (id %d) is not part of the signed release %s",
                                  package->Name, package->Version, package->Id, release));
            return false;
        }
        if ((package->Size && *package->Size != signedPackage->Size) ||
            (!package->Sha256.empty() && package->Sha256 != signedPackage->Sha256)) {
            AddError(fmt::sprintf("package %s %s: size or digest differ from the signed release",
                                  package->Name, package->Version));
            return false;
        }
        package->Size = signedPackage->Size;
        package->Sha256 = signedPackage->Sha256;
    }
    return true;
}

bool TOmbrel::ExtractPackage(const std::string& archive, const std::string& folder,
                             bool dropWhenDamaged, TLane& lane) {
    const std::string caption = "extract " + archive;
    lane.reports.Progress(caption, 0);
    lane.reports.Log(fmt::sprintf("extracting %s to %s", archive, folder), Sender);
    // Unpacked as a whole: a folder under the final name is always complete.
    bool ok = lane.io.ExtractZipFolder(archive, folder);
    if (ok) {
        lane.reports.Log("done", Sender);
    } else if (dropWhenDamaged && lane.io.FileExists(archive)) {
        // A damaged archive would fail the same way in every later run: drop it, so the next
        // run downloads it again.
        lane.reports.Log(fmt::sprintf("removing damaged package %s", archive), Sender);
        lane.io.FileDelete(archive);
    }
    lane.reports.Progress(caption, 100);
    return ok;
}

bool TOmbrel::RenamePath(const std::string& from, const std::string& to, TLane& lane) {
    if (std::error_code ec = lane.io.RenameEntry(from, to)) {
        lane.reports.Error(fmt::sprintf("could not rename %s to %s: %s", from, to, ec.message()),
                           Sender);
        return false;
    }
    return true;
}

bool TOmbrel::IsZipArchive(const std::string& path) {
    TZipReader reader;
    std::string failure;
    return reader.Open(path, failure);
}

void TOmbrel::RemovePartial(const std::string& path) {
    // Links are removed as links, never followed.
    IO->RemoveTree(path);
}

// ---------------------------------------------------------------------------------------------
// Installation and clean-up

bool TOmbrel::PrepareCopy(TProgress& plan, TCopyBuffers*& copyPlan) {
    auto owned = std::make_unique<TCopyBuffers>(IO, Messages);
    copyPlan = owned.get();
    junk.getBucket(kExecute).Add(std::move(owned));
    if (plan.Packages().empty()) return true;
    Log("prepare copy ...");
    if (!copyPlan->Load(plan.Packages(), TempPath(), iOptions->Destination())) return false;
    // The engine's own files are never replaced by a package's.
    for (const auto& buffer : *copyPlan) {
        for (const auto& file : buffer->Files) {
            const std::string& name = file.PackageFile;
            if (IsReservedName(name)) {
                AddError(fmt::sprintf("package %s %s installs %s, a name the engine keeps for "
                                      "its own files",
                                      buffer->Package->Name, buffer->Package->Version, name));
                return false;
            }
        }
    }
    return true;
}

bool TOmbrel::IsReservedName(const std::string& name) {
    const std::string normalized = NormalizeSeparators(name);
    size_t start = 0;
    while (start <= normalized.size()) {
        size_t end = normalized.find_first_of(kSeparators, start);
        if (end == std::string::npos) end = normalized.size();
        if (IsTemporaryName(normalized.substr(start, end - start))) return true;
        start = end + 1;
    }
    // The state files and the lock file, whatever the case (some file systems ignore it).
    const std::string lower = LowerAscii(normalized);
    const std::string manifest = LowerAscii(fmt::sprintf("%s.ombrel", iOptions->AppName()));
    for (const std::string& own : {manifest, manifest + ".progress", manifest + ".lock"}) {
        if (lower == own || lower == std::string(".") + kPathSeparator + own) return true;
    }
    return false;
}

bool TOmbrel::CanRecordFiles(TCopyBuffers& copyPlan) {
    for (auto& buffer : copyPlan) {
        for (const auto& file : buffer->Files) {
            const std::string& name = file.PackageFile;
            if (std::string fault = ManifestFileFault(name); !fault.empty()) {
                AddError(fmt::sprintf("file \"%s\" of package %s cannot be recorded in the "
                                      "manifest: %s",
                                      name, buffer->Package->Name, fault));
                return false;
            }
        }
    }
    return true;
}

bool TOmbrel::TestForOpenHandles(TCopyBuffers& copyPlan) {
    if (copyPlan.empty()) return true;
    Log("test for open handles ...");
    const auto deliver = [this](const TReportQueue::TEntry& entry) { Deliver(entry); };
    bool result = true;
    for (auto& buffer : copyPlan) {
        // The second half of the files is tested on another thread; its reports count only
        // when the first half has no blocked file, as when testing one file after the other.
        const size_t n = buffer->Files.size();
        const size_t half = n / 2;
        size_t blocked = n;
        size_t firstHalf = half;
        TReportQueue reports(true);
        if (half > 0 && RunBeside(
                            *IO, [&] { firstHalf = buffer->FirstBlocked(0, half, *IO); },
                            [&](IOInterface& io) { blocked = buffer->FirstBlocked(half, n, io); },
                            reports)) {
            if (firstHalf < half) {
                blocked = firstHalf;
            } else {
                reports.Pump(deliver);
            }
        } else {
            blocked = buffer->FirstBlocked(0, n, *IO);
        }
        if (blocked < n) {
            copyPlan.ReportBlocked(*buffer, blocked);
            result = false;
        }
    }
    return result;
}

bool TOmbrel::HashFiles(const std::string& folder, const TStrings& files, THashList& hashes) {
    const size_t half = files.size() / 2;
    if (half > 0) {
        const TStrings first(files.begin(), files.begin() + static_cast<std::ptrdiff_t>(half));
        const TStrings second(files.begin() + static_cast<std::ptrdiff_t>(half), files.end());
        THashList later;
        bool firstDone = false;
        bool secondDone = false;
        TReportQueue reports(true);
        if (RunBeside(
                *IO, [&] { firstDone = IO->GetFileHashList(folder, first, hashes); },
                [&](IOInterface& io) { secondDone = io.GetFileHashList(folder, second, later); },
                reports)) {
            reports.Pump([this](const TReportQueue::TEntry& entry) { Deliver(entry); });
            hashes.insert(hashes.end(), std::make_move_iterator(later.begin()),
                          std::make_move_iterator(later.end()));
            return firstDone && secondDone;
        }
    }
    return IO->GetFileHashList(folder, files, hashes);
}

bool TOmbrel::RemoveDoomedFiles(const std::string& destination, TProgress& plan,
                                TOmbrelFile& manifest) {
    bool ok = true;
    if (plan.DoomedFiles().empty()) return true;
    Log("remove doomed files ...");
    int count = 0;
    std::vector<std::string> failed;
    // Folder names compare as the file system compares them.
    std::set<std::string, TLessFileName> folders;
    for (const auto& entry : plan.DoomedFiles()) {
        Log(entry);
        const std::string name = NormalizeSeparators(entry);
        // The list comes from the server: nothing outside the installation folder is deleted.
        if (LeavesFolder(name)) {
            Warning(fmt::sprintf("doomed file %s is outside the installation folder... ignored",
                                 entry));
            continue;
        }
        if (IsReservedName(name)) {
            Warning(fmt::sprintf("doomed file %s is one of the engine's own files... ignored",
                                 entry));
            continue;
        }
        // An empty name, or one made of "." parts only, is the installation folder itself,
        // which is never deleted (nor the link that may stand in its place).
        if (NamesFolderItself(name)) {
            Warning(fmt::sprintf("doomed file %s names the installation folder itself... ignored",
                                 entry));
            continue;
        }
        if (size_t sep = name.find_first_of(kSeparators); sep != std::string::npos && sep > 0) {
            std::string folder = name.substr(0, sep);
            if (folder != ".") folders.insert(folder);
        }
        const std::string path = PathJoin(destination, name);
        if (PassesThroughLink(destination, path)) {
            Warning(fmt::sprintf("doomed file %s is outside the installation folder... ignored",
                                 entry));
            continue;
        }
        // A link goes as a link, also one whose target is gone or is a folder; its target stays.
        TDiskEntry onDisk;
        // Only a file that is really not there counts as gone: one that cannot be looked at
        // (the system refused, or failed) is deleted or reported, never dropped unseen.
        const bool unknown = static_cast<bool>(StatDiskEntry(path, onDisk));
        const bool isLink = onDisk.type == TDiskEntryType::Link;
        const bool present =
            onDisk.type == TDiskEntryType::File || onDisk.type == TDiskEntryType::Other;
        if (isLink || unknown || present || IO->FileExists(path)) {
            if (IO->FileDelete(path)) {
                ++count;
                manifest.DeleteFile(name);
            } else {
                ok = false;
                failed.push_back(entry);
            }
        } else {
            Warning(fmt::sprintf("hmm, file %s does not exists?", entry));
            // Gone already (by hand, or by a run that was stopped before it recorded the
            // deletion): it is not installed any more either way.
            manifest.DeleteFile(name);
        }
    }
    Log(fmt::sprintf("%d doomed files removed", count));
    // The folders go before the deletions are recorded: a run stopped in between offers them
    // again, as its plan still names their files.
    for (const auto& folder : folders) {
        const std::string path = PathJoin(destination, folder);
        if (!IO->DirectoryExists(path)) continue;
        std::string failure;
        try {
            if (!IO->DirectoryDeleteIfEmpty(path) && HoldsOnlyFolders(path)) {
                failure = "the system refused to remove it";
            }
        } catch (const std::system_error& e) {
            failure = e.code().message();
        }
        if (failure.empty()) continue;
        // Its entries stay in the plan, so that the next run offers the folder again.
        AddError(fmt::sprintf("could not remove folder %s: %s", path, failure));
        ok = false;
        for (const auto& entry : plan.DoomedFiles()) {
            const std::string name = NormalizeSeparators(entry);
            if (LowerAscii(name.substr(0, name.find_first_of(kSeparators))) == LowerAscii(folder) &&
                std::find(failed.begin(), failed.end(), entry) == failed.end()) {
                failed.push_back(entry);
            }
        }
    }
    plan.DoomedFiles() = std::move(failed);
    if (!RecordState(plan, &manifest)) return false;
    return ok;
}

bool TOmbrel::RemoveDoomedPackages(TProgress& plan, TOmbrelFile& manifest) {
    for (const auto& name : plan.DoomedPackages()) manifest.DeletePackage(name);
    return true;
}

bool TOmbrel::CopyPackages(TCopyBuffers& copyPlan, TProgress& plan, TOmbrelFile* manifest) {
    bool ok = true;
    if (copyPlan.empty()) return true;
    Messages->Progress("copy", 0);
    const size_t n = copyPlan.size();
    size_t i = 0;
    for (auto& buffer : copyPlan) {
        ++i;
        Messages->Progress("copy", CopyPercent(i, n));
        if (!CopyFiles(*buffer)) {
            ok = false;
            break;
        }
        // Recorded at once, each package on its own: a run stopped later continues after it.
        const TPackage* package = buffer->Package;
        if (manifest != nullptr) {
            manifest->AddFiles(buffer->GetPackageFiles());
            manifest->AddOrUpdatePackage(package->Name, package->Version);
        }
        plan.RemoveFromPackages(package);
        buffer->Package = nullptr;
        if (!RecordState(plan, manifest)) {
            ok = false;
            break;
        }
    }
    Messages->Progress("copy", 100);
    return ok;
}

bool TOmbrel::CopyFiles(TCopyBuffer& buffer) {
    // Both cores copy a package of more than one file; the reports come as from one.
    if (buffer.Files.size() > 1) {
        const auto copied = CopyOnWorkers(buffer, *IO, kCopyWorkers,
                                          [this](const TReportQueue::TEntry& entry) {
                                              Deliver(entry);
                                          });
        if (copied) return *copied;
    }
    return buffer.CopyFiles();
}

void TOmbrel::RemoveProgressFile() {
    const std::string path = ProgressFileName();
    if (!IO->FileDelete(path)) AddError(fmt::sprintf("could not remove progress-file %s", path));
}

}  // namespace ombrel
