#pragma once
// A file written under a temporary name in its final folder and renamed into place, so that
// nobody ever sees a half-written file under the final name. Used by every operation of the
// file system service that writes a file.

#include <string>
#include <system_error>

#include "io/folder_handle.h"

namespace ombrel {

// The temporary file. Create it, write through Fd() or Write, then Commit. Until Commit has
// succeeded the final name is untouched; a file that is not committed is removed when the
// object goes away.
class TAtomicFile {
public:
    TAtomicFile() = default;
    ~TAtomicFile();
    TAtomicFile(const TAtomicFile&) = delete;
    TAtomicFile& operator=(const TAtomicFile&) = delete;

    // Creates the temporary file in the folder `dirFd` (the caller keeps that folder open
    // until Commit or destruction) for the final name `name` (a bare name in that folder).
    // The file is created with mode 0666 less the umask.
    //
    // With `directWhenNew`, a name that is still free is written in place instead (created
    // exclusively, so neither an existing file nor a link is ever written through); this saves
    // the rename for the many new files of an unpacking or a first installation. Until Commit
    // the file may then be seen half-written under its final name; it is removed again when it
    // is not committed. A name that exists already always goes through a temporary file.
    std::error_code Create(int dirFd, const std::string& name, bool directWhenNew = false);
    // The mode bits the next Create gives the file (less the umask) where the platform has
    // them; 0666 unless set.
    void SetCreateMode(unsigned mode) { iCreateMode = mode; }

    int Fd() const { return iFd; }
    std::error_code Write(const void* data, size_t size) { return WriteAll(iFd, data, size); }

    // Renames the file to its final name, replacing what is there. A link of that name is
    // replaced, never written through; a folder of that name makes Commit fail. With
    // `durable`, the data are flushed to the disk before the rename and the folder after it,
    // so that after a crash either the old or the new file is there, complete.
    std::error_code Commit(bool durable);

private:
    void Discard();

    int iDirFd = -1;
    int iFd = -1;
    std::string iName;
    std::string iTempName;
    bool iDirect = false;  // written in place under iName, not yet committed
    unsigned iCreateMode = 0666;
};

}  // namespace ombrel
