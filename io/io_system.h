#pragma once
// IO.System: the file system service on the local file system.
//
// Every failure is reported to the sink under the sender "TIO", at level Error, except
// CanFileBeOverwritten, which reports at level Log. A report names what failed and where, with
// the platform's own reason (io/failure_text.h): 'cannot write "<path>": <reason>'; an archive's
// damage as "<archive>: <reason>". When another process holds a file that is to be
// overwritten, the report names the processes as far as the system tells them. Not thread-safe: one TIO serves one
// thread, and must not run two extractions at once; ForThread makes another for another thread.
//
// Decisions for Linux, beyond the interface contract:
// - Below a folder declared with OwnFolder, no operation follows a link: paths are walked from
//   the folder's handle (see io/owned_folders.h). A link met on the way fails the operation
//   (ELOOP or ENOTDIR) instead of leading outside; as the last name, a link is removed or
//   replaced as a link, never opened: GetLines, Copyfile (source) and ExtractZipFile (archive)
//   fail on it, GetFileHashList leaves it out silently, DirectoryExists and GetFiles do not
//   take it for a folder. FileExists still follows a last name that is a link (it only looks).
// - GetFiles lists regular files only. Symbolic links are not listed and never descended,
//   whatever they point to, so a listing never leads out of the folder it was given (only
//   `path` itself may be a link). Hidden files are listed. A single mask must be a bare
//   file-name pattern (not blank, no "/" or "\", no character that paths may not contain);
//   any mask with a "[" that is never closed is refused. A file whose name is no valid path
//   (see io/paths.h) makes the listing fail rather than be left out silently.
// - GetLines turns bytes that are not valid UTF-8 into U+FFFD, so its lines are valid UTF-8.
// - SetLines, ByteToFile and Copyfile write to a temporary file in the target's folder and
//   rename it into place; SetLines and ByteToFile flush it to the disk first. A link at the
//   target is replaced, never written through. A replaced file keeps its mode bits
//   (SetLines, ByteToFile); a new one gets 0666 less the umask.
// - Copyfile keeps the source's permission bits without setuid, setgid and sticky, and its
//   modification time.
// - ExtractZipFile checks the whole archive before it writes anything, and refuses it with an
//   error for: entries that share bytes (overlapping or repeated data), more than the limits
//   allow in all or by ratio (TZipLimits), a name that is there twice or is both a file and a
//   folder, names that are absolute or leave the target folder, and symbolic-link entries.
//   While unpacking it refuses any entry whose path below ExtractPath would run through a link
//   on disk, and data beyond an entry's declared size. It stops at the first failure; files
//   written before stay.
//   Entries made on Unix keep their permission bits without setuid, setgid and sticky;
//   entries made on MS-DOS with the read-only attribute lose their write bits.
// - ExtractZipFile reports progress per 64 KiB of compressed input, leaving out a report
//   whose percent equals the one before for the same entry; the final report of every entry
//   is always sent.
// - CanFileBeOverwritten sees other processes' open files through the kernel (see
//   platform/file_usage.h). A link or a folder at Path answers true without a probe: Copyfile
//   replaces a link rather than writing through it.
// - DirectoryDeleteIfEmpty treats a link as an entry: it never descends into one, a folder
//   holding one is not empty, and a Path that is a link answers false. A removal that the
//   platform refuses answers false (still without a report).
//
// Decisions for Windows, where they differ from Linux. Text is UTF-8 inside and UTF-16 at the
// system's boundary; paths are joined with "\"; absolute paths reach the system with the "\\?\"
// prefix, so they may be longer than 260 characters. Failures read as the Linux build's do.
// - Reparse points (symbolic links, junctions, mount points) take the place of links.
// - There are no mode bits: an entry made on Unix without any write bit, and an entry made on
//   MS-DOS with the read-only attribute, become read-only files; Copyfile keeps the source's
//   read-only attribute; a file replaced by SetLines or ByteToFile keeps its read-only, hidden
//   and system attributes. A read-only file is replaced and deleted as any other, as on Linux.
// - Two entries of an archive whose names differ in case only are the same name ("is there
//   twice"), as they are for the file system; a name that Windows programs cannot reach (a part
//   ending in a blank or a dot, or holding ':', '*' or '?') refuses the archive.
// - Below an owned folder, a handle that leads elsewhere than the name it was opened by (a link
//   the system does not show as one) is refused as a link.
// - FlushToDisk flushes the whole volume where the rights allow it; otherwise (a run that is
//   not elevated) every file below Path, one by one, since there is no syncfs.
// - Archives are unpacked by one thread (a file cannot be opened anew through its handle).
//
// Everything above the platform's operations on open folders (io/folder_handle.h) is the same
// code on both platforms.

#include <functional>

#include "io/io_interface.h"
#include "io/owned_folders.h"
#include "io/zip_layout.h"
#include "messages/messages.h"

namespace ombrel {

class TIO : public IOInterface {
public:
    using TOnProgress = std::function<void(const std::string& caption, int32_t percent)>;

    // Keeps the sink for the object's whole life.
    explicit TIO(IMessagesPtr Messages);

    bool DirectoryExists(const std::string& Path) override;
    bool FileExists(const std::string& Path) override;
    bool FileDelete(const std::string& path) override;
    bool Copyfile(const std::string& source, const std::string& target) override;
    bool CopyFiles(size_t count, const TNextCopy& next) override;
    bool GetFiles(const std::string& path, const TStrings& masks, TStrings& files) override;
    bool GetFileNames(const std::string& path, const TStrings& masks, TStrings& names) override;
    bool GetFileHashList(const std::string& path, const TStrings& files,
                         THashList& HashList) override;
    bool GetLines(const std::string& Path, TStrings& lines) override;
    bool SetLines(const std::string& Path, const TStrings& lines) override;
    bool AppendLine(const std::string& Path, const std::string& line) override;
    bool ByteToFile(const std::string& Path, const TBytes& bytes) override;
    bool ForceDirectory(const std::string& Path) override;
    bool ExtractZipFile(const std::string& ZipFilePath, const std::string& ExtractPath) override;
    bool ExtractZipFolder(const std::string& ZipFilePath, const std::string& ExtractPath) override;
    bool DirectoryDeleteIfEmpty(const std::string& Path) override;
    bool CanFileBeOverwritten(const std::string& Path) override;
    size_t FirstBlockedFile(size_t count,
                            const std::function<std::string(size_t index)>& pathOf) override;
    void OwnFolder(const std::string& Path) override;
    std::shared_ptr<IOInterface> ForThread(IMessagesPtr Messages) override {
        auto io = std::make_shared<TIO>(std::move(Messages));
        ShareSettings(*io);
        return io;
    }

    // The limits that every archive must keep before it is unpacked (see io/zip_layout.h).
    void SetZipLimits(const TZipLimits& limits) { iZipLimits = limits; }
    bool CheckUnpackedFolder(const std::string& ZipFilePath, const std::string& ExtractPath,
                             bool Thorough) override;
    // syncfs on the file system holding the folder Path.
    bool FlushToDisk(const std::string& Path) override;
    std::error_code RenameEntry(const std::string& From, const std::string& To) override;
    std::error_code RemoveTree(const std::string& Path) override;

protected:
    // A folder reached for one file and kept for the next one in it: its path as named (up to
    // the last separator) and its handle.
    struct TReachedFolder {
        std::string path;
        TDirFd fd;
        // The folder last found missing (or no folder), when looking without creating: the
        // files after it in that folder are missing too, without a walk to it each.
        std::string missing;
    };
    // The folder holding `path` and the last name in it: the one in `reached` when that is it,
    // else opened (as TOwnedFolders::OpenParent does) and kept there.
    std::error_code ReachParent(const std::string& path, bool create, TReachedFolder& reached,
                                std::string& name);
    // CanFileBeOverwritten with the folder of the file before.
    bool CanOverwriteIn(const std::string& Path, TReachedFolder& reached);
    // Copyfile with the folders of the files before.
    bool CopyBetween(const std::string& source, const std::string& target,
                     TReachedFolder& from, TReachedFolder& to);

    // Gives another service this one's owned folders and limits (see ForThread).
    void ShareSettings(TIO& other) const {
        other.iZipLimits = iZipLimits;
        other.iOwned = iOwned;
    }

private:
    void DoError(const std::string& text);
    void DoLog(const std::string& text);
    // Receives the archive reader's progress for one entry.
    void DoZipProgress(const std::string& target, uint64_t position, uint64_t size,
                       bool complete);
    bool WriteFileAtomic(const std::string& Path, const char* data, size_t size);
    // GetFiles, the names relative to path with `relative`.
    bool ListMatching(const std::string& path, const TStrings& masks, bool relative,
                      TStrings& files);
    // Opens a file to read by the rules for its place (see OwnFolder): below an owned folder
    // from the folder's handle, the last name never followed; elsewhere by its path.
    std::error_code OpenToRead(const std::string& Path, bool nonBlocking, TDirFd& file);
    // Unpacks into ExtractPath; reports and errors name the targets below CaptionPath.
    // With `unpacked`, the files written are listed there and an entry named like the
    // completion marker is refused.
    bool ExtractEntries(const std::string& ZipFilePath, const std::string& ExtractPath,
                        const std::string& CaptionPath,
                        std::vector<struct TUnpackedFile>* unpacked = nullptr);

    TOnProgress OnProgressRedirect;
    IMessagesPtr Messages;
    TZipLimits iZipLimits;
    TOwnedFolders iOwned;
    const std::string Sender = "TIO";

    // Last progress sent during an extraction, so that an unchanged percent is not repeated.
    std::string iLastCaption;
    int32_t iLastPercent = -1;
};

}  // namespace ombrel
