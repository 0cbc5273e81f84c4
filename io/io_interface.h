#pragma once
// Interfaces.IO: every file and folder operation of the engine, its state files and its copy
// plan goes through this interface.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "io/disk_entries.h"

namespace ombrel {

class IMessages;

using TBytes = std::vector<uint8_t>;
using TStrings = std::vector<std::string>;

// Ordered pairs of (file name as listed, MD5 digest as 32 lowercase hexadecimal digits).
using THashList = std::vector<std::pair<std::string, std::string>>;

// Operations answer true on success. A failure is reported to the message sink under the
// implementation's sender (at level Error unless stated otherwise) and answers false; nothing
// throws, except where stated (DirectoryDeleteIfEmpty, and path joining refusing a name with
// characters that paths may not contain).
class IOInterface {
public:
    virtual ~IOInterface() = default;

    // True when Path names an existing folder (links followed).
    virtual bool DirectoryExists(const std::string& Path) = 0;
    // True when Path names an existing file (not a folder; links followed). Reports nothing.
    virtual bool FileExists(const std::string& Path) = 0;
    // Deletes an existing file; a missing file or folder is a failure.
    virtual bool FileDelete(const std::string& path) = 0;
    // Copies source to target, creating the target's missing folders and replacing an existing
    // target; keeps the source's mode and modification time.
    virtual bool Copyfile(const std::string& source, const std::string& target) = 0;
    // Names the index-th of a run of copies in source and target; answers false, after
    // reporting why, to refuse it.
    using TNextCopy =
        std::function<bool(size_t index, std::string& source, std::string& target)>;
    // Copies `count` files one after the other as Copyfile does, each named by `next` just
    // before it is copied; stops at the first refusal or failure. A service may keep the
    // folders it reached for one file open for the next one in the same folder. The default
    // calls Copyfile.
    virtual bool CopyFiles(size_t count, const TNextCopy& next);
    // Lists every file below path, recursively, that matches the masks.
    virtual bool GetFiles(const std::string& path, const TStrings& masks, TStrings& files) = 0;
    // GetFiles, each name relative to path rather than the full path: a listing of many files
    // takes less memory so. The default cuts path and its separator off what GetFiles answers.
    virtual bool GetFileNames(const std::string& path, const TStrings& masks, TStrings& names);
    // MD5 of each listed file that exists; always answers true (per-file failures reported).
    virtual bool GetFileHashList(const std::string& path, const TStrings& files,
                                 THashList& HashList) = 0;
    // Reads a text file (UTF-8, BOM skipped; CR LF, CR or LF end a line). On failure `lines`
    // is empty.
    virtual bool GetLines(const std::string& Path, TStrings& lines) = 0;
    // Replaces the file with UTF-8 + BOM, CR LF after every line. Written to a temporary file
    // in the same folder and renamed, so a reader sees the old or the new file, never a part.
    virtual bool SetLines(const std::string& Path, const TStrings& lines) = 0;
    // GetLines, append, SetLines. A missing file is a failure; the file is not created.
    virtual bool AppendLine(const std::string& Path, const std::string& line) = 0;
    // Replaces the file with the bytes, durably (temporary file and rename).
    virtual bool ByteToFile(const std::string& Path, const TBytes& bytes) = 0;
    // Creates the folder with all missing parents; answers whether it exists afterwards.
    virtual bool ForceDirectory(const std::string& Path) = 0;
    // Unpacks a zip archive below ExtractPath, reporting progress per entry to the sink.
    virtual bool ExtractZipFile(const std::string& ZipFilePath, const std::string& ExtractPath) = 0;
    // Removes Path and the empty folders below it, bottom-up, when they hold no file. Answers
    // true when Path itself was removed. Throws std::system_error (on Linux its
    // std::filesystem::filesystem_error) when Path is missing or cannot be listed.
    virtual bool DirectoryDeleteIfEmpty(const std::string& Path) = 0;
    // True when no such file exists, or no other process holds it open and it can be opened
    // for writing. A failure is reported at level Log.
    virtual bool CanFileBeOverwritten(const std::string& Path) = 0;
    // CanFileBeOverwritten for `count` files, each named by `pathOf` when its turn comes:
    // the index of the first that cannot be overwritten, or count. A service may keep the
    // folder it reached for one file open for the next one in it. The default calls
    // CanFileBeOverwritten.
    virtual size_t FirstBlockedFile(size_t count,
                                    const std::function<std::string(size_t index)>& pathOf);

    // Declares Path a folder that the run owns: from now on every path below it is reached
    // from an open handle of Path, component by component, and no link below Path is ever
    // followed, so that a folder swapped for a link at any moment leads nowhere outside. Path
    // itself is taken as named. The default suits services without links.
    virtual void OwnFolder(const std::string& Path) { (void)Path; }

    // A service of the same kind for another thread, with the same owned folders and settings,
    // reporting to Messages; the two may then work at the same time (each on its own files).
    // None when the service cannot be used that way: the caller then works on one thread.
    virtual std::shared_ptr<IOInterface> ForThread(std::shared_ptr<IMessages> Messages) {
        (void)Messages;
        return nullptr;
    }

    // Unpacks a zip archive as a whole into the folder ExtractPath, which does not exist yet:
    // into "<ExtractPath>.part" first (anything left there by an earlier attempt is removed),
    // marked complete (see CheckUnpackedFolder), renamed to ExtractPath only when every entry
    // is out, and removed again on failure. So a folder under the final name is always complete. Reports as ExtractZipFile does, progress
    // captions naming the final target paths; an archive without entries gives an empty folder.
    // The default suits services without a staging area of their own.
    virtual bool ExtractZipFolder(const std::string& ZipFilePath, const std::string& ExtractPath) {
        return ForceDirectory(ExtractPath) && ExtractZipFile(ZipFilePath, ExtractPath);
    }
    // Whether the folder ExtractPath is a complete unpacking of the archive ZipFilePath as
    // ExtractZipFolder made it: its completion marker is there and matches the archive, and the
    // folder holds exactly the files the marker lists, at their sizes; with Thorough, their
    // contents are checked as well. Answers false without an error when it is not (the reason
    // goes to the log). The default suits services without markers.
    virtual bool CheckUnpackedFolder(const std::string& ZipFilePath, const std::string& ExtractPath,
                                     bool Thorough) {
        return !ZipFilePath.empty() && !Thorough && DirectoryExists(ExtractPath);
    }
    // Makes everything written so far to the file system that holds Path durable, so that a
    // state file renamed into place afterwards never describes data a power cut could lose.
    // The default suits services whose writes are durable anyway.
    virtual bool FlushToDisk(const std::string& Path) { return !Path.empty(); }

    // Renames the file or folder From to To, replacing a file at To. Reports nothing: the
    // answer is the system's reason, empty on success. Below an owned folder, no link on the way
    // to either name is followed. The default works on the paths as named.
    virtual std::error_code RenameEntry(const std::string& From, const std::string& To) {
        return RenameDiskEntry(From, To);
    }
    // Removes Path and, when it is a folder, everything below it, never following a link (a
    // link is removed as a link). A missing Path is no failure. Reports nothing. Below an owned
    // folder, no link on the way to Path is followed either.
    virtual std::error_code RemoveTree(const std::string& Path) {
        return RemoveDiskTree(Path);
    }
};

using IOInterfacePtr = std::shared_ptr<IOInterface>;

}  // namespace ombrel
