#include "io/io_interface.h"

namespace ombrel {

// Out of line, so that a program that links a service of its own does not pull in whichever
// unit of the library happened to hold a copy.
bool IOInterface::GetFileNames(const std::string& path, const TStrings& masks, TStrings& names) {
    if (!GetFiles(path, masks, names)) return false;
    size_t prefix = path.size();
    if (!path.empty() && path.back() != '/' && path.back() != '\\') ++prefix;
    for (auto& name : names) {
        if (name.size() > prefix) name.erase(0, prefix);
    }
    return true;
}

bool IOInterface::CopyFiles(size_t count, const TNextCopy& next) {
    std::string source, target;
    for (size_t i = 0; i < count; ++i) {
        if (!next(i, source, target) || !Copyfile(source, target)) return false;
    }
    return true;
}

size_t IOInterface::FirstBlockedFile(size_t count,
                                     const std::function<std::string(size_t index)>& pathOf) {
    for (size_t i = 0; i < count; ++i) {
        if (!CanFileBeOverwritten(pathOf(i))) return i;
    }
    return count;
}

}  // namespace ombrel
