#include "state/progress.h"

#include <fmt/printf.h>

#include <algorithm>

#include "io/paths.h"
#include "model/json_models.h"
#include "state/ombrel_file.h"

namespace ombrel {

namespace {

const char kSender[] = "Progress";

TStrings SplitLines(const std::string& text) {
    TStrings lines;
    size_t start = 0;
    while (true) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
}

// The text with control characters written as escapes, so that a message shows it on one line.
std::string Printable(const std::string& text) {
    std::string shown;
    for (unsigned char c : text) {
        if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            shown += fmt::sprintf("\\x%02X", c);
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

// Why a value of the document cannot go into the manifest, naming the member; empty when all
// of them can. Only packages that the plan keeps (those with files) are looked at.
std::string ManifestFault(const json::TVersionResponse& document) {
    auto describe = [](const std::string& member, const std::string& value,
                       const std::string& fault) {
        return fmt::sprintf("\"%s\" (\"%s\") cannot be recorded in the manifest: %s", member,
                            Printable(value), fault);
    };
    if (std::string fault = ManifestValueFault(document.Version); !fault.empty()) {
        return describe("version", document.Version, fault);
    }
    for (size_t i = 0; i < document.Packages.size(); ++i) {
        const json::TPackage& package = document.Packages[i];
        if (package.Files.empty()) continue;
        const std::string member = fmt::sprintf("packages[%d].", i);
        if (std::string fault = ManifestPackageFault(package.Name, true); !fault.empty()) {
            return describe(member + "name", package.Name, fault);
        }
        if (std::string fault = ManifestPackageFault(package.Version, false); !fault.empty()) {
            return describe(member + "version", package.Version, fault);
        }
        if (package.Filename.empty()) continue;
        // Recorded as installed: separators "/", "." parts dropped. A name that cannot be
        // installed at all is refused by the copy plan, naming the package.
        std::string recorded;
        try {
            recorded = JoinInside("", package.Filename);
        } catch (const EPathError&) {
            continue;
        }
        if (std::string fault = ManifestFileFault(recorded); !fault.empty()) {
            return describe(member + "filename", package.Filename, fault);
        }
    }
    return "";
}

}  // namespace

TProgress::TProgress(IOInterfacePtr IO, IMessagesPtr Messages)
    : Messages(std::move(Messages)), IO(std::move(IO)) {}

void TProgress::ReportError(const std::string& text) { Messages->Error(text, kSender); }

void TProgress::Clear() {
    Version.clear();
    iPackages.clear();
    iDoomedFiles.clear();
    iDoomedPackages.clear();
}

bool TProgress::ReadVersionDocument(const std::string& text, const std::string& source) {
    Clear();
    json::TVersionResponse document;
    std::string errorText;
    switch (json::ReadVersionDocument(text, document, errorText)) {
        case json::TReadResult::Error:
            ReportError(fmt::sprintf("bad progress data in %s: %s", source, errorText));
            return false;
        case json::TReadResult::NoDocument: return false;
        case json::TReadResult::Document: break;
    }
    if (std::string fault = ManifestFault(document); !fault.empty()) {
        ReportError(fmt::sprintf("bad progress data in %s: %s", source, fault));
        return false;
    }
    Version = std::move(document.Version);
    for (auto& entry : document.Packages) {
        if (entry.Files.empty()) continue;
        auto package = std::make_unique<TPackage>();
        package->Id = entry.Id;
        package->Name = std::move(entry.Name);
        package->Version = std::move(entry.Version);
        package->Filename = std::move(entry.Filename);
        package->Files = std::move(entry.Files);
        package->PackageMode = TPackageMode::binary;
        package->Size = entry.Size;
        package->Sha256 = std::move(entry.Sha256);
        iPackages.push_back(std::move(package));
    }
    iDoomedPackages = std::move(document.PackagesToDelete);
    iDoomedFiles = std::move(document.FilesToDelete);
    return true;
}

bool TProgress::SetApiVersionResponse(const std::string& apiResponse) {
    return ReadVersionDocument(apiResponse, "Api-Response");
}

bool TProgress::SetApiPackageResponse(const std::string& apiResponse, TPackageMode packageMode) {
    Clear();
    json::TPackage document;
    std::string errorText;
    switch (json::ReadPackageDocument(apiResponse, document, errorText)) {
        case json::TReadResult::Error:
            ReportError(fmt::sprintf("bad  package information data in %s: %s", "API-Response",
                                     errorText));
            return false;
        case json::TReadResult::NoDocument: return false;
        case json::TReadResult::Document: break;
    }
    Version = document.Version;
    auto package = std::make_unique<TPackage>();
    package->Id = document.Id;
    package->Name = std::move(document.Name);
    package->Version = document.Version;
    if (document.Build > 0) package->Version += "." + std::to_string(document.Build);
    package->Filename = std::move(document.Filename);
    package->Files = {"*"};
    package->PackageMode = packageMode;
    const bool source = packageMode == TPackageMode::source;
    package->Size = source ? document.SourceSize : document.Size;
    package->Sha256 = source ? document.SourceSha256 : document.Sha256;
    iPackages.push_back(std::move(package));
    return true;
}

bool TProgress::LoadFromFile(const std::string& FileName) {
    if (!IO->FileExists(FileName)) return false;
    TStrings lines;
    if (!IO->GetLines(FileName, lines)) return false;
    std::string text;
    for (const auto& line : lines) {
        text += line;
        text += '\n';
    }
    return ReadVersionDocument(text, FileName);
}

bool TProgress::SaveToFile(const std::string& FileName) {
    json::TVersionResponse document;
    document.Version = Version;
    document.Packages.reserve(iPackages.size());
    for (const auto& package : iPackages) {
        json::TPackage entry;
        entry.Id = package->Id;
        entry.Name = package->Name;
        entry.Version = package->Version;
        entry.Filename = package->Filename;
        entry.Files = package->Files;
        entry.Size = package->Size;
        entry.Sha256 = package->Sha256;
        document.Packages.push_back(std::move(entry));
    }
    document.PackagesToDelete = iDoomedPackages;
    document.FilesToDelete = iDoomedFiles;
    return IO->SetLines(FileName, SplitLines(json::WriteProgressDocument(document)));
}

bool TProgress::NothingTodo() const {
    return iPackages.empty() && iDoomedFiles.empty() && iDoomedPackages.empty();
}

bool TProgress::HasToDoIO() const { return !iPackages.empty() || !iDoomedFiles.empty(); }

void TProgress::RemoveFromPackages(const TPackage* package) {
    auto it = std::find_if(iPackages.begin(), iPackages.end(),
                           [package](const auto& p) { return p.get() == package; });
    if (it != iPackages.end()) iPackages.erase(it);
}

void TProgress::RemovePackage(const std::string& name) {
    auto it = std::find_if(iPackages.begin(), iPackages.end(),
                           [&name](const auto& p) { return p->Name == name; });
    if (it != iPackages.end()) iPackages.erase(it);
}

}  // namespace ombrel
