#include "io/io_system.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include <fmt/printf.h>

#include "io/atomic_file.h"
#include "io/failure_text.h"
#include "io/file_mask.h"
#include "io/folder_handle.h"
#include "io/owned_folders.h"
#include "io/paths.h"
#include "io/text.h"
#include "io/unpacked_marker.h"
#include "io/zip_layout.h"
#include "io/zip_reader.h"
#include "platform/crypto.h"
#include "platform/file_usage.h"

// The file system service, written once above the platform's operations on open folders
// (io/folder_handle.h): everything below an owned folder is reached from the folder's handle.

namespace ombrel {
namespace {

// ---- Listing ---------------------------------------------------------------------------

// Appends the relative names (kPathSeparator between folders) of the regular files below the
// folder `dirFd`, depth first, each folder in the order the platform delivers it. Links are
// neither listed nor followed.
std::error_code ListFiles(int dirFd, const std::string& relative, TStrings& result) {
    std::vector<TListedEntry> entries;
    if (std::error_code error = ListFolderAt(dirFd, entries)) return error;
    for (const TListedEntry& entry : entries) {
        std::string path = relative.empty() ? entry.name : relative + kPathSeparator + entry.name;
        if (entry.kind == TEntryKind::File) {
            result.push_back(std::move(path));
        } else if (entry.kind == TEntryKind::Folder) {
            TDirFd sub;
            if (std::error_code error = OpenSubfolderToReadAt(dirFd, entry.name, sub)) {
                return error;
            }
            if (std::error_code error = ListFiles(sub.Get(), path, result)) return error;
        }
    }
    return {};
}

// A folder and a name below it: the folder, a separator unless it ends in one, the name. Only a
// name beginning with a separator stands for itself; on Linux "a:b.txt" is a plain file name,
// not a drive path, so path joining's drive rule must not cut the folder off. Both parts are
// checked for characters that paths may not contain (EPathError).
std::string JoinBelow(const std::string& folder, const std::string& name) {
    CheckPathChars(folder);
    CheckPathChars(name);
    if (folder.empty() || (!name.empty() && (name[0] == '/' || name[0] == '\\'))) return name;
    if (name.empty()) return folder;
    const char last = folder.back();
    return last == '/' || last == '\\' ? folder + name : folder + kPathSeparator + name;
}

std::string BareName(const std::string& relative) {
    size_t pos = relative.rfind(kPathSeparator);
    return pos == std::string::npos ? relative : relative.substr(pos + 1);
}

std::string InvalidMaskText(const std::string& mask) {
    return fmt::sprintf("Invalid file mask: '%s'", mask);
}

// ---- Text files ------------------------------------------------------------------------

// Reads a whole open file. Answers false with the platform's text in `error`.
bool ReadWholeFile(int fd, std::string& content, std::string& error) {
    TFileInfo info;
    if (std::error_code failure = StatOpenFile(fd, info)) {
        error = failure.message();
        return false;
    }
    if (info.kind == TEntryKind::Folder) {
        error = ErrorOf(std::errc::is_a_directory).message();
        return false;
    }
    content.clear();
    if (info.size > 0) content.reserve(static_cast<size_t>(info.size));
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        size_t got = 0;
        if (std::error_code failure = ReadFromFile(fd, buffer.data(), buffer.size(), got)) {
            error = failure.message();
            return false;
        }
        if (got == 0) return true;
        content.append(buffer.data(), got);
    }
}

// ---- Archives --------------------------------------------------------------------------

// The percent of an entry written, to the nearest integer, ties to even (the default rounding
// mode).
int32_t ZipPercent(uint64_t position, uint64_t size) {
    if (size == 0) return 0;
    return static_cast<int32_t>(
        std::nearbyint(static_cast<double>(position) * 100.0 / static_cast<double>(size)));
}

// Archives unpacked by two threads: at most this many entries (a second reader holds the
// central directory once more) and at least this many compressed bytes.
constexpr uint64_t kParallelUnpackEntriesMax = 20000;
constexpr uint64_t kParallelUnpackBytesMin = 4 * 1024 * 1024;

// True when every component of the name is empty or ".": a folder entry for the root.
bool NamesRoot(std::string_view name) {
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = name.size();
        std::string_view part = name.substr(start, end - start);
        if (!part.empty() && part != ".") return false;
        start = end + 1;
    }
    return true;
}

// Opens, creating where missing, the folder made of the first `count` components below
// `rootFd`, never through a link. `linkFound` tells that a component is a link.
std::error_code OpenFolderInside(int rootFd, const std::vector<std::string>& parts, size_t count,
                                 TDirFd& result, bool& linkFound) {
    linkFound = false;
    TDirFd current;
    if (std::error_code error = DuplicateDescriptor(rootFd, current)) return error;
    for (size_t i = 0; i < count; ++i) {
        TDirFd next;
        if (std::error_code error = OpenSubfolderAt(current.Get(), parts[i], true, next)) {
            TEntryKind kind;
            linkFound = error == std::errc::too_many_symbolic_link_levels ||
                        (!EntryKindAt(current.Get(), parts[i], kind) && kind == TEntryKind::Link);
            return error;
        }
        current = std::move(next);
    }
    result = std::move(current);
    return {};
}

// Mode bits, read-only attribute and time for an extracted file, applied to its open descriptor.
std::error_code ApplyAttributes(int fd, const TZipEntry& entry) {
    return SetUnpackedAttributes(fd, entry.Host == TZipEntry::kHostUnix, entry.UnixMode(),
                                 entry.IsDosReadOnly(), entry.HasModTime,
                                 static_cast<int64_t>(entry.ModTime));
}

// Removes the folder `name` of `parentFd` and the empty folders below it, bottom-up, when they
// hold no entry; links count as entries and are never descended. Answers whether `name` itself
// went. A folder that cannot be opened or listed throws, naming `path`.
bool DeleteEmptyFoldersAt(int parentFd, const std::string& name, const std::string& path) {
    TDirFd folder;
    if (std::error_code error = OpenSubfolderAt(parentFd, name, false, folder)) {
        if (error == std::errc::too_many_symbolic_link_levels ||
            error == std::errc::not_a_directory) {
            return false;  // swapped for a link or a file
        }
        ThrowFileSystemError("cannot open folder", path, error);
    }
    std::vector<TListedEntry> entries;
    if (std::error_code error = ListFolderAt(folder.Get(), entries)) {
        ThrowFileSystemError("cannot list folder", path, error);
    }
    bool other = false;
    bool allGone = true;
    for (const TListedEntry& entry : entries) {
        if (entry.kind != TEntryKind::Folder) {
            other = true;
        } else if (!DeleteEmptyFoldersAt(folder.Get(), entry.name,
                                         path + kPathSeparator + entry.name)) {
            allGone = false;
        }
    }
    if (other || !allGone) return false;
    return !RemoveOpenFolder(parentFd, name, folder.Get());
}

}  // namespace

TIO::TIO(IMessagesPtr Messages) : Messages(std::move(Messages)) {}

void TIO::OwnFolder(const std::string& Path) { iOwned.Add(Path); }

std::error_code TIO::OpenToRead(const std::string& Path, bool nonBlocking, TDirFd& file) {
    if (!iOwned.Owns(Path)) return OpenFileToReadByPath(Path, nonBlocking, file);
    TDirFd parent;
    std::string name;
    if (std::error_code error = iOwned.OpenParent(Path, false, parent, name)) return error;
    if (name.empty()) return ErrorOf(std::errc::is_a_directory);
    return OpenFileToReadAt(parent.Get(), name, nonBlocking, file);
}

void TIO::DoError(const std::string& text) { Messages->Error(text, Sender); }

void TIO::DoLog(const std::string& text) { Messages->Log(text, Sender); }

bool TIO::DirectoryExists(const std::string& Path) {
    if (Path.empty()) return false;
    TDirFd parent;
    std::string name;
    std::error_code error = iOwned.OpenParent(Path, false, parent, name);
    if (!error) {
        if (name.empty()) return true;
        TEntryKind kind;
        error = EntryKindAt(parent.Get(), name, kind);
        // Below an owned folder a link is no folder; elsewhere links are followed.
        if (!error && kind == TEntryKind::Link && !(iOwned.Owns(Path) && !iOwned.IsRoot(Path))) {
            error = FollowedKindAt(parent.Get(), name, Path, kind);
        }
        if (!error) return kind == TEntryKind::Folder;
    }
    // Below an owned folder, a link on the way is no folder either.
    if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory ||
        (error == std::errc::too_many_symbolic_link_levels && iOwned.Owns(Path))) {
        return false;
    }
    DoError(FailureText("look at", Path, error.message()));
    return false;
}

bool TIO::FileExists(const std::string& Path) {
    if (Path.empty()) return false;
    TDirFd parent;
    std::string name;
    TEntryKind kind;
    if (iOwned.OpenParent(Path, false, parent, name) || name.empty() ||
        EntryKindAt(parent.Get(), name, kind)) {
        return false;
    }
    // It only looks: a link is followed.
    if (kind == TEntryKind::Link && FollowedKindAt(parent.Get(), name, Path, kind)) return false;
    return kind != TEntryKind::Missing && kind != TEntryKind::Folder;
}

bool TIO::FileDelete(const std::string& path) {
    TDirFd parent;
    std::string name;
    std::error_code error = iOwned.OpenParent(path, false, parent, name);
    if (!error && name.empty()) error = ErrorOf(std::errc::is_a_directory);
    if (!error) {
        TEntryKind kind;
        error = EntryKindAt(parent.Get(), name, kind);
        if (!error && kind == TEntryKind::Missing) {
            error = ErrorOf(std::errc::no_such_file_or_directory);
        }
        if (!error && kind == TEntryKind::Folder) error = ErrorOf(std::errc::is_a_directory);
        // A link is removed as the link.
        if (!error) error = RemoveFileAt(parent.Get(), name);
    }
    if (error) {
        DoError(FailureText("delete", path, error.message()));
        return false;
    }
    return true;
}

std::error_code TIO::ReachParent(const std::string& path, bool create, TReachedFolder& reached,
                                 std::string& name) {
    size_t cut = path.size();
    while (cut > 0 && !IsFolderSeparator(path[cut - 1])) --cut;
    cut = cut == 0 ? std::string::npos : cut - 1;
    if (reached.fd.IsOpen() && cut != std::string::npos && cut + 1 < path.size() &&
        path.compare(0, cut, reached.path) == 0 && reached.path.size() == cut) {
        name = path.substr(cut + 1);
        if (name != "." && name != "..") return {};
    }
    const bool sameAsMissing = !create && cut != std::string::npos && cut + 1 < path.size() &&
                               !reached.missing.empty() && reached.missing.size() == cut &&
                               path.compare(0, cut, reached.missing) == 0;
    if (sameAsMissing) {
        name = path.substr(cut + 1);
        if (name != "." && name != "..") {
            return ErrorOf(std::errc::no_such_file_or_directory);
        }
    }
    reached.path.clear();
    reached.fd = TDirFd();
    reached.missing.clear();
    TDirFd parent;
    if (std::error_code error = iOwned.OpenParent(path, create, parent, name)) {
        const bool gone = error == std::errc::no_such_file_or_directory ||
                          error == std::errc::not_a_directory;
        if (!create && cut != std::string::npos && gone) {
            reached.missing = path.substr(0, cut);
        }
        return error;
    }
    // Kept only when the name is what follows the last separator (not for a folder itself).
    if (!name.empty() && cut != std::string::npos && path.compare(cut + 1, std::string::npos,
                                                                  name) == 0) {
        reached.path = path.substr(0, cut);
        reached.fd = std::move(parent);
        return {};
    }
    reached.fd = std::move(parent);
    return {};
}

bool TIO::Copyfile(const std::string& source, const std::string& target) {
    TReachedFolder from, to;
    return CopyBetween(source, target, from, to);
}

bool TIO::CopyFiles(size_t count, const TNextCopy& next) {
    TReachedFolder from, to;
    std::string source, target;
    for (size_t i = 0; i < count; ++i) {
        if (!next(i, source, target) || !CopyBetween(source, target, from, to)) return false;
    }
    return true;
}

bool TIO::CopyBetween(const std::string& source, const std::string& target,
                      TReachedFolder& from, TReachedFolder& to) {
    std::string targetName;
    std::error_code error = ReachParent(target, true, to, targetName);
    if (error) {
        DoError(CopyFailureText(source, target, error.message()));
        return false;
    }
    TDirFd in;
    if (iOwned.Owns(source)) {
        std::string sourceName;
        error = ReachParent(source, false, from, sourceName);
        if (!error && sourceName.empty()) error = ErrorOf(std::errc::is_a_directory);
        if (!error) error = OpenFileToReadAt(from.fd.Get(), sourceName, false, in);
    } else {
        error = OpenFileToReadByPath(source, false, in);
    }
    if (error) {
        DoError(CopyFailureText(source, target, error.message()));
        return false;
    }
    TFileInfo info;
    if ((error = StatOpenFile(in.Get(), info))) {
        DoError(CopyFailureText(source, target, error.message()));
        return false;
    }
    if (info.kind == TEntryKind::Folder || targetName.empty()) {
        DoError(CopyFailureText(source, target, ErrorOf(std::errc::is_a_directory).message()));
        return false;
    }
    TAtomicFile out;
    out.SetCreateMode(info.mode & 0777);
    if (!(error = out.Create(to.fd.Get(), targetName, true)) &&
        !(error = CopyFileData(in.Get(), out.Fd(),
                               info.kind == TEntryKind::File ? static_cast<int64_t>(info.size)
                                                             : -1)) &&
        !(error = KeepCopiedAttributes(info, out.Fd()))) {
        error = out.Commit(false);
    }
    if (error) {
        DoError(CopyFailureText(source, target, error.message()));
        return false;
    }
    return true;
}

bool TIO::GetFiles(const std::string& path, const TStrings& masks, TStrings& files) {
    return ListMatching(path, masks, false, files);
}

bool TIO::GetFileNames(const std::string& path, const TStrings& masks, TStrings& names) {
    return ListMatching(path, masks, true, names);
}

bool TIO::ListMatching(const std::string& path, const TStrings& masks, bool relativeNames,
                       TStrings& files) {
    files.clear();
    if (masks.empty()) return false;

    const bool single = masks.size() == 1;
    std::vector<TFileMask> parsed(masks.size());
    for (size_t i = 0; i < masks.size(); ++i) {
        const std::string& mask = masks[i];
        bool valid;
        if (single) {
            // A bare file-name pattern: no folder part, nothing a file name may not hold.
            valid = !IsBlank(mask) && mask.find_first_of("/\\") == std::string::npos &&
                    !HasInvalidPathChars(mask) && TFileMask::Parse(mask, parsed[i]);
        } else {
            // Names from servers may use either separator; the listing uses the platform's.
            valid = TFileMask::Parse(NormalizeSeparators(mask), parsed[i]);
        }
        if (!valid) {
            DoError(InvalidMaskText(mask));
            return false;
        }
    }

    TDirFd folder;
    if (std::error_code error = iOwned.OpenFolder(path, false, folder)) {
        DoError(FailureText("list folder", path, error.message()));
        return false;
    }
    TStrings listed;
    if (std::error_code error = ListFiles(folder.Get(), "", listed)) {
        DoError(FailureText("list folder", path, error.message()));
        return false;
    }

    TStrings result;
    try {
        for (std::string& relative : listed) {
            bool keep = false;
            if (single) {
                // "*.*" stands for every name, also one without a dot.
                keep = masks[0] == "*.*" || parsed[0].Matches(BareName(relative));
            } else {
                for (const TFileMask& mask : parsed) {
                    if (mask.Matches(relative)) {
                        keep = true;
                        break;
                    }
                }
            }
            if (!keep) continue;
            std::string full = JoinBelow(path, relative);
            result.push_back(relativeNames ? std::move(relative) : std::move(full));
        }
    } catch (const EPathError& e) {
        DoError(e.what());
        return false;
    }
    files = std::move(result);
    return true;
}

bool TIO::GetFileHashList(const std::string& path, const TStrings& files, THashList& HashList) {
    HashList.clear();
    std::vector<char> block(256 * 1024);
    // Files one after the other in a folder: the folder is reached once for them.
    TReachedFolder reached;
    const auto open = [&](const std::string& full, TDirFd& file) {
        if (!iOwned.Owns(full)) return OpenFileToReadByPath(full, true, file);
        std::string name;
        if (std::error_code error = ReachParent(full, false, reached, name)) return error;
        if (name.empty()) return ErrorOf(std::errc::is_a_directory);
        return OpenFileToReadAt(reached.fd.Get(), name, true, file);
    };
    for (const std::string& name : files) {
        // A name that is not a valid path ends the whole operation (EPathError).
        const std::string full = JoinBelow(path, name);
        // Below an owned folder a link is not followed: no file to hash, as a folder is not.
        TDirFd file;
        if (std::error_code error = open(full, file)) {
            if (error != std::errc::no_such_file_or_directory &&
                error != std::errc::not_a_directory &&
                !(error == std::errc::too_many_symbolic_link_levels && iOwned.Owns(full))) {
                DoError(FailureText("read", full, error.message()));
            }
            continue;
        }
        TFileInfo info;
        if (std::error_code error = StatOpenFile(file.Get(), info)) {
            DoError(FailureText("read", full, error.message()));
            continue;
        }
        if (info.kind != TEntryKind::File) continue;  // a folder or device is no file to hash

        TDigest digest(TDigestAlgorithm::Md5);
        bool failed = false;
        uint64_t total = 0;
        for (;;) {
            size_t got = 0;
            if (std::error_code error = ReadFromFile(file.Get(), block.data(), block.size(), got)) {
                DoError(FailureText("read", full, error.message()));
                failed = true;
                break;
            }
            if (got == 0) break;
            digest.Update(block.data(), got);
            total += got;
            // A short read that reaches the length the file had is the end: no call to find it.
            if (got < block.size() && total >= info.size) break;
        }
        if (failed) continue;
        std::string bytes;
        std::string error;
        if (!digest.Finish(bytes, error)) {
            DoError("MD5 is not available: " + error);
            continue;
        }
        HashList.emplace_back(name, HexLower(bytes));
    }
    return true;
}

bool TIO::GetLines(const std::string& Path, TStrings& lines) {
    lines.clear();
    std::string content;
    std::string error;
    TDirFd file;
    if (std::error_code failure = OpenToRead(Path, false, file)) {
        error = failure.message();
    } else {
        ReadWholeFile(file.Get(), content, error);
    }
    if (!error.empty()) {
        DoError(FailureText("read", Path, error));
        return false;
    }
    std::string_view bytes = content;
    if (bytes.substr(0, 3) == kUtf8Bom) bytes.remove_prefix(3);
    lines = SplitLines(DecodeText(bytes, TTextEncoding::Utf8));
    return true;
}

bool TIO::SetLines(const std::string& Path, const TStrings& lines) {
    std::string content = kUtf8Bom;
    size_t size = content.size();
    for (const std::string& line : lines) size += line.size() + 2;
    content.reserve(size);
    for (const std::string& line : lines) {
        content += line;
        content += "\r\n";
    }
    return WriteFileAtomic(Path, content.data(), content.size());
}

bool TIO::AppendLine(const std::string& Path, const std::string& line) {
    TStrings lines;
    if (!GetLines(Path, lines)) return false;
    lines.push_back(line);
    return SetLines(Path, lines);
}

bool TIO::ByteToFile(const std::string& Path, const TBytes& bytes) {
    return WriteFileAtomic(Path, reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

bool TIO::WriteFileAtomic(const std::string& Path, const char* data, size_t size) {
    if (Path.empty() || IsFolderSeparator(Path.back())) {
        DoError(FailureText("write", Path,
                            ErrorOf(Path.empty() ? std::errc::no_such_file_or_directory
                                                 : std::errc::is_a_directory)
                                .message()));
        return false;
    }
    TDirFd dir;
    std::string name;
    std::error_code error = iOwned.OpenParent(Path, false, dir, name);
    if (!error && name.empty()) error = ErrorOf(std::errc::is_a_directory);
    TAtomicFile file;
    if (!error) error = file.Create(dir.Get(), name);
    if (!error) error = file.Write(data, size);
    // A replaced file keeps its permissions.
    if (!error) error = KeepReplacedAttributes(dir.Get(), name, file.Fd());
    if (!error) error = file.Commit(true);
    if (error) {
        DoError(FailureText("write", Path, error.message()));
        return false;
    }
    return true;
}

bool TIO::ForceDirectory(const std::string& Path) {
    std::error_code error;
    if (iOwned.Owns(Path)) {
        TDirFd folder;
        error = iOwned.OpenFolder(Path, true, folder);
    } else {
        // Outside every owned folder, the missing folders are made by path.
        error = CreateFoldersByPath(Path);
    }
    if (error) DoError(FailureText("create folder", Path, error.message()));
    return !error;
}

void TIO::DoZipProgress(const std::string& target, uint64_t position, uint64_t size,
                        bool complete) {
    const int32_t percent = ZipPercent(position, size);
    // A chunk that did not move the percent is not worth a report; the final one always is.
    if (!complete && percent == iLastPercent && target == iLastCaption) return;
    iLastCaption = target;
    iLastPercent = percent;
    if (OnProgressRedirect) OnProgressRedirect(target, percent);
}

bool TIO::ExtractZipFile(const std::string& ZipFilePath, const std::string& ExtractPath) {
    return ExtractEntries(ZipFilePath, ExtractPath, ExtractPath);
}

bool TIO::ExtractZipFolder(const std::string& ZipFilePath, const std::string& ExtractPath) {
    // Unpacked beside its final place and renamed when every entry is out, so that a folder
    // under the final name is always complete, whatever stopped an earlier unpacking.
    const std::string staging = ExtractPath + ".part";
    TDirFd parent;
    std::string name;
    std::error_code error = iOwned.OpenParent(ExtractPath, true, parent, name);
    if (!error && name.empty()) error = ErrorOf(std::errc::invalid_argument);
    const std::string stagingName = name + ".part";
    // Whatever an earlier attempt left goes, links as links.
    if (!error) error = RemoveTreeAt(parent.Get(), stagingName);
    if (!error) error = MakeFolderAt(parent.Get(), stagingName);
    if (error) {
        DoError(FailureText("create folder", staging, error.message()));
        if (parent.IsOpen()) RemoveTreeAt(parent.Get(), stagingName);
        return false;
    }
    std::vector<TUnpackedFile> unpacked;
    bool ok = ExtractEntries(ZipFilePath, staging, ExtractPath, &unpacked);
    if (ok) {
        // The marker goes last, once the files it lists are on the disk.
        TUnpackedMarker marker;
        if (std::error_code failure =
                StampOfFile(ZipFilePath, marker.ArchiveSize, marker.ArchiveModified)) {
            DoError(FailureText("look at", ZipFilePath, failure.message()));
            ok = false;
        } else {
            marker.Files = std::move(unpacked);
            // Written as SetLines writes the marker's lines.
            const std::string text = UnpackedMarkerText(marker, kUtf8Bom);
            marker.Files = {};
            ok = FlushToDisk(staging) &&
                 WriteFileAtomic(JoinBelow(staging, kUnpackedMarkerName), text.data(),
                                 text.size());
        }
    }
    if (ok) {
        if (std::error_code renameError =
                RenameEntryAt(parent.Get(), stagingName, parent.Get(), name)) {
            DoError(fmt::sprintf("cannot rename \"%s\" to \"%s\": %s", staging, ExtractPath,
                                 renameError.message()));
            ok = false;
        }
    }
    if (!ok) RemoveTreeAt(parent.Get(), stagingName);
    return ok;
}

bool TIO::ExtractEntries(const std::string& ZipFilePath, const std::string& ExtractPath,
                         const std::string& CaptionPath, std::vector<TUnpackedFile>* unpacked) {
    // The archive reader's progress reaches the sink for the length of this extraction only.
    OnProgressRedirect = [this](const std::string& caption, int32_t percent) {
        Messages->Progress(caption, percent);
    };
    struct TReset {
        TIO& io;
        ~TReset() {
            io.OnProgressRedirect = nullptr;
            io.iLastCaption.clear();
            io.iLastPercent = -1;
        }
    } reset{*this};

    // One descriptor for the layout check and the reader, so both see the same file.
    TDirFd archive;
    TFileInfo archiveInfo;
    TZipReader reader;
    std::string error;
    if (OpenToRead(ZipFilePath, false, archive) || StatOpenFile(archive.Get(), archiveInfo) ||
        archiveInfo.kind != TEntryKind::File) {
        DoError(fmt::sprintf("%s is not a valid Zip-File", ZipFilePath));
        return false;
    }
    // The reader takes over a descriptor of its own.
    const auto openReader = [&](TZipReader& zip, std::string& failure) {
        TDirFd copy;
        if (std::error_code duplicateError = DuplicateDescriptor(archive.Get(), copy)) {
            failure = duplicateError.message();
            return false;
        }
        return zip.Open(copy.Release(), failure);
    };

    // Everything is checked before the first file is written: the layout and the limits, then
    // every entry's name. The layout is read before the reader opens the archive and only the
    // sizes are kept from it, so that the two never hold an archive of many entries in memory
    // at the same time.
    std::vector<std::pair<uint64_t, uint64_t>> sizes;  // declared size, compressed size
    {
        std::vector<TZipLayoutEntry> layout;
        const int layoutFd = archive.Get();
        error = CheckZipLayout(
            archiveInfo.size,
            [layoutFd](uint64_t offset, void* buffer, size_t size) {
                return ReadFileAt(layoutFd, buffer, size, offset);
            },
            iZipLimits, layout);
        if (!error.empty()) {
            // A file the reader cannot open at all is no archive; else the layout tells why.
            layout = {};
            std::string openError;
            DoError(openReader(reader, openError)
                        ? fmt::sprintf("%s: %s", ZipFilePath, error)
                        : fmt::sprintf("%s is not a valid Zip-File", ZipFilePath));
            return false;
        }
        sizes.reserve(layout.size());
        for (const auto& item : layout) sizes.emplace_back(item.size, item.compressedSize);
    }
    if (!openReader(reader, error)) {
        DoError(fmt::sprintf("%s is not a valid Zip-File", ZipFilePath));
        return false;
    }
    const uint64_t count = reader.Count();
    if (count != sizes.size()) {
        DoError(fmt::sprintf("%s: damaged zip archive: the central directory is ambiguous",
                             ZipFilePath));
        return false;
    }
    // An entry and its name below the target ("" for the target folder itself), read again
    // in each pass rather than kept: an archive of many small files would otherwise hold its
    // names twice more in memory.
    TZipEntry entry;
    std::string relative;
    const auto readEntry = [&](uint64_t index) {
        if (!reader.Entry(index, entry, error)) {
            DoError(fmt::sprintf("%s: %s", ZipFilePath, error));
            return false;
        }
        try {
            relative.clear();
            if (!(entry.IsDirectory() && NamesRoot(entry.Name))) {
                relative = JoinInside("", entry.Name);
            }
        } catch (const EPathError& e) {
            DoError(e.what());
            return false;
        }
        return true;
    };
    // Sizes, kinds and names first; then the layout goes, before the names are gathered.
    for (uint64_t index = 0; index < count; ++index) {
        if (!readEntry(index)) return false;
        if (entry.Size != sizes[index].first || entry.CompressedSize != sizes[index].second) {
            DoError(fmt::sprintf("%s: damaged zip archive: sizes of %s disagree", ZipFilePath,
                                 entry.Name));
            return false;
        }
        if (entry.IsSymlink()) {
            DoError(fmt::sprintf("Symbolic link entry not extracted: %s", entry.Name));
            return false;
        }
        if (IsUnreachableName(relative)) {
            DoError(fmt::sprintf("%s: zip archive refused: %s is no Windows file name",
                                 ZipFilePath, entry.Name));
            return false;
        }
    }
    sizes = {};
    // Where the second of two threads begins (see below), by the compressed bytes before it.
    std::vector<uint64_t> compressed;
    if (unpacked != nullptr && count >= 2 && count <= kParallelUnpackEntriesMax) {
        compressed.reserve(count);
    }
    {
        // Each name once; a file's name is no folder of another entry. Names compare as the
        // file system compares them (on Windows without regard to case).
        std::unordered_map<std::string, bool> names;  // name's key -> is a folder
        for (uint64_t index = 0; index < count; ++index) {
            if (!readEntry(index)) return false;
            if (compressed.capacity() > 0) compressed.push_back(entry.CompressedSize);
            const bool isFolder = entry.IsDirectory();
            if (relative.empty()) continue;
            auto [at, added] = names.emplace(FileNameKey(relative), isFolder);
            if (!added && !(isFolder && at->second)) {
                DoError(fmt::sprintf("%s: zip archive refused: %s is there twice", ZipFilePath,
                                     entry.Name));
                return false;
            }
            // Every folder above the name is one.
            for (size_t sep = relative.find(kPathSeparator); sep != std::string::npos;
                 sep = relative.find(kPathSeparator, sep + 1)) {
                auto parent = names.emplace(FileNameKey(relative.substr(0, sep)), true).first;
                if (!parent->second) {
                    DoError(fmt::sprintf("%s: zip archive refused: %s is there twice",
                                         ZipFilePath, relative.substr(0, sep)));
                    return false;
                }
            }
        }
    }

    // Writes the entries [begin, end) with `zip`, telling failures to `fail` and progress to
    // `progress`; the files written are added to `written`. Stops at the first failure, or
    // before the next entry once `stop` is set.
    const auto writeEntries = [&](TZipReader& zip, uint64_t begin, uint64_t end,
                                  const std::function<void(const std::string&)>& fail,
                                  const std::function<void(const std::string&, uint64_t, uint64_t,
                                                           bool)>& progress,
                                  std::vector<TUnpackedFile>* written,
                                  const std::atomic<bool>& stop) {
        TZipEntry item;
        std::string name;
        std::string why;
        TDirFd root;
        std::string folderRelative;  // the folder `folder` is open for
        TDirFd folder;
        for (uint64_t index = begin; index < end; ++index) {
            if (stop) return false;
            if (!zip.Entry(index, item, why)) {
                fail(fmt::sprintf("%s: %s", ZipFilePath, why));
                return false;
            }
            try {
                name.clear();
                if (!(item.IsDirectory() && NamesRoot(item.Name))) name = JoinInside("", item.Name);
            } catch (const EPathError& e) {
                fail(e.what());
                return false;
            }
            const std::string target = PathJoin(CaptionPath, name);
            const bool isFolder = item.IsDirectory();

            if (!root.IsOpen()) {
                std::error_code failure = iOwned.OpenFolder(ExtractPath, true, root);
                if (failure) {
                    fail(FailureText("create folder", ExtractPath, failure.message()));
                    return false;
                }
            }
            std::vector<std::string> parts = SplitFolderNames(name);
            const size_t folderDepth = isFolder ? parts.size() : parts.size() - 1;
            const std::string wanted = isFolder ? name : ExtractFileDir(name);
            if (!folder.IsOpen() || wanted != folderRelative) {
                bool linkFound = false;
                folder = TDirFd();
                std::error_code failure =
                    OpenFolderInside(root.Get(), parts, folderDepth, folder, linkFound);
                if (failure) {
                    fail(linkFound ? fmt::sprintf("Path runs through a symbolic link: %s", target)
                                   : FailureText("create folder", PathJoin(CaptionPath, wanted),
                                                 failure.message()));
                    return false;
                }
                folderRelative = wanted;
            }
            if (isFolder) continue;
            if (unpacked != nullptr && name == kUnpackedMarkerName) {
                fail(fmt::sprintf("Entry name is reserved for the package cache: %s", item.Name));
                return false;
            }

            TAtomicFile file;
            std::error_code failure = file.Create(folder.Get(), parts.back(), true);
            if (failure) {
                fail(FailureText("write", target, failure.message()));
                return false;
            }
            const int fd = file.Fd();
            const uint64_t size = item.Size;
            bool ok = zip.Extract(
                index, item,
                [fd, &target](const char* data, size_t length) {
                    std::error_code writeError = WriteAll(fd, data, length);
                    return writeError ? FailureText("write", target, writeError.message())
                                      : std::string();
                },
                [&](uint64_t position, bool complete) {
                    progress(target, position, size, complete);
                },
                why);
            if (!ok) {
                fail(fmt::sprintf("%s: %s", ZipFilePath, why));
                return false;
            }
            if ((failure = ApplyAttributes(fd, item)) || (failure = file.Commit(false))) {
                fail(FailureText("write", target, failure.message()));
                return false;
            }
            // Every name is there once (checked above).
            if (written != nullptr) written->push_back({name, item.Size, item.Crc});
        }
        return true;
    };
    const auto failHere = [this](const std::string& text) { DoError(text); };
    const auto progressHere = [this](const std::string& target, uint64_t position,
                                     uint64_t size, bool complete) {
        DoZipProgress(target, position, size, complete);
    };

    // An archive of a few large entries is unpacked by two threads, each with a reader of its
    // own: the second takes the entries from where half of the compressed bytes lie behind.
    // Its reports are held and told after the first thread's, as one thread would have made
    // them; when the first fails, they are never told (the unpacking's folder goes anyway).
    uint64_t split = count;
    if (compressed.size() == count && count >= 2) {
        uint64_t total = 0;
        for (uint64_t bytes : compressed) total += bytes;
        if (total >= kParallelUnpackBytesMin) {
            uint64_t before = 0;
            split = 0;
            while (split + 1 < count && before + compressed[split] / 2 < total / 2) {
                before += compressed[split++];
            }
            if (split == 0) split = 1;
        }
    }
    compressed = {};
    // The second reader needs a position of its own in the file: the same file opened anew
    // (never by name, which may lead elsewhere by now), where the system can.
    TZipReader second;
    std::string secondError;
    TDirFd secondFd;
    if (split < count && !ReopenToRead(archive.Get(), secondFd) &&
        second.Open(secondFd.Release(), secondError)) {
        struct TReport {
            bool failure;
            std::string text;
            int32_t percent;
        };
        std::vector<TReport> held;
        std::vector<TUnpackedFile> secondWritten;
        std::atomic<bool> stop{false};
        bool secondOk = false;
        std::exception_ptr secondFailure;
        std::thread helper([&] {
            std::string lastCaption;
            int32_t lastPercent = -1;
            try {
                secondOk = writeEntries(
                    second, split, count,
                    [&held](const std::string& text) { held.push_back({true, text, 0}); },
                    [&](const std::string& target, uint64_t position, uint64_t size,
                        bool complete) {
                        const int32_t percent = ZipPercent(position, size);
                        if (!complete && percent == lastPercent && target == lastCaption) return;
                        lastCaption = target;
                        lastPercent = percent;
                        held.push_back({false, target, percent});
                    },
                    &secondWritten, stop);
            } catch (...) {
                secondFailure = std::current_exception();
            }
        });
        bool firstOk = false;
        try {
            firstOk = writeEntries(reader, 0, split, failHere, progressHere, unpacked, stop);
        } catch (...) {
            stop = true;
            helper.join();
            throw;
        }
        if (!firstOk) stop = true;
        helper.join();
        if (!firstOk) return false;
        if (secondFailure) std::rethrow_exception(secondFailure);
        for (const auto& report : held) {
            if (report.failure) {
                DoError(report.text);
            } else if (OnProgressRedirect) {
                OnProgressRedirect(report.text, report.percent);
            }
        }
        if (!secondOk) return false;
        unpacked->insert(unpacked->end(), std::make_move_iterator(secondWritten.begin()),
                         std::make_move_iterator(secondWritten.end()));
        return true;
    }
    const std::atomic<bool> never{false};
    return writeEntries(reader, 0, count, failHere, progressHere, unpacked, never);
}

bool TIO::CheckUnpackedFolder(const std::string& ZipFilePath, const std::string& ExtractPath,
                              bool Thorough) {
    // Every way the folder can differ is an ordinary reason to unpack it again: logged only.
    const auto unusable = [&](const std::string& why) {
        DoLog(fmt::sprintf("%s is no complete unpacking of %s: %s", ExtractPath, ZipFilePath, why));
        return false;
    };
    TDirFd folder;
    if (std::error_code error = TDirFd::Open(ExtractPath, folder)) return unusable(error.message());
    std::string content;
    std::string error;
    TUnpackedMarker marker;
    {
        TDirFd markerFile;
        if (OpenFileToReadBelow(folder.Get(), kUnpackedMarkerName, markerFile) ||
            !ReadWholeFile(markerFile.Get(), content, error)) {
            return unusable("no completion marker");
        }
    }
    std::string_view bytes = content;
    if (bytes.substr(0, 3) == kUtf8Bom) bytes.remove_prefix(3);
    if (!ParseUnpackedMarker(SplitLines(bytes), marker)) return unusable("damaged completion marker");
    uint64_t archiveSize = 0;
    int64_t modified = 0;
    if (std::error_code failure = StampOfFile(ZipFilePath, archiveSize, modified)) {
        return unusable(failure.message());
    }
    if (archiveSize != marker.ArchiveSize || modified != marker.ArchiveModified) {
        return unusable("the archive has changed since");
    }
    TStrings listed;
    if (std::error_code failure = ListFiles(folder.Get(), "", listed)) {
        return unusable(failure.message());
    }
    std::sort(listed.begin(), listed.end());
    listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
    const auto marked = std::equal_range(listed.begin(), listed.end(), kUnpackedMarkerName);
    listed.erase(marked.first, marked.second);
    if (listed.size() != marker.Files.size()) return unusable("other files than unpacked");
    // Why the files [begin, end) of the marker make the folder unusable, or "" when they do not.
    const auto check = [&](size_t begin, size_t end) -> std::string {
        std::vector<char> block(Thorough ? 64 * 1024 : 0);
        for (size_t i = begin; i < end; ++i) {
            const TUnpackedFile& file = marker.Files[i];
            if (!std::binary_search(listed.begin(), listed.end(), file.Name)) {
                return file.Name + " is missing";
            }
            TFileInfo info;
            if (!Thorough) {
                // The size is all that is compared: one look, without opening the file where
                // the system can.
                if (std::error_code failure = StatFileBelow(folder.Get(), file.Name, info)) {
                    return failure.message();
                }
                if (info.kind != TEntryKind::File) return file.Name + " is no file";
                if (info.size != file.Size) return file.Name + " has another size";
                continue;
            }
            TDirFd opened;
            std::error_code failure = OpenFileToReadBelow(folder.Get(), file.Name, opened);
            if (!failure) failure = StatOpenFile(opened.Get(), info);
            if (failure) return failure.message();
            if (info.size != file.Size) return file.Name + " has another size";
            uint32_t crc = TZipReader::Crc32(0, nullptr, 0);
            for (;;) {
                size_t got = 0;
                if ((failure = ReadFromFile(opened.Get(), block.data(), block.size(), got))) {
                    return failure.message();
                }
                if (got == 0) break;
                crc = TZipReader::Crc32(crc, block.data(), got);
            }
            if (crc != file.Crc) return file.Name + " has another content";
        }
        return {};
    };
    // Reading every file back is worth a second thread: it takes the second half, and the
    // first reason in the marker's order is the one told.
    const size_t n = marker.Files.size();
    std::string why;
    if (Thorough && n >= 2) {
        std::string later;
        std::thread second([&] { later = check(n / 2, n); });
        try {
            why = check(0, n / 2);
        } catch (...) {
            second.join();
            throw;
        }
        second.join();
        if (why.empty()) why = std::move(later);
    } else {
        why = check(0, n);
    }
    if (!why.empty()) return unusable(why);
    return true;
}

bool TIO::DirectoryDeleteIfEmpty(const std::string& Path) {
    TDirFd parent;
    std::string name;
    std::error_code error = iOwned.OpenParent(Path, false, parent, name);
    if (!error && name.empty()) error = ErrorOf(std::errc::invalid_argument);
    TEntryKind kind = TEntryKind::Missing;
    if (!error) error = EntryKindAt(parent.Get(), name, kind);
    if (!error && kind == TEntryKind::Missing) {
        error = ErrorOf(std::errc::no_such_file_or_directory);
    }
    if (error) ThrowFileSystemError("cannot remove empty folders", Path, error);
    // A link or a file is no folder to remove.
    if (kind != TEntryKind::Folder) return false;
    return DeleteEmptyFoldersAt(parent.Get(), name, Path);
}

bool TIO::CanFileBeOverwritten(const std::string& Path) {
    TReachedFolder reached;
    return CanOverwriteIn(Path, reached);
}

size_t TIO::FirstBlockedFile(size_t count,
                             const std::function<std::string(size_t index)>& pathOf) {
    TReachedFolder reached;
    for (size_t i = 0; i < count; ++i) {
        if (!CanOverwriteIn(pathOf(i), reached)) return i;
    }
    return count;
}

bool TIO::CanOverwriteIn(const std::string& Path, TReachedFolder& reached) {
    std::string name;
    TEntryKind kind = TEntryKind::Missing;
    std::error_code error = ReachParent(Path, false, reached, name);
    if (!error && name.empty()) return true;  // a folder is no file of that name
    if (!error) error = EntryKindAt(reached.fd.Get(), name, kind);
    if (error) {
        if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory) {
            return true;
        }
        DoLog(FailureText("overwrite", Path, error.message()));
        return false;
    }
    // A link is replaced, not written through, and a folder is no file of that name.
    if (kind == TEntryKind::Missing || kind == TEntryKind::Link || kind == TEntryKind::Folder) {
        return true;
    }
    // The probe opens the name from the folder already reached, so a folder swapped meanwhile
    // leads it nowhere.
    if (std::error_code failure = ProbeOverwriteAt(reached.fd.Get(), name)) {
        const bool busy = failure == std::errc::device_or_resource_busy;
        std::string reason = busy ? "the file is open in another process" : failure.message();
        if (busy || failure == std::errc::text_file_busy) {
            const std::string users = DescribeFileUsers(Path);
            if (!users.empty()) reason += ": " + users;
        }
        DoLog(FailureText("overwrite", Path, reason));
        return false;
    }
    return true;
}

std::error_code TIO::RenameEntry(const std::string& From, const std::string& To) {
    TDirFd fromParent, toParent;
    std::string fromName, toName;
    std::error_code error = iOwned.OpenParent(From, false, fromParent, fromName);
    if (!error) error = iOwned.OpenParent(To, false, toParent, toName);
    if (!error && (fromName.empty() || toName.empty())) {
        error = ErrorOf(std::errc::invalid_argument);
    }
    if (!error) error = RenameEntryAt(fromParent.Get(), fromName, toParent.Get(), toName);
    return error;
}

std::error_code TIO::RemoveTree(const std::string& Path) {
    TDirFd parent;
    std::string name;
    std::error_code error = iOwned.OpenParent(Path, false, parent, name);
    if (error == std::errc::no_such_file_or_directory) return {};
    if (!error && name.empty()) error = ErrorOf(std::errc::invalid_argument);
    if (!error) error = RemoveTreeAt(parent.Get(), name);
    return error;
}

bool TIO::FlushToDisk(const std::string& Path) {
    if (std::error_code error = FlushFileSystemOf(Path)) {
        DoError(FailureText("flush", Path, error.message()));
        return false;
    }
    return true;
}

}  // namespace ombrel
