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

}  // namespace ombrel
