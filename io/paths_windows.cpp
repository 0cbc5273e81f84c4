#include <windows.h>

#include "io/paths.h"
#include "platform/win32_text.h"

namespace ombrel {

TPathOnDisk ProbePathOnDisk(const std::string& path) {
    DWORD attributes = GetFileAttributesW(Win32Path(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return TPathOnDisk::Missing;
    // Symbolic links, junctions and mount points are all reparse points.
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? TPathOnDisk::Link : TPathOnDisk::Other;
}

}  // namespace ombrel
