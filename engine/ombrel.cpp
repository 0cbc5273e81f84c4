#include "engine/ombrel.h"

#include <fmt/printf.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <system_error>

#include "api/json_models.h"
#include "engine/helper_package.h"
#include "io/copy_buffer.h"
#include "io/paths.h"
#include "io/text.h"
#include "ombrel/build_config.h"
#include "platform/file_lock.h"
#include "platform/folders.h"
#include "state/ombrel_file.h"
#include "state/progress.h"

namespace ombrel {

namespace {

const char kExecute[] = "Execute";
const char kExecutePackage[] = "ExecutePackage";

// i * 100 / n rounded to the nearest whole number, a half going to the even neighbour.
int32_t CopyPercent(size_t i, size_t n) {
    size_t q = i * 100 / n;
    size_t r = i * 100 % n;
    if (2 * r > n || (2 * r == n && q % 2 == 1)) ++q;
    return static_cast<int32_t>(q);
}

// An obsolete-file name (separators already "/") that would reach outside the installation
// folder: rooted, in drive form, or climbing with "..".
bool LeavesFolder(const std::string& name) {
    if (IsRootedPath(name)) return true;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0 && end - start == 2) return true;
        start = end + 1;
    }
    return false;
}

struct LessNoCase {
    bool operator()(const std::string& a, const std::string& b) const {
        return LowerAscii(a) < LowerAscii(b);
    }
};

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
    const std::string destination = iOptions->Destination();
    if (IsBlank(destination)) {
        AddError("Zielpfad ist leer");
        return;
    }
    if (!IO->DirectoryExists(destination) && !IO->ForceDirectory(destination)) {
        AddError("Zielpfad kann nicht benutzt werden");
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
        return;
    }
    ExecuteApplication();
}

void TOmbrel::ExecuteApplication() {
    Messages->Progress("Start", 0);
    errors.clear();
    junk.getBucket(kExecute).Clear();

    TOmbrelFile* manifest = nullptr;
    if (auto loaded = LoadOmbrelFile()) {
        manifest = loaded.get();
        junk.getBucket(kExecute).Add(std::move(loaded));
    }
    if (TProgress* plan = GetProgress(manifest)) {
        if (manifest == nullptr) {
            auto created = std::make_unique<TOmbrelFile>(IO);
            created->AppName = iOptions->AppName();
            manifest = created.get();
            junk.getBucket(kExecute).Add(std::move(created));
        }
        if (ExecuteProgress(*manifest, *plan)) {
            StoreOmbrelFile(*manifest);
            RemoveProgressFile();
        }
    }
    junk.getBucket(kExecute).Clear();
    Messages->Progress("Finished", 100);
}

// ---------------------------------------------------------------------------------------------
// Mode selection

TProgress* TOmbrel::GetProgress(TOmbrelFile* manifest) {
    std::unique_ptr<TProgress> plan = LoadProgress();
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

    if (iOptions->Repair()) {
        Log("mode: repair");
        iReport.Mode = "repair";
        if (!version.empty()) Warning("version found for mode repair... ignored");
        if (manifest == nullptr) {
            AddError("no ombrelfile for mode repair");
        } else {
            Log(fmt::sprintf("version: %s", manifest->Version));
            Log("generating hashlist ...");
            THashList hashes;
            if (IO->GetFileHashList(iOptions->Destination(), manifest->Files(), hashes)) {
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
        if (apiClient->GetUpdateInfoForVersion(appName, manifest->Version, response)) {
            Log("done");
            const std::string channel = iOptions->UpdateChannel();
            if (!channel.empty()) {
                TProgress probe(IO, Messages);
                if (probe.SetApiVersionResponse(response) && probe.NothingTodo()) {
                    Log(fmt::sprintf("forcing version %s for update-channel option %s",
                                     manifest->Version, channel));
                    Log(requesting);
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
    if (!plan->SetApiVersionResponse(response)) return nullptr;
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
    ForceTempPath();
    DownloadPackages(plan);
    if (HasErrors()) return false;
    if (plan.HasToDoIO() && iOnInterceptBeforePackageCopy && iOnInterceptBeforePackageCopy()) {
        return false;
    }
    TCopyBuffers* copyPlan = nullptr;
    if (!PrepareCopy(plan, copyPlan)) return false;
    if (!TestForOpenHandles(*copyPlan)) return false;
    if (!RemoveDoomedFiles(iOptions->Destination(), plan, manifest)) {
        Warning("could not remove all doomed files");
    }
    RemoveDoomedPackages(plan, manifest);
    return CopyPackages(*copyPlan, plan, &manifest);
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

    ForceTempPath();
    DownloadPackages(plan);
    if (HasErrors()) return false;

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
    return root + "/" + rest;
}

void TOmbrel::ForceTempPath() {
    const std::string path = TempPath();
    if (IO->DirectoryExists(path)) {
        DebugLog(fmt::sprintf("temp path: %s", path));
        return;
    }
    DebugLog(fmt::sprintf("creating temp path: %s ...", path));
    if (IO->ForceDirectory(path)) DebugLog("done");
}

std::unique_ptr<TOmbrelFile> TOmbrel::LoadOmbrelFile() {
    const std::string path = OmbrelFileName();
    if (!IO->FileExists(path)) return nullptr;
    DebugLog(fmt::sprintf("ombrelfile %s found", path));
    auto manifest = std::make_unique<TOmbrelFile>(IO);
    if (!manifest->Load(path)) return nullptr;
    DebugLog("ombrelfile loaded");
    return manifest;
}

bool TOmbrel::StoreOmbrelFile(TOmbrelFile& manifest) {
    const std::string path = OmbrelFileName();
    const bool stored = manifest.Store(path);
    if (!stored) Warning(fmt::sprintf("could not store ombrel file %s", path));
    return stored;
}

std::unique_ptr<TProgress> TOmbrel::LoadProgress() {
    const std::string path = ProgressFileName();
    if (!IO->FileExists(path)) return nullptr;
    Log(fmt::sprintf("progressfile %s found", path));
    auto plan = std::make_unique<TProgress>(IO, Messages);
    if (!plan->LoadFromFile(path)) return nullptr;
    DebugLog("progressfile loaded");
    return plan;
}

void TOmbrel::StoreProgress(TProgress& plan) {
    if (!plan.SaveToFile(ProgressFileName())) AddError("can't store progress");
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
    for (const auto& package : plan.Packages()) {
        const std::string name = GetPackageFileName(*package);
        const std::string ext = ExtractFileExt(name);
        const bool archive = ext == ".zip";
        const std::string folderName = GetPackageFolderName(*package);
        // Name and version come from the server: the names made from them must stay single
        // entries of the cache folder.
        if (!IsPlainFileName(name) || (archive && !IsPlainFileName(folderName))) {
            AddError(fmt::sprintf("package %s %s cannot be stored in the package cache: "
                                  "its name would leave the cache folder",
                                  package->Name, package->Version));
            return false;
        }
        const std::string file = PathJoin(temp, name);
        if (!IO->FileExists(file)) {
            if (!DownloadPackage(package->Id, name, file, package->PackageMode)) return false;
        }
        if (archive) {
            const std::string folder = PathJoin(temp, folderName);
            if (!IO->DirectoryExists(folder)) {
                if (!ExtractPackage(file, folder)) return false;
            }
        }
    }
    return true;
}

bool TOmbrel::DownloadPackage(int32_t packageId, const std::string& fileName,
                              const std::string& target, TPackageMode packageMode) {
    const std::string caption = "download " + fileName;
    Messages->Progress(caption, 0);
    Log(fmt::sprintf("download %s", fileName));
    // Written under a temporary name and renamed when complete, so that an interrupted
    // download never carries the name that later runs take as a finished package.
    const std::string part = target + ".part";
    // Percent of the bytes between the reports at 0 and 100, at most ten a second.
    auto lastReport = std::chrono::steady_clock::now();
    int32_t lastPercent = 0;
    apiClient->SetDownloadProgress([&](int64_t received, int64_t total) {
        if (iOnDownloadProgress) iOnDownloadProgress(fileName, received, total);
        if (total <= 0) return;
        const auto percent = static_cast<int32_t>(std::clamp<int64_t>(received * 100 / total, 0, 99));
        const auto now = std::chrono::steady_clock::now();
        if (percent == lastPercent || now - lastReport < std::chrono::milliseconds(100)) return;
        lastReport = now;
        lastPercent = percent;
        Messages->Progress(caption, percent);
    });
    struct TUnhook {
        IApiClient& client;
        ~TUnhook() { client.SetDownloadProgress(nullptr); }
    } unhook{*apiClient};
    bool ok = apiClient->DownloadPackageToFile(packageId, packageMode, part);
    if (ok) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(part, ec);
        ++iReport.PackagesDownloaded;
        if (!ec) iReport.BytesDownloaded += static_cast<int64_t>(size);
        Log("done");
        Log(fmt::sprintf("store %s > %s", fileName, target));
        ok = RenamePath(part, target);
    }
    if (!ok) RemovePartial(part);
    Messages->Progress(caption, 100);
    return ok;
}

bool TOmbrel::ExtractPackage(const std::string& archive, const std::string& folder) {
    const std::string caption = "extract " + archive;
    Messages->Progress(caption, 0);
    Log(fmt::sprintf("extracting %s to %s", archive, folder));
    // Unpacked as a whole: a folder under the final name is always complete.
    bool ok = IO->ExtractZipFolder(archive, folder);
    if (ok) {
        Log("done");
    } else if (IO->FileExists(archive)) {
        // A damaged archive would fail the same way in every later run: drop it, so the next
        // run downloads it again.
        Log(fmt::sprintf("removing damaged package %s", archive));
        IO->FileDelete(archive);
    }
    Messages->Progress(caption, 100);
    return ok;
}

bool TOmbrel::RenamePath(const std::string& from, const std::string& to) {
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    if (ec) {
        Messages->Error(fmt::sprintf("could not rename %s to %s: %s", from, to, ec.message()),
                        Sender);
        return false;
    }
    return true;
}

void TOmbrel::RemovePartial(const std::string& path) {
    // remove_all deletes links, never what they point to.
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

// ---------------------------------------------------------------------------------------------
// Installation and clean-up

bool TOmbrel::PrepareCopy(TProgress& plan, TCopyBuffers*& copyPlan) {
    auto owned = std::make_unique<TCopyBuffers>(IO, Messages);
    copyPlan = owned.get();
    junk.getBucket(kExecute).Add(std::move(owned));
    if (plan.Packages().empty()) return true;
    Log("prepare copy ...");
    return copyPlan->Load(plan.Packages(), TempPath(), iOptions->Destination());
}

bool TOmbrel::TestForOpenHandles(TCopyBuffers& copyPlan) {
    if (copyPlan.empty()) return true;
    Log("test for open handles ...");
    return copyPlan.CanFilesBeOverwritten();
}

bool TOmbrel::RemoveDoomedFiles(const std::string& destination, TProgress& plan,
                                TOmbrelFile& manifest) {
    bool ok = true;
    if (plan.DoomedFiles().empty()) return true;
    Log("remove doomed files ...");
    int count = 0;
    std::vector<std::string> failed;
    std::set<std::string, LessNoCase> folders;
    for (const auto& entry : plan.DoomedFiles()) {
        Log(entry);
        const std::string name = NormalizeSeparators(entry);
        // The list comes from the server: nothing outside the installation folder is deleted.
        if (LeavesFolder(name)) {
            Warning(fmt::sprintf("doomed file %s is outside the installation folder... ignored",
                                 entry));
            continue;
        }
        if (size_t sep = name.find('/'); sep != std::string::npos && sep > 0) {
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
        std::error_code linkError;
        const bool isLink = std::filesystem::is_symlink(std::filesystem::symlink_status(path, linkError));
        if (isLink || IO->FileExists(path)) {
            if (IO->FileDelete(path)) {
                ++count;
                manifest.DeleteFile(name);
            } else {
                ok = false;
                failed.push_back(entry);
            }
        } else {
            Warning(fmt::sprintf("hmm, file %s does not exists?", entry));
        }
    }
    Log(fmt::sprintf("%d doomed files removed", count));
    plan.DoomedFiles() = std::move(failed);
    StoreProgress(plan);
    for (const auto& folder : folders) {
        const std::string path = PathJoin(destination, folder);
        if (!IO->DirectoryExists(path)) continue;
        try {
            IO->DirectoryDeleteIfEmpty(path);
        } catch (const std::filesystem::filesystem_error& e) {
            Warning(fmt::sprintf("could not remove folder %s: %s", path, e.code().message()));
        }
    }
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
    std::vector<const TPackage*> done;
    for (auto& buffer : copyPlan) {
        ++i;
        Messages->Progress("copy", CopyPercent(i, n));
        if (!buffer->CopyFiles()) {
            ok = false;
            break;
        }
        done.push_back(buffer->Package);
        if (manifest != nullptr) manifest->AddFiles(buffer->GetPackageFiles());
    }
    if (!done.empty()) {
        for (const TPackage* package : done) {
            if (manifest != nullptr) manifest->AddOrUpdatePackage(package->Name, package->Version);
            plan.RemoveFromPackages(package);
        }
        StoreProgress(plan);
    }
    Messages->Progress("copy", 100);
    return ok;
}

void TOmbrel::RemoveProgressFile() {
    const std::string path = ProgressFileName();
    if (!IO->FileDelete(path)) AddError(fmt::sprintf("could not remove progress-file %s", path));
}

}  // namespace ombrel
