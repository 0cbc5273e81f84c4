#pragma once
// An in-memory file system service for the state tests: text files only, kept as line lists.

#include <map>
#include <string>

#include "io/io_interface.h"

namespace ombrel::testing {

class MemoryIO : public IOInterface {
public:
    std::map<std::string, TStrings> files;
    bool failSetLines = false;
    bool failGetLines = false;
    int setLinesCalls = 0;

    bool DirectoryExists(const std::string&) override { return true; }
    bool FileExists(const std::string& Path) override { return files.count(Path) != 0; }
    bool FileDelete(const std::string& path) override { return files.erase(path) != 0; }
    bool Copyfile(const std::string&, const std::string&) override { return false; }
    bool GetFiles(const std::string&, const TStrings&, TStrings& out) override {
        out.clear();
        return false;
    }
    bool GetFileHashList(const std::string&, const TStrings&, THashList& out) override {
        out.clear();
        return true;
    }
    bool GetLines(const std::string& Path, TStrings& lines) override {
        lines.clear();
        auto it = files.find(Path);
        if (failGetLines || it == files.end()) return false;
        lines = it->second;
        return true;
    }
    bool SetLines(const std::string& Path, const TStrings& lines) override {
        ++setLinesCalls;
        if (failSetLines) return false;
        files[Path] = lines;
        return true;
    }
    bool AppendLine(const std::string& Path, const std::string& line) override {
        auto it = files.find(Path);
        if (it == files.end()) return false;
        it->second.push_back(line);
        return true;
    }
    bool ByteToFile(const std::string&, const TBytes&) override { return false; }
    bool ForceDirectory(const std::string&) override { return true; }
    bool ExtractZipFile(const std::string&, const std::string&) override { return false; }
    bool DirectoryDeleteIfEmpty(const std::string&) override { return false; }
    bool CanFileBeOverwritten(const std::string&) override { return true; }
};

// The bytes of a text file as the file system service writes it: UTF-8 byte-order mark, then
// every line followed by CR LF.
inline std::string RenderTextFile(const TStrings& lines) {
    std::string bytes = "\xEF\xBB\xBF";
    for (const auto& line : lines) bytes += line + "\r\n";
    return bytes;
}

}  // namespace ombrel::testing
