#pragma once
// Ombrel.OmbrelFile: the installation manifest, in the block storage format.

#include <string>
#include <string_view>
#include <vector>

#include "io/io_interface.h"
#include "io/named_list.h"

namespace ombrel {

// What the engine installed into one folder: application, version, packages and files.
// File and package names compare case-insensitively (ASCII lower case on both sides); lookups
// by name take constant time, so a manifest of many files is built and changed in linear time.
// Used on one thread at a time.
class TOmbrelFile {
public:
    struct TPackage {
        std::string Name;
        std::string Version;
    };

    explicit TOmbrelFile(IOInterfacePtr IO);

    // False when the file's lines cannot be read (the IO service reports why); the object is
    // then unchanged.
    bool Load(const std::string& FileName);
    // Answers the result of IOInterface::SetLines.
    bool Store(const std::string& FileName);

    bool AddFile(const std::string& Name);
    void AddFiles(const std::vector<std::string>& Filenames);
    bool DeleteFile(const std::string& Name);
    bool DeletePackage(const std::string& Name);
    bool AddOrUpdatePackage(const std::string& Name, const std::string& Version);

    // In list order. Good until the next change of the manifest.
    const std::vector<TPackage>& Packages() const { return iPackages.Items(); }
    const std::vector<std::string>& Files() const { return iFiles.Items(); }

    std::string AppName;
    std::string Version;

private:
    struct TFileName {
        const std::string& operator()(const std::string& file) const { return file; }
    };
    struct TPackageName {
        const std::string& operator()(const TPackage& package) const { return package.Name; }
    };

    IOInterfacePtr IO;
    TNamedList<std::string, TFileName> iFiles;
    TNamedList<TPackage, TPackageName> iPackages;
};

// What the manifest's lines can hold. Reading a manifest back trims every value and line,
// skips empty lines, takes a line that begins with ":" for the next block, and splits package
// lines at blanks, grouping what stands in double quotes. Each check answers why `text` cannot
// be recorded as it is (a short reason, "it holds a blank"), or an empty text when it can.
// Values that come from servers, archives, state files or the command line are checked where
// they enter, so that what is stored always reads back the same.

// The application name or the version (a value of its own line).
std::string ManifestValueFault(std::string_view text);
// A package name (never empty) or a package version (may be empty): one piece of a package line.
std::string ManifestPackageFault(std::string_view text, bool isName);
// The name of an installed file (a line of its own).
std::string ManifestFileFault(std::string_view text);

}  // namespace ombrel
