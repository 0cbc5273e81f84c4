// The installation folder on Windows. The steps are those of Linux: one rename each, the
// previous installation kept aside until the run has succeeded, and a lock file beside the
// folder. What differs: folders are told apart by attributes (a reparse point, link or junction,
// is never followed), names are compared without regard to case, and owners and access lists
// are left as Windows makes them (a folder created below the user's profile is the user's
// alone). The folder of installations (%TEMP%) need not be below the data folder: the folders
// above the installation are created when missing either way.

#include <windows.h>

#include <string>
#include <utility>

#include "app/folder_deletion.h"
#include "app/installation_folder.h"
#include "platform/folders.h"
#include "platform/win32_text.h"

namespace ombrel {
namespace {

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

[[noreturn]] void Fail(const std::string& text) { throw EInstallationFolderError(text); }

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

DWORD Attributes(const std::string& path) {
    return GetFileAttributesW(Win32Path(path).c_str());
}

bool Exists(const std::string& path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }

void Rename(const std::string& from, const std::string& to) {
    if (!MoveFileExW(Win32Path(from).c_str(), Win32Path(to).c_str(), 0)) {
        Fail("cannot move " + Quoted(from) + " to " + Quoted(to) + ": " + LastWin32ErrorText());
    }
}

void Remove(const std::string& path) {
    std::string error;
    if (!RemoveFolderTree(path, error)) Fail(error);
}

}  // namespace

void CheckOwnFolder(const std::string& path, const std::string& what) {
    const DWORD attributes = Attributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        Fail(what + " " + Quoted(path) + ": " + LastWin32ErrorText());
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        Fail(what + " " + Quoted(path) + " is a link; it is not followed");
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        Fail(what + " " + Quoted(path) + " is not a folder");
    }
}

TInstallationFolder::TInstallationFolder(std::string base, std::string path)
    : iBase(std::move(base)), iPath(std::move(path)) {
    while (iBase.size() > 3 && IsSeparator(iBase.back())) iBase.pop_back();
    while (iPath.size() > 3 && IsSeparator(iPath.back())) iPath.pop_back();
    const size_t separator = iPath.find_last_of("\\/");
    iParent = separator == std::string::npos ? std::string() : iPath.substr(0, separator);
    iName = separator == std::string::npos ? iPath : iPath.substr(separator + 1);
}

TInstallationFolder::~TInstallationFolder() { Release(); }

std::string TInstallationFolder::PreviousPath() const {
    return iParent + "\\." + iName + ".ombrel-previous";
}

std::string TInstallationFolder::ObsoletePath() const {
    return iParent + "\\." + iName + ".ombrel-obsolete";
}

void TInstallationFolder::Prepare() {
    const bool absolute = iPath.size() > 3 && iPath[1] == ':' && IsSeparator(iPath[2]);
    if (!absolute || iParent.size() < 3 || iName.empty() || iName == "." || iName == "..") {
        Fail("installation folder " + Quoted(iPath) + " is not a folder below " + Quoted(iBase));
    }
    std::string error;
    if (!CreatePrivateFolders(iParent, error)) Fail(error);
    // Each folder from the drive down must be a folder, not a link to somewhere else.
    for (size_t at = iParent.find_first_of("\\/", 3); ; at = iParent.find_first_of("\\/", at + 1)) {
        CheckOwnFolder(iParent.substr(0, at), "folder");
        if (at == std::string::npos) break;
    }

    switch (TFileLock::Acquire(iParent + "\\." + iName + ".ombrel-setup.lock", iLock, error)) {
        case TFileLock::TResult::Locked:
            break;
        case TFileLock::TResult::Busy:
            Fail("installation folder " + Quoted(iPath) + " is in use by another installer");
        case TFileLock::TResult::Failed:
            Fail(error);
    }

    Recover();
    if (Exists(iPath)) {
        CheckOwnFolder(iPath, "installation folder");
        Rename(iPath, PreviousPath());
    }
    if (!CreateDirectoryW(Win32Path(iPath).c_str(), nullptr)) {
        const std::string reason = LastWin32ErrorText();
        // Nothing of this run is in the way: bring the previous installation back.
        if (Exists(PreviousPath()) && !Exists(iPath)) {
            MoveFileExW(Win32Path(PreviousPath()).c_str(), Win32Path(iPath).c_str(), 0);
        }
        Fail("cannot create the installation folder " + Quoted(iPath) + ": " + reason);
    }
    CheckOwnFolder(iPath, "installation folder");
    iPrepared = true;
}

void TInstallationFolder::Recover() {
    if (Exists(ObsoletePath())) Remove(ObsoletePath());
    if (Exists(PreviousPath())) {
        // The run that moved it aside never succeeded: what is in iPath is not complete.
        CheckOwnFolder(PreviousPath(), "previous installation");
        if (Exists(iPath)) Rename(iPath, ObsoletePath());
        Rename(PreviousPath(), iPath);
        if (Exists(ObsoletePath())) Remove(ObsoletePath());
    }
}

bool TInstallationFolder::Commit(std::string& error) {
    error.clear();
    if (!iPrepared) return true;
    iPrepared = false;
    try {
        if (Exists(PreviousPath())) {
            Rename(PreviousPath(), ObsoletePath());
            Remove(ObsoletePath());
        }
    } catch (const EInstallationFolderError& e) {
        error = e.what();
    }
    Release();
    return error.empty();
}

bool TInstallationFolder::Rollback(std::string& error) {
    error.clear();
    if (!iPrepared) return true;
    iPrepared = false;
    try {
        if (Exists(iPath)) Rename(iPath, ObsoletePath());
        if (Exists(PreviousPath())) Rename(PreviousPath(), iPath);
        if (Exists(ObsoletePath())) Remove(ObsoletePath());
    } catch (const EInstallationFolderError& e) {
        error = e.what();
    }
    Release();
    return error.empty();
}

void TInstallationFolder::Release() { iLock.reset(); }

}  // namespace ombrel
