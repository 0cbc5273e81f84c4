#include "state/helper_package.h"

#include <fmt/printf.h>

#include "io/paths.h"

namespace ombrel {

std::string ExtractFileExt(std::string_view name) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return "";
    size_t sep = name.find_last_of("/\\");
    if (sep != std::string_view::npos && sep > dot) return "";
    return std::string(name.substr(dot));
}

std::string ExtractFileBase(std::string_view name) {
    size_t sep = name.find_last_of("/\\:");
    std::string_view last = sep == std::string_view::npos ? name : name.substr(sep + 1);
    std::string ext = ExtractFileExt(last);
    return std::string(last.substr(0, last.size() - ext.size()));
}

std::string GetPackageFileName(const TPackage& package) {
    const bool source = package.PackageMode == TPackageMode::source;
    if (package.Filename.empty()) {
        return source ? fmt::sprintf("%s.%s.src.zip", package.Name, package.Version)
                      : fmt::sprintf("%s.%s.zip", package.Name, package.Version);
    }
    CheckPathChars(package.Filename);
    const std::string base = ExtractFileBase(package.Filename);
    const std::string ext = ExtractFileExt(package.Filename);
    // The package name first: two packages may install files of the same name.
    return source ? fmt::sprintf("%s.%s.%s.src%s", package.Name, package.Version, base, ext)
                  : fmt::sprintf("%s.%s.%s%s", package.Name, package.Version, base, ext);
}

std::string GetPackageFolderName(const TPackage& package) {
    return package.PackageMode == TPackageMode::source
               ? fmt::sprintf("%s.src.%s", package.Name, package.Version)
               : fmt::sprintf("%s.%s", package.Name, package.Version);
}

bool IsArchivePackage(const TPackage& package) { return package.Filename.empty(); }

bool IsPlainFileName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    if (name.find_first_of("/\\") != std::string_view::npos) return false;
    // Path joining keeps a name in drive form ("C:x") as it is instead of putting it below the
    // folder, so such a name would land in the current folder.
    if (IsRootedPath(name)) return false;
    return !HasInvalidPathChars(name);
}

}  // namespace ombrel
