#pragma once
// Helper.Package: the names of a package's downloaded file and unpacked folder in the engine's
// package cache.

#include <string>
#include <string_view>

#include "model/package.h"

namespace ombrel {

// The extension of a name: from its last "." to the end, dot included, when that dot comes
// after the last "/" or "\"; otherwise "".
std::string ExtractFileExt(std::string_view name);

// The last component of a name (after the last "/", "\" or ":") without its extension.
std::string ExtractFileBase(std::string_view name);

// The downloaded file: "%s.%s.zip" (Name, Version) for an archive, "%s.%s.src.zip" in source
// mode; for a single-file package "%s.%s.%s%s" (Name, Version, base of Filename, extension of
// Filename), "%s.%s.%s.src%s" in source mode. So a name, a version and a kind always mean one
// file, whichever file name two packages install. Raises EPathError when Filename holds a
// character that paths may not contain.
std::string GetPackageFileName(const TPackage& package);

// The folder an archive is unpacked into: "%s.%s" (Name, Version), "%s.src.%s" in source mode.
std::string GetPackageFolderName(const TPackage& package);

// True when Filename is empty: the package installs the files of its unpacked folder.
bool IsArchivePackage(const TPackage& package);

// True when the name is usable as one entry of a folder: not empty, not "." or "..", not in
// drive form (a ":" as second character), and without separators or characters that paths may
// not contain. Package names and versions come from the server, so the names made from them are
// checked before they are joined to the cache.
bool IsPlainFileName(std::string_view name);

}  // namespace ombrel
