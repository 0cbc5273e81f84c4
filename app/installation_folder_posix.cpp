#include "app/installation_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "app/folder_deletion.h"
#include "platform/folders.h"

namespace ombrel {
namespace {

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

[[noreturn]] void Fail(const std::string& text) { throw EInstallationFolderError(text); }

std::string Reason(int error) { return std::strerror(error); }

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The names of `path` below `base`, in order ("/a/b/c" below "/a": "b", "c").
std::vector<std::string> NamesBelow(const std::string& base, const std::string& path) {
    std::vector<std::string> names;
    size_t start = base.size();
    while (start < path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) names.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

void Rename(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        Fail("cannot move " + Quoted(from) + " to " + Quoted(to) + ": " + Reason(errno));
    }
}

void Remove(const std::string& path) {
    std::string error;
    if (!RemoveFolderTree(path, error)) Fail(error);
}

}  // namespace

void CheckOwnFolder(const std::string& path, const std::string& what) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        Fail(what + " " + Quoted(path) + ": " + Reason(errno));
    }
    if (S_ISLNK(st.st_mode)) {
        Fail(what + " " + Quoted(path) + " is a symbolic link; it is not followed");
    }
    if (!S_ISDIR(st.st_mode)) Fail(what + " " + Quoted(path) + " is not a folder");
    if (st.st_uid != ::geteuid()) {
        Fail(what + " " + Quoted(path) + " belongs to another user (uid " +
             std::to_string(st.st_uid) + ")");
    }
    // Group write is the user's own business only when the group is the user's own.
    if ((st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) != 0 && st.st_gid != ::getegid())) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        Fail(what + " " + Quoted(path) + " may be written by other users (mode " + mode + ")");
    }
}

TInstallationFolder::TInstallationFolder(std::string base, std::string path)
    : iBase(std::move(base)), iPath(std::move(path)) {
    while (iBase.size() > 1 && iBase.back() == '/') iBase.pop_back();
    while (iPath.size() > 1 && iPath.back() == '/') iPath.pop_back();
    const size_t slash = iPath.rfind('/');
    iParent = slash == std::string::npos ? std::string() : iPath.substr(0, slash);
    iName = slash == std::string::npos ? iPath : iPath.substr(slash + 1);
}

TInstallationFolder::~TInstallationFolder() { Release(); }

std::string TInstallationFolder::PreviousPath() const {
    return iParent + "/." + iName + ".ombrel-previous";
}

std::string TInstallationFolder::ObsoletePath() const {
    return iParent + "/." + iName + ".ombrel-obsolete";
}

void TInstallationFolder::Prepare() {
    if (iBase.empty() || iBase.front() != '/' || iPath.size() <= iBase.size() + 1 ||
        iPath.compare(0, iBase.size() + 1, iBase + "/") != 0 || iName.empty() ||
        iName == "." || iName == "..") {
        Fail("installation folder " + Quoted(iPath) + " is not a folder below " + Quoted(iBase));
    }
    std::string error;
    if (!CreatePrivateFolders(iBase, error)) Fail(error);

    // The data folder may be shared with others only as /tmp is: sticky, so that nobody else
    // can move our entries. Everything below it must be ours alone.
    struct stat st {};
    if (::stat(iBase.c_str(), &st) != 0) {
        Fail("folder " + Quoted(iBase) + ": " + Reason(errno));
    }
    if ((st.st_mode & S_IWOTH) != 0 && (st.st_mode & S_ISVTX) == 0) {
        Fail("folder " + Quoted(iBase) + " may be written by other users and is not sticky");
    }
    // Each folder is checked before anything is created in it, so nothing is ever created
    // through a link or in another user's folder.
    std::string walk = iBase;
    for (const std::string& name : NamesBelow(iBase + "/", iParent)) {
        walk += "/" + name;
        if (::mkdir(walk.c_str(), 0700) != 0 && errno != EEXIST) {
            Fail("cannot create the folder " + Quoted(walk) + ": " + Reason(errno));
        }
        CheckOwnFolder(walk, "folder");
    }

    switch (TFileLock::Acquire(iParent + "/." + iName + ".ombrel-setup.lock", iLock, error)) {
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
    if (::mkdir(iPath.c_str(), 0755) != 0) {
        const int reason = errno;
        // Nothing of this run is in the way: bring the previous installation back.
        if (Exists(PreviousPath()) && !Exists(iPath)) ::rename(PreviousPath().c_str(), iPath.c_str());
        Fail("cannot create the installation folder " + Quoted(iPath) + ": " + Reason(reason));
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
        Remove(ObsoletePath());
    } catch (const EInstallationFolderError& e) {
        error = e.what();
    }
    Release();
    return error.empty();
}

void TInstallationFolder::Release() { iLock.reset(); }

}  // namespace ombrel
