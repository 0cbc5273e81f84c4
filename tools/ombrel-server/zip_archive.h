#pragma once
// Reading and writing the zip archives of archive packages (libzip).

#include <cstdint>
#include <string>
#include <vector>

namespace ombrel::server {

// One file of an archive. Folders are not listed.
struct TZipEntry {
    std::string Name;   // relative name, "/" between folders (see CleanInstallName)
    uint32_t Mode = 0;  // Unix permission bits (07777) when the archive records them, else 0
    uint64_t Size = 0;
    std::string Md5;  // of the entry's uncompressed bytes
};

// Lists every file entry of an existing archive, in central-directory order, reading each
// entry to its end so that its MD5 is computed and its CRC checked. Refuses, with the reason
// in `error`, an archive that cannot be read, damaged data, symbolic-link entries, entries
// whose names an installer could not place, and names given twice.
bool ReadZipEntries(const std::string& path, std::vector<TZipEntry>& entries, std::string& error);

// Packs every regular file below `folder` into a new archive at `zipPath` (which must not be
// the final name of anything a reader uses: the caller renames it into place). Entries are
// sorted by name, deflated, and keep their Unix permission bits, so programs stay executable.
// Symbolic links and other special files are refused, as are names an installer could not
// place. `entries` lists what was packed, without MD5s: read the written archive back with
// ReadZipEntries for the digests of what it really holds.
bool WriteZipFromFolder(const std::string& folder, const std::string& zipPath,
                        std::vector<TZipEntry>& entries, std::string& error);

}  // namespace ombrel::server
