#pragma once
// IO.CopyBuffer: the copy plan. For every package of a work plan, the files to copy out of the
// package cache into the installation folder, each with its name in the package, its source and
// its target. Reports go to the sink under "IO.CopyBuffer".

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "io/io_interface.h"
#include "messages/messages.h"
#include "model/package.h"

namespace ombrel {

// The part of the copy plan for one package.
class TCopyBuffer {
public:
    // A file to copy. Most files of an archive package lie below the buffer's SourceFolder and
    // go below its Destination under their PackageFile name: their paths are made when needed
    // (SourceOf, SinkOf) rather than kept, as a package may hold very many files.
    struct TCopyFile {
        explicit TCopyFile(std::string PackageFile) : PackageFile(std::move(PackageFile)) {}
        TCopyFile(std::string PackageFile, std::string Source, std::string Sink)
            : PackageFile(std::move(PackageFile)),
              Paths(std::make_unique<std::pair<std::string, std::string>>(std::move(Source),
                                                                           std::move(Sink))) {}
        // Name within the package, "/" between folders: the name the manifest records.
        std::string PackageFile;
        // Full paths in the package cache and in the installation folder; none for a file
        // named PackageFile below SourceFolder and Destination.
        std::unique_ptr<std::pair<std::string, std::string>> Paths;
    };

    // Package is referred to, not owned: it must outlive every use of this buffer's Package.
    TCopyBuffer(const TPackage* Package, std::string Destination, IOInterfacePtr IO,
                IMessagesPtr Messages);

    void AddFile(const std::string& PackageFile, const std::string& Source,
                 const std::string& Sink);
    // A file named PackageFile below both SourceFolder and Destination.
    void AddFile(const std::string& PackageFile);
    // Full path of the file in the package cache, and in the installation folder.
    std::string SourceOf(const TCopyFile& file) const;
    std::string SinkOf(const TCopyFile& file) const;
    // Copies the files in order; stops at the first failure (the IO service reports it). Files
    // copied before stay.
    bool CopyFiles();
    // The parts of CopyFiles, for copying a package's files on more than one thread: the report
    // that the package's copying begins, then the files [begin, end) with that service and sink.
    void ReportCopyStart();
    bool CopyRange(size_t begin, size_t end, IOInterface& io, IMessages& messages) const;
    // The first of the files [begin, end) that cannot be overwritten (io's verdict), or end.
    size_t FirstBlocked(size_t begin, size_t end, IOInterface& io) const;
    // The PackageFile of every entry, in order.
    std::vector<std::string> GetPackageFiles() const;

    const TPackage* Package;
    std::vector<TCopyFile> Files;
    std::string Destination;
    std::string SourceFolder;

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
    // The error CanFilesBeOverwritten reports for the file `index` of `buffer`.
    void ReportBlocked(const TCopyBuffer& buffer, size_t index);

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
