#pragma once
// The fixture of the engine's run tests: a real file system service that fails on request, a
// scripted server and a collecting sink, with the installation folder and the package cache
// below a fresh temporary folder. Shared by the tests of every platform (ombrel_test.cpp) and
// those of one (ombrel_posix_test.cpp, ombrel_windows_test.cpp).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/command_line_options.h"
#include "engine/ombrel.h"
#include "io/paths.h"
#include "platform/folders.h"
#include "tests/engine/engine_fakes.h"
#include "tests/support/test_support.h"

namespace ombrel::testing {

// The environment variable that names the folder holding the package cache ("ombrel" below it):
// XDG_CACHE_HOME on Linux, LOCALAPPDATA on Windows. Defined by the platform's test file.
extern const char* const kCacheHomeVariable;

// A relative name written with "/" as the platform writes it.
inline std::string N(std::string path) {
    std::replace(path.begin(), path.end(), '/', kPathSeparator);
    return path;
}

// A text as it stands between the quotes of a JSON string (Windows paths hold "\\").
inline std::string JsonEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

inline constexpr char kBom[] = "\xEF\xBB\xBF";

}  // namespace ombrel::testing

namespace ombrel {

class TOmbrelTest : public ::testing::Test {
protected:
    TOmbrelTest() {
        options->iAppName = "Demo";
        options->iDestination = Dest();
        options->iApiUrl = "http://updates.test:8080";
        SetCacheHome(T("cache"));
    }

    // A name below the test's folder, with the platform's separator.
    std::string T(const std::string& relative) const {
        return tmp.Path() + testing::N("/" + relative);
    }
    std::string Dest() const { return otherDest.empty() ? T("dest") : otherDest; }
    // The package cache as the engine names it, and its folder for the server of an address
    // (what follows the scheme of a URL).
    std::string CacheRoot() const { return T("cache/ombrel"); }
    std::string CacheFor(const std::string& address) const {
        return CacheRoot() + testing::N("/" + ServerFolderName(address));
    }
    std::string Cache() const { return CacheFor("updates.test:8080"); }
    std::string Manifest() const { return Dest() + testing::N("/Demo.ombrel"); }
    std::string ProgressFile() const { return Dest() + testing::N("/Demo.ombrel.progress"); }

    // Serves an archive package for binary download.
    void Serve(int id, const std::vector<std::pair<std::string, std::string>>& entries) {
        api->files["/api/package/download/" + std::to_string(id)] = testing::ZipBytes(entries);
    }

    void Run() {
        TOmbrel engine(options, io, messages, api);
        if (intercept) engine.OnInterceptBeforePackageCopy(intercept);
        engine.Execute();
        success = engine.Success();
        errorText = engine.ErrorText();
    }

    // Starts over with a fresh sink and an empty call record, as a new run of the program.
    void NextRun() {
        messages->reports.clear();
        api->calls.clear();
        api->errorTexts.clear();
    }

    // Every report except the per-entry progress of unpacking, one line each.
    std::vector<std::string> Story() const {
        std::vector<std::string> lines;
        for (const auto& r : messages->reports) {
            if (r.level == testing::Level::Progress) {
                if (r.text.rfind(tmp.Path(), 0) == 0) continue;
                lines.push_back("progress|" + r.text + "|" + std::to_string(r.percent));
            } else {
                lines.push_back(std::string(testing::LevelName(r.level)) + "|" + r.sender + "|" + r.text);
            }
        }
        return lines;
    }

    bool Exists(const std::string& path) const {
        return std::filesystem::exists(std::filesystem::symlink_status(path));
    }

    // Installs release 1.0 of Demo: package Demo (Demo.exe, sub/b.txt) and package Lib.
    void InstallRelease1() {
        api->answers["/api/update/install/Demo"] = R"({"version": "1.0", "packages": [
            {"id": 1, "name": "Demo", "version": "1.0", "files": ["*"]},
            {"id": 2, "name": "Lib", "version": "2.0", "files": ["*"]}]})";
        Serve(1, {{"Demo.exe", "demo 1"}, {"sub/b.txt", "b"}});
        Serve(2, {{"lib/core.so", "core 2"}});
        Run();
        ASSERT_TRUE(success) << messages->Dump();
        ASSERT_EQ(messages->Count(testing::Level::Error), 0u) << messages->Dump();
        NextRun();
    }

    // Where the package cache lives (its "ombrel" folder below `folder`).
    void SetCacheHome(const std::string& folder) {
        cacheHome.reset();
        cacheHome.emplace(testing::kCacheHomeVariable, folder);
    }

    testing::TempFolder tmp;
    std::optional<testing::ScopedEnv> cacheHome;
    std::shared_ptr<testing::CollectingMessages> messages =
        std::make_shared<testing::CollectingMessages>();
    std::shared_ptr<testing::FaultyIO> io = std::make_shared<testing::FaultyIO>(messages);
    std::shared_ptr<testing::FakeApiClient> api =
        std::make_shared<testing::FakeApiClient>(messages);
    std::shared_ptr<TCommandLineOptions> options = std::make_shared<TCommandLineOptions>();
    TOmbrel::TOnIntercept intercept;
    std::string otherDest;  // the installation folder when not the default one
    bool success = false;
    std::string errorText;
};

}  // namespace ombrel
