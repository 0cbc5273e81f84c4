#include "state/ombrel_file.h"

#include <fmt/printf.h>

#include "io/text.h"
#include "state/storage.h"

namespace ombrel {

namespace {

// Splits a package line at blanks (U+0020 only). Runs of blanks give no empty pieces; a
// stretch in double quotes is not split and keeps its quotes.
std::vector<std::string> SplitPackageLine(const std::string& line) {
    std::vector<std::string> pieces;
    std::string piece;
    bool quoted = false;
    for (char c : line) {
        if (c == '"') quoted = !quoted;
        if (c == ' ' && !quoted) {
            if (!piece.empty()) pieces.push_back(std::move(piece));
            piece.clear();
        } else {
            piece += c;
        }
    }
    if (!piece.empty()) pieces.push_back(std::move(piece));
    return pieces;
}

bool HasControlCharacter(std::string_view text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) return true;
    }
    return false;
}

bool IsTrimmedAway(char c) { return static_cast<unsigned char>(c) <= 0x20; }

}  // namespace

std::string ManifestValueFault(std::string_view text) {
    if (HasControlCharacter(text)) return "it holds a line break or another control character";
    if (!text.empty() && (IsTrimmedAway(text.front()) || IsTrimmedAway(text.back()))) {
        return "it begins or ends with a blank";
    }
    return "";
}

std::string ManifestPackageFault(std::string_view text, bool isName) {
    if (isName && text.empty()) return "it is empty";
    if (HasControlCharacter(text)) return "it holds a line break or another control character";
    if (text.find(' ') != std::string_view::npos) return "it holds a blank";
    if (text.find('"') != std::string_view::npos) return "it holds a double quotation mark";
    if (isName && text.front() == ':') return "it begins with ':'";
    return "";
}

std::string ManifestFileFault(std::string_view text) {
    if (text.empty()) return "it is empty";
    std::string fault = ManifestValueFault(text);
    if (!fault.empty()) return fault;
    if (text.front() == ':') return "it begins with ':'";
    return "";
}

TOmbrelFile::TOmbrelFile(IOInterfacePtr IO) : IO(std::move(IO)) {}

bool TOmbrelFile::Load(const std::string& FileName) {
    TStrings lines;
    if (!IO->GetLines(FileName, lines)) return false;
    TStorage storage(lines);

    iPackages.Clear();
    iFiles.Clear();

    TStorage::TBlock block;
    if (storage.GetBlock("files", block)) iFiles.Assign(std::move(block.Lines));
    if (storage.GetBlock("packages", block)) {
        std::vector<TPackage> packages;
        for (const auto& line : block.Lines) {
            std::vector<std::string> pieces = SplitPackageLine(line);
            TPackage package;
            if (!pieces.empty()) package.Name = Trim(pieces[0]);
            if (pieces.size() >= 2) package.Version = Trim(pieces[1]);
            packages.push_back(std::move(package));
        }
        iPackages.Assign(std::move(packages));
    }
    Version = storage.GetValue("version", "");
    AppName = storage.GetValue("app", "");
    return true;
}

bool TOmbrelFile::Store(const std::string& FileName) {
    TStrings lines;
    TStorage storage(lines);
    storage.SetValue("app", AppName);
    storage.SetValue("version", Version);
    TStrings packageLines;
    packageLines.reserve(iPackages.size());
    for (const auto& package : iPackages.Items()) {
        packageLines.push_back(fmt::sprintf("%s %s", package.Name, package.Version));
    }
    storage.SetLines("packages", packageLines);
    storage.SetLines("files", iFiles.Items());
    return IO->SetLines(FileName, lines);
}

bool TOmbrelFile::AddFile(const std::string& Name) {
    iFiles.AppendUnique(Name);
    return true;
}

void TOmbrelFile::AddFiles(const std::vector<std::string>& Filenames) {
    for (const auto& name : Filenames) AddFile(name);
}

bool TOmbrelFile::DeleteFile(const std::string& Name) {
    iFiles.Remove(Name);
    return true;
}

bool TOmbrelFile::DeletePackage(const std::string& Name) {
    iPackages.Remove(Name);
    return true;
}

bool TOmbrelFile::AddOrUpdatePackage(const std::string& Name, const std::string& Version) {
    if (TPackage* package = iPackages.Find(Name)) {
        package->Version = Version;
    } else {
        iPackages.Append({Name, Version});
    }
    return true;
}

}  // namespace ombrel
