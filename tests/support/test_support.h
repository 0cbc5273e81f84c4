#pragma once
// Fakes and fixtures shared by the test suites.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "messages/messages.h"

namespace ombrel::testing {

enum class Level { Error, Warning, Log, Debug, Progress };

const char* LevelName(Level level);

// One report as a sink received it. For Progress, `text` is the caption and `sender` is empty.
struct Report {
    Level level;
    std::string text;
    std::string sender;
    int32_t percent = 0;
};

// A sink that keeps every report, in order.
class CollectingMessages : public IMessages {
public:
    void Error(const std::string& msg, const std::string& sender) override;
    void Warning(const std::string& msg, const std::string& sender) override;
    void Log(const std::string& msg, const std::string& sender) override;
    void Debug(const std::string& msg, const std::string& sender) override;
    void Progress(const std::string& caption, int32_t percent) override;

    std::vector<Report> reports;

    // The texts of every report of that level, in order.
    std::vector<std::string> Texts(Level level) const;
    size_t Count(Level level) const;
    // One line per report, "<level>|<sender>|<text>" or "progress|<caption>|<percent>".
    std::string Dump() const;
};

// A fresh folder below the temporary folder, removed with everything in it on destruction.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // The folder, without a trailing "/".
    const std::string& Path() const { return path_; }
    // Path joined with a relative name.
    std::string operator/(const std::string& relative) const;
    // Writes a file below the folder, creating its parent folders.
    std::string Write(const std::string& relative, const std::string& content) const;
    // Reads a whole file below the folder (or an absolute path) as bytes.
    std::string Read(const std::string& relative) const;

private:
    std::string path_;
};

// Reads a whole file as bytes.
std::string ReadFileBytes(const std::string& path);
// Writes a whole file, creating its parent folders.
void WriteFileBytes(const std::string& path, const std::string& content);

// Sets an environment variable for the life of the object, then restores it (or unsets it).
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

// Sets or clears the immutable flag (chattr +i), which stops even root from changing a file;
// false where the file system or our rights do not allow it.
bool SetImmutable(const std::string& path, bool on);

// Folder of the built executables (build/bin), from OMBREL_BIN_DIR.
std::string BinDir();
// The project's source folder, from OMBREL_SOURCE_DIR.
std::string SourceDir();

}  // namespace ombrel::testing
