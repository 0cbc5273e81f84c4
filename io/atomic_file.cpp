#include "io/atomic_file.h"

#include <cstdio>

namespace ombrel {

namespace {

std::string RandomSuffix() {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(RandomNameBits()));
    return text;
}

}  // namespace

TAtomicFile::~TAtomicFile() {
    Discard();
}

std::error_code TAtomicFile::Create(int dirFd, const std::string& name, bool directWhenNew) {
    Discard();
    int fd = -1;
    if (directWhenNew) {
        std::error_code error = CreateNewFileAt(dirFd, name, iCreateMode, fd);
        if (!error) {
            iDirFd = dirFd;
            iFd = fd;
            iName = name;
            iDirect = true;
            return {};
        }
        // Some systems refuse to make a file where a folder is with another reason ("access
        // denied"): whatever is there goes through a temporary file, whose rename then fails
        // as it should.
        TEntryKind kind = TEntryKind::Missing;
        if (error != std::errc::file_exists &&
            (EntryKindAt(dirFd, name, kind) || kind == TEntryKind::Missing)) {
            return error;
        }
    }
    // A short name of our own: the final name may already use the whole length limit.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string tempName = ".ombrel-" + RandomSuffix() + ".tmp";
        std::error_code error = CreateNewFileAt(dirFd, tempName, iCreateMode, fd);
        if (!error) {
            iDirFd = dirFd;
            iFd = fd;
            iName = name;
            iTempName = std::move(tempName);
            return {};
        }
        if (error != std::errc::file_exists) return error;
    }
    return ErrorOf(std::errc::file_exists);
}

std::error_code TAtomicFile::Commit(bool durable) {
    if (iFd < 0) return ErrorOf(std::errc::bad_file_descriptor);
    if (durable) {
        if (std::error_code error = FlushFile(iFd)) return error;
    }
    if (iDirect) {
        const int fd = iFd;
        iFd = -1;
        if (std::error_code error = CloseWrittenFile(fd)) {
            Discard();
            return error;
        }
        iDirect = false;
        return durable ? FlushFolder(iDirFd) : std::error_code();
    }
    if (std::error_code error = PlaceWrittenFile(iFd, iDirFd, iTempName, iName)) {
        Discard();
        return error;
    }
    iTempName.clear();
    return durable ? FlushFolder(iDirFd) : std::error_code();
}

void TAtomicFile::Discard() {
    const std::string& written = !iTempName.empty() ? iTempName : iDirect ? iName : std::string();
    RemoveUncommittedFile(iFd, iDirFd, written);
    iTempName.clear();
    iDirect = false;
}

}  // namespace ombrel
