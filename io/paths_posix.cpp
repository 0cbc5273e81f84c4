#include <sys/stat.h>

#include "io/paths.h"

namespace ombrel {

TPathOnDisk ProbePathOnDisk(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return TPathOnDisk::Missing;
    return S_ISLNK(st.st_mode) ? TPathOnDisk::Link : TPathOnDisk::Other;
}

}  // namespace ombrel
