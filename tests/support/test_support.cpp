#include "tests/support/test_support.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

namespace ombrel::testing {

const char* LevelName(Level level) {
    switch (level) {
        case Level::Error: return "error";
        case Level::Warning: return "warning";
        case Level::Log: return "log";
        case Level::Debug: return "debug";
        case Level::Progress: return "progress";
    }
    return "?";
}

void CollectingMessages::Error(const std::string& msg, const std::string& sender) {
    reports.push_back({Level::Error, msg, sender});
}
void CollectingMessages::Warning(const std::string& msg, const std::string& sender) {
    reports.push_back({Level::Warning, msg, sender});
}
void CollectingMessages::Log(const std::string& msg, const std::string& sender) {
    reports.push_back({Level::Log, msg, sender});
}
void CollectingMessages::Debug(const std::string& msg, const std::string& sender) {
    reports.push_back({Level::Debug, msg, sender});
}
void CollectingMessages::Progress(const std::string& caption, int32_t percent) {
    reports.push_back({Level::Progress, caption, "", percent});
}

std::vector<std::string> CollectingMessages::Texts(Level level) const {
    std::vector<std::string> result;
    for (const auto& r : reports) {
        if (r.level == level) result.push_back(r.text);
    }
    return result;
}

size_t CollectingMessages::Count(Level level) const { return Texts(level).size(); }

std::string CollectingMessages::Dump() const {
    std::ostringstream out;
    for (const auto& r : reports) {
        if (r.level == Level::Progress) {
            out << "progress|" << r.text << "|" << r.percent << "\n";
        } else {
            out << LevelName(r.level) << "|" << r.sender << "|" << r.text << "\n";
        }
    }
    return out.str();
}

TempFolder::TempFolder() {
    std::random_device rd;
    std::mt19937_64 gen(rd());
    auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = base / ("ombrel-test-" + std::to_string(getpid()) + "-" +
                                 std::to_string(gen() % 1000000000ULL));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec)) {
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary test folder");
}

TempFolder::~TempFolder() {
    std::error_code ec;
    // Make everything writable first, so read-only leftovers of a test go too.
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code ignore;
        if (!it->is_symlink(ignore)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignore);
        }
    }
    std::filesystem::remove_all(path_, ec);
}

std::string TempFolder::operator/(const std::string& relative) const {
    return path_ + "/" + relative;
}

std::string TempFolder::Write(const std::string& relative, const std::string& content) const {
    // An absolute path is taken as it is, as Read does.
    std::string full = std::filesystem::path(relative).is_absolute() ? relative : *this / relative;
    WriteFileBytes(full, content);
    return full;
}

std::string TempFolder::Read(const std::string& relative) const {
    if (std::filesystem::path(relative).is_absolute()) return ReadFileBytes(relative);
    return ReadFileBytes(*this / relative);
}

namespace {

// Paths are UTF-8, also where the system's narrow text is another code page.
std::filesystem::path Utf8Path(const std::string& path) {
    return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

}  // namespace

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(Utf8Path(path), std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::string& content) {
    const std::filesystem::path p = Utf8Path(path);
    if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out << content;
}

std::string BinDir() {
    const char* dir = std::getenv("OMBREL_BIN_DIR");
    return dir != nullptr ? dir : "build/bin";
}

std::string SourceDir() {
    const char* dir = std::getenv("OMBREL_SOURCE_DIR");
    return dir != nullptr ? dir : ".";
}

}  // namespace ombrel::testing
