#pragma once
// Ombrel.OmbrelFile: the installation manifest, in the block storage format.

#include <string>
#include <vector>

#include "io/io_interface.h"

namespace ombrel {

// What the engine installed into one folder: application, version, packages and files.
// File and package names compare case-insensitively (ASCII lower case on both sides).
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

    const std::vector<TPackage>& Packages() const { return iPackages; }
    const std::vector<std::string>& Files() const { return iFiles; }

    std::string AppName;
    std::string Version;

private:
    bool IndexOfFile(const std::string& Name, size_t& Index) const;
    bool IndexOfPackage(const std::string& Name, size_t& Index) const;

    IOInterfacePtr IO;
    std::vector<std::string> iFiles;
    std::vector<TPackage> iPackages;
};

}  // namespace ombrel
