#include "engine/copy_buffer.h"

#include <fmt/printf.h>

#include <algorithm>
#include <string_view>

#include "io/paths.h"
#include "io/unpacked_marker.h"
#include "state/helper_package.h"

namespace ombrel {

namespace {
const char kSender[] = "IO.CopyBuffer";
}

TCopyBuffer::TCopyBuffer(const TPackage* Package, std::string Destination, IOInterfacePtr IO,
                         IMessagesPtr Messages)
    : Package(Package), Destination(std::move(Destination)), Messages(std::move(Messages)),
      IO(std::move(IO)) {}

void TCopyBuffer::AddFile(const std::string& PackageFile, const std::string& Source,
                          const std::string& Sink) {
    Files.emplace_back(PackageFile, Source, Sink);
}

void TCopyBuffer::AddFile(const std::string& PackageFile) { Files.emplace_back(PackageFile); }

std::string TCopyBuffer::SourceOf(const TCopyFile& file) const {
    return file.Paths ? file.Paths->first : PathJoin(SourceFolder, file.PackageFile);
}

std::string TCopyBuffer::SinkOf(const TCopyFile& file) const {
    return file.Paths ? file.Paths->second : PathJoin(Destination, file.PackageFile);
}

void TCopyBuffer::Log(const std::string& msg) { Messages->Log(msg, kSender); }

bool TCopyBuffer::CopyFiles() {
    ReportCopyStart();
    return CopyRange(0, Files.size(), *IO, *Messages);
}

void TCopyBuffer::ReportCopyStart() {
    if (IsArchivePackage(*Package)) {
        Log(fmt::sprintf("copy %s%c* to %s ...", GetPackageFolderName(*Package), kPathSeparator,
                         Destination));
    }
}

bool TCopyBuffer::CopyRange(size_t begin, size_t end, IOInterface& io, IMessages& messages) const {
    end = std::min(end, Files.size());
    if (begin >= end) return true;
    // The folder last found free of links: the next file in it needs no look again (the copy
    // itself never passes through a link either).
    std::string checked;
    return io.CopyFiles(end - begin, [&](size_t index, std::string& source, std::string& sink) {
        const TCopyFile& file = Files[begin + index];
        messages.Log(fmt::sprintf("copy %s to %s", file.PackageFile, Destination), kSender);
        sink = SinkOf(file);
        const size_t cut = sink.find_last_of("/\\");
        const std::string_view folder(sink.data(), cut == std::string::npos ? 0 : cut);
        // A link in the installation folder must not lead a package file outside it.
        if (checked.empty() || folder != checked) {
            if (PassesThroughLink(Destination, sink)) {
                messages.Error(fmt::sprintf("file %s of package %s cannot be installed: %s",
                                            file.PackageFile, Package->Name,
                                            "a folder on its way is a symbolic link"),
                               kSender);
                return false;
            }
            checked = folder;
        }
        source = SourceOf(file);
        return true;
    });
}

size_t TCopyBuffer::FirstBlocked(size_t begin, size_t end, IOInterface& io) const {
    end = std::min(end, Files.size());
    if (begin >= end) return end;
    return begin + io.FirstBlockedFile(end - begin, [&](size_t index) {
        return SinkOf(Files[begin + index]);
    });
}

std::vector<std::string> TCopyBuffer::GetPackageFiles() const {
    std::vector<std::string> names;
    names.reserve(Files.size());
    for (const auto& file : Files) names.push_back(file.PackageFile);
    return names;
}

TCopyBuffers::TCopyBuffers(IOInterfacePtr IO, IMessagesPtr Messages)
    : IO(std::move(IO)), Messages(std::move(Messages)) {}

void TCopyBuffers::Error(const std::string& msg) { Messages->Error(msg, kSender); }

bool TCopyBuffers::Load(const std::vector<std::unique_ptr<TPackage>>& Packages,
                        const std::string& tempPath, const std::string& destinationPath) {
    Items.clear();
    for (const auto& package : Packages) {
        Items.push_back(std::make_unique<TCopyBuffer>(package.get(), destinationPath, IO, Messages));
        TCopyBuffer& buffer = *Items.back();
        // Names come from the server and from archives: every target must stay inside the
        // installation folder.
        std::string name;
        try {
            if (!IsArchivePackage(*package)) {
                name = package->Filename;
                // Recorded under the name it is installed as ("/" between folders), so that
                // a repair finds it again.
                const std::string installed = JoinInside("", package->Filename);
                buffer.AddFile(installed, PathJoin(tempPath, GetPackageFileName(*package)),
                               PathJoin(destinationPath, installed));
                continue;
            }
            if (package->Files.empty()) continue;
            const std::string folder = PathJoin(tempPath, GetPackageFolderName(*package));
            buffer.SourceFolder = folder;
            TStrings listed;
            if (!IO->GetFileNames(folder, package->Files, listed)) return false;
            buffer.Files.reserve(listed.size());
            const bool slash = folder.back() == '/' || folder.back() == '\\';
            for (auto& listedName : listed) {
                name = std::move(listedName);
                std::string packageFile = NormalizeSeparators(name);
                // The package cache's own record of the unpacking is no file of the package.
                if (packageFile == kUnpackedMarkerName) continue;
                std::string source = slash ? folder + name : folder + kPathSeparator + name;
                std::string sink = JoinInside(destinationPath, name);
                // Most names need no paths of their own: they are made again when copying.
                if (packageFile == name && sink == PathJoin(destinationPath, packageFile) &&
                    source == PathJoin(folder, packageFile)) {
                    buffer.AddFile(packageFile);
                } else {
                    buffer.AddFile(packageFile, source, sink);
                }
            }
        } catch (const EPathError& e) {
            Error(fmt::sprintf("file %s of package %s cannot be installed: %s", name,
                               package->Name, e.what()));
            return false;
        }
    }
    return true;
}

bool TCopyBuffers::CanFilesBeOverwritten() {
    bool result = true;
    for (const auto& buffer : Items) {
        const size_t blocked = buffer->FirstBlocked(0, buffer->Files.size(), *IO);
        if (blocked < buffer->Files.size()) {
            ReportBlocked(*buffer, blocked);
            result = false;
        }
    }
    return result;
}

void TCopyBuffers::ReportBlocked(const TCopyBuffer& buffer, size_t index) {
    Error(fmt::sprintf("file %s cannot be overwritten", buffer.Files[index].PackageFile));
}

}  // namespace ombrel
