#pragma once
// IO.CopyBuffer: the copy plan. For every package of a work plan, the files to copy out of the
// package cache into the installation folder, each with its name in the package, its source and
// its target. Reports go to the sink under "IO.CopyBuffer".

#include <memory>
#include <string>
#include <vector>

#include "io/io_interface.h"
#include "messages/messages.h"
#include "state/package.h"

namespace ombrel {

// The part of the copy plan for one package.
class TCopyBuffer {
public:
    struct TCopyFile {
        TCopyFile(std::string PackageFile, std::string Source, std::string Sink)
            : PackageFile(std::move(PackageFile)), Source(std::move(Source)),
              Sink(std::move(Sink)) {}
        // Name within the package, "/" between folders: the name the manifest records.
        std::string PackageFile;
        // Full path in the package cache.
        std::string Source;
        // Full path in the installation folder.
        std::string Sink;
    };

    // Package is referred to, not owned: it must outlive every use of this buffer's Package.
    TCopyBuffer(const TPackage* Package, std::string Destination, IOInterfacePtr IO,
                IMessagesPtr Messages);

    void AddFile(const std::string& PackageFile, const std::string& Source,
                 const std::string& Sink);
    // Copies the files in order; stops at the first failure (the IO service reports it). Files
    // copied before stay.
    bool CopyFiles();
    // The PackageFile of every entry, in order.
    std::vector<std::string> GetPackageFiles() const;

    const TPackage* Package;
    std::vector<TCopyFile> Files;
    std::string Destination;

private:
    void Log(const std::string& msg);

    IMessagesPtr Messages;
    IOInterfacePtr IO;
};

// The whole copy plan: one buffer per package, in plan order.
class TCopyBuffers {
public:
    TCopyBuffers(IOInterfacePtr IO, IMessagesPtr Messages);

    // Replaces the contents by the plan for the packages. Single-file packages copy their
    // downloaded file; archive packages the files of their unpacked folder that match the
    // package's masks. Targets are kept inside destinationPath: a name that would leave it is
    // reported as an error. Stops at the first failure and answers false; the failing package
    // keeps its (empty or partial) buffer and later packages get none.
    bool Load(const std::vector<std::unique_ptr<TPackage>>& Packages, const std::string& tempPath,
              const std::string& destinationPath);
    // Tests every target; reports the first blocked file of each package as an error.
    bool CanFilesBeOverwritten();

    size_t size() const { return Items.size(); }
    bool empty() const { return Items.empty(); }
    TCopyBuffer& operator[](size_t index) { return *Items[index]; }
    auto begin() { return Items.begin(); }
    auto end() { return Items.end(); }

private:
    void Error(const std::string& msg);

    std::vector<std::unique_ptr<TCopyBuffer>> Items;
    IOInterfacePtr IO;
    IMessagesPtr Messages;
};

}  // namespace ombrel
