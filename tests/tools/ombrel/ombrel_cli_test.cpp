// The ombrel executable end to end: real releases published by ombrel-server, served on
// 127.0.0.1, installed, updated, repaired and continued by real runs of ombrel.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/io/child_process.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_support.h"
#include "tests/tools/ombrel/ombrel_cli_support.h"

namespace ombrel::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using testing::ChildProcess;
using testing::Hold;

const char kBom[] = "\xEF\xBB\xBF";

class OmbrelCli : public ::testing::Test {
protected:
    std::string Bin(const std::string& name) const { return BinDir() + "/" + name; }
    std::string Store() const { return tmp / "store"; }
    std::string Dest() const { return tmp / "dest"; }
    std::string Manifest() const { return Dest() + "/Demo.ombrel"; }
    std::string ProgressFile() const { return Dest() + "/Demo.ombrel.progress"; }
    std::string Cache() const { return tmp / "cache/ombrel/" + server->HostPort(); }

    // Writes a folder of files below the test folder and answers its path.
    std::string Folder(const std::string& name, const std::map<std::string, std::string>& files) {
        for (const auto& [file, content] : files) tmp.Write(name + "/" + file, content);
        return tmp / name;
    }

    void Publish(const std::string& version, const std::vector<std::string>& packageArgs,
                 const std::string& channel = "stable") {
        std::vector<std::string> argv = {Bin("ombrel-server"), "publish", "--store", Store(),
                                         "--project", "Demo", "--version", version,
                                         "--channel", channel};
        argv.insert(argv.end(), packageArgs.begin(), packageArgs.end());
        ProcessResult r = RunProcess(argv, {}, true);
        ASSERT_EQ(r.exitCode, 0) << r.output;
    }

    void StartServer(const std::vector<std::string>& extra = {}) {
        server = std::make_unique<ServerProcess>(Bin("ombrel-server"), Store(), extra);
    }

    // Release 1.0: Demo (Demo.exe, readme.txt, sub/b.txt), Lib (lib/core.so), Extra.
    void PublishRelease1() {
        Publish("1.0", {"--package", "Demo=" + Folder("demo1", {{"Demo.exe", "demo 1.0"},
                                                                 {"readme.txt", "read me"},
                                                                 {"sub/b.txt", "b"}}),
                        "--package", "Lib=" + Folder("lib1", {{"lib/core.so", "core 1.0"}}),
                        "--package", "Extra=" + Folder("extra1", {{"extra.dat", "extra"}})});
    }
    // Release 1.1: Demo changed and without readme.txt, Lib unchanged, Extra gone.
    void PublishRelease11() {
        Publish("1.1", {"--package", "Demo=" + Folder("demo11", {{"Demo.exe", "demo 1.1"},
                                                                  {"sub/b.txt", "b"}}),
                        "--package", "Lib=" + tmp / "lib1"});
    }

    // Runs ombrel against the server, into Dest(), with the cache below the test folder.
    // The leak checker of a sanitizer build cannot run under strace.
    static constexpr const char* kNoLeakCheck = "ASAN_OPTIONS=detect_leaks=0";

    ProcessResult Ombrel(std::vector<std::string> args, std::vector<std::string> prefix = {}) {
        std::vector<std::string> argv = prefix;
        argv.push_back(Bin("ombrel"));
        if (server) argv.insert(argv.end(), {"--server", server->Url()});
        argv.insert(argv.end(), {"--dest", Dest()});
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = {"XDG_CACHE_HOME=" + (tmp / "cache")};
        if (!prefix.empty()) env.push_back(kNoLeakCheck);
        return RunProcess(argv, env);
    }

    // The files below a folder, relative, sorted, with their contents; state files left out.
    std::map<std::string, std::string> Installed() const {
        std::map<std::string, std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(Dest())) {
            if (!e.is_regular_file()) continue;
            std::string name = fs::relative(e.path(), Dest()).string();
            if (name.rfind("Demo.ombrel", 0) == 0) continue;
            // A copy killed before its rename leaves its temporary file behind.
            if (e.path().filename().string().rfind(".ombrel-", 0) == 0) continue;
            files[name] = ReadFileBytes(e.path().string());
        }
        return files;
    }

    // The names of a folder's files in the order a recursive listing meets them (a subfolder's
    // files where the subfolder is met), as the manifest records them.
    static void ListInOrder(const fs::path& root, const fs::path& folder,
                            std::vector<std::string>& names) {
        for (const auto& e : fs::directory_iterator(folder)) {
            if (e.path().filename() == ".ombrel-unpacked") continue;  // the cache's own marker
            if (e.is_directory()) {
                ListInOrder(root, e.path(), names);
            } else {
                names.push_back(fs::relative(e.path(), root).string());
            }
        }
    }
    std::string FilesOf(const std::string& unpacked) const {
        std::vector<std::string> names;
        ListInOrder(Cache() + "/" + unpacked, Cache() + "/" + unpacked, names);
        std::string lines;
        for (const auto& n : names) lines += n + "\r\n";
        return lines;
    }

    static std::vector<std::string> Downloads(const ProcessResult& r) {
        std::vector<std::string> names;
        for (const auto& line : r.Lines()) {
            const std::string prefix = "log: TOmbrel: download ";
            if (line.rfind(prefix, 0) == 0) names.push_back(line.substr(prefix.size()));
        }
        return names;
    }

    std::map<std::string, std::string> Release1Files() const {
        return {{"Demo.exe", "demo 1.0"}, {"readme.txt", "read me"}, {"sub/b.txt", "b"},
                {"lib/core.so", "core 1.0"}, {"extra.dat", "extra"}};
    }

    TempFolder tmp;
    std::unique_ptr<ServerProcess> server;
};

TEST_F(OmbrelCli, FreshInstallThenASecondRunThatDownloadsNothing) {
    PublishRelease1();
    StartServer();
    ProcessResult r = Ombrel({"--app", "Demo"});
    ASSERT_EQ(r.exitCode, 0) << r.output;

    EXPECT_EQ(Installed(), Release1Files());
    EXPECT_FALSE(fs::exists(ProgressFile()));
    EXPECT_EQ(ReadFileBytes(Manifest()),
              std::string(kBom) + ":app Demo\r\n\r\n:version 1.0\r\n\r\n" +
                  ":packages\r\nDemo 1.0\r\nLib 1.0\r\nExtra 1.0\r\n\r\n" + ":files\r\n" +
                  FilesOf("Demo.1.0") + FilesOf("Lib.1.0") + FilesOf("Extra.1.0") + "\r\n");
    for (const char* cached : {"Demo.1.0.zip", "Demo.1.0/sub/b.txt", "Lib.1.0.zip", "Extra.1.0"}) {
        EXPECT_TRUE(fs::exists(Cache() + "/" + cached)) << cached;
    }
    EXPECT_THAT(Downloads(r), ::testing::ElementsAre("Demo.1.0.zip", "Lib.1.0.zip", "Extra.1.0.zip"));
    // Every line is a report in the agreed shape, and without a terminal no progress is shown.
    for (const auto& line : r.Lines()) {
        EXPECT_TRUE(std::regex_match(line, std::regex("(error|warning|log|debug): [^:]+: .*")))
            << line;
    }
    EXPECT_EQ(r.output.find('\r'), std::string::npos);
    EXPECT_TRUE(r.HasLine("log: TOmbrel: mode: install"));
    EXPECT_EQ(r.CountPrefix("debug: "), 0u);
    ASSERT_FALSE(r.Lines().empty());
    EXPECT_THAT(r.Lines().back(),
                ::testing::MatchesRegex("log: ombrel: installed Demo 1\\.0 in " + Dest() +
                                        ": 3 packages \\([0-9]+ B\\) downloaded, [0-9.]+ s"));

    ProcessResult again = Ombrel({"--app", "Demo", "--verbose"});
    EXPECT_EQ(again.exitCode, 0) << again.output;
    EXPECT_TRUE(Downloads(again).empty()) << again.output;
    EXPECT_TRUE(again.HasLine("log: TOmbrel: mode: update"));
    EXPECT_TRUE(again.HasLine("log: TOmbrel: all fine"));
    EXPECT_TRUE(again.HasLine("debug: TApiClient: request: /api/update/version/Demo/1.0"));
    EXPECT_EQ(Installed(), Release1Files());
    ASSERT_FALSE(again.Lines().empty());
    EXPECT_THAT(again.Lines().back(),
                ::testing::MatchesRegex("log: ombrel: nothing to do: Demo 1\\.0 in " + Dest() +
                                        " is up to date, [0-9.]+ s"));
}

TEST_F(OmbrelCli, AFailedRunEndsWithASummaryToo) {
    std::vector<std::string> argv = {Bin("ombrel"), "--server", "http://127.0.0.1:1", "--dest",
                                     Dest(), "--app", "Demo"};
    ProcessResult r = RunProcess(argv, {"XDG_CACHE_HOME=" + (tmp / "cache")});
    EXPECT_EQ(r.exitCode, 1) << r.output;
    ASSERT_FALSE(r.Lines().empty());
    EXPECT_THAT(r.Lines().back(),
                ::testing::MatchesRegex("log: ombrel: failed after [0-9.]+ s with [0-9]+ errors?; "
                                        "0 packages \\(0 B\\) downloaded; .*"));

    ProcessResult usage = RunProcess({Bin("ombrel")}, {});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_THAT(usage.output, ::testing::StartsWith("Usage: ombrel --app NAME"));
}

TEST_F(OmbrelCli, UpdateChangesOnePackageAndRemovesAFileAndAPackage) {
    PublishRelease1();
    StartServer();
    ASSERT_EQ(Ombrel({"--app", "Demo"}).exitCode, 0);
    PublishRelease11();

    ProcessResult r = Ombrel({"--app", "Demo"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_THAT(Downloads(r), ::testing::ElementsAre("Demo.1.1.zip"));
    EXPECT_EQ(Installed(), (std::map<std::string, std::string>{
                               {"Demo.exe", "demo 1.1"}, {"sub/b.txt", "b"}, {"lib/core.so", "core 1.0"}}));
    const std::string manifest = ReadFileBytes(Manifest());
    EXPECT_THAT(manifest, HasSubstr(":version 1.1\r\n"));
    EXPECT_THAT(manifest, HasSubstr(":packages\r\nDemo 1.1\r\nLib 1.0\r\n\r\n"));
    EXPECT_THAT(manifest, ::testing::Not(HasSubstr("readme.txt")));
    EXPECT_THAT(manifest, ::testing::Not(HasSubstr("extra.dat")));
    EXPECT_FALSE(fs::exists(ProgressFile()));
}

TEST_F(OmbrelCli, AFileHeldOpenByAnotherProgramIsNamedWithTheProgramAndNothingChanges) {
    PublishRelease1();
    StartServer();
    ASSERT_EQ(Ombrel({"--app", "Demo"}).exitCode, 0);
    PublishRelease11();
    const std::string held = Dest() + "/Demo.exe";
    {
        ChildProcess child;
        child.HoldOpen(held, Hold::Read);
        ProcessResult r = Ombrel({"--app", "Demo"});
        EXPECT_EQ(r.exitCode, 1) << r.output;
        EXPECT_THAT(r.output, HasSubstr("log: TIO: cannot overwrite \"" + held +
                                        "\": the file is open in another process: " +
                                        child.Name() + " (pid " + std::to_string(child.Pid()) +
                                        ")\n"));
        EXPECT_THAT(r.output, HasSubstr("error: IO.CopyBuffer: file Demo.exe cannot be overwritten"));
        EXPECT_EQ(Installed(), Release1Files());
    }
    // Once the program has let go, the update goes through.
    ProcessResult r = Ombrel({"--app", "Demo"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(ReadFileBytes(held), "demo 1.1");
}

TEST_F(OmbrelCli, ChannelUpdateForcesTheInstalledVersionWhenThePlainAnswerHasNothing) {
    PublishRelease1();
    // The same version on the beta channel ships another Lib.
    Publish("1.0", {"--package", "Demo=" + tmp / "demo1", "--package",
                    "Lib=" + Folder("libbeta", {{"lib/core.so", "core beta"}}), "--package",
                    "Extra=" + tmp / "extra1"},
            "beta");
    StartServer();
    ASSERT_EQ(Ombrel({"--app", "Demo"}).exitCode, 0);

    ProcessResult r = Ombrel({"--app", "Demo", "--channel", "beta", "--verbose"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(r.HasLine("log: TOmbrel: forcing version 1.0 for update-channel option beta"))
        << r.output;
    EXPECT_TRUE(r.HasLine("debug: TApiClient: request: /api/update/version/Demo/1.0?channel=beta"));
    EXPECT_TRUE(r.HasLine("debug: TApiClient: request: /api/update/force/Demo/1.0?channel=beta"));
    EXPECT_EQ(Downloads(r).size(), 1u);
    EXPECT_EQ(ReadFileBytes(Dest() + "/lib/core.so"), "core beta");
}

TEST_F(OmbrelCli, ForceGoesBackToAnOlderVersion) {
    PublishRelease1();
    PublishRelease11();
    StartServer();
    ASSERT_EQ(Ombrel({"--app", "Demo"}).exitCode, 0);
    EXPECT_EQ(ReadFileBytes(Dest() + "/Demo.exe"), "demo 1.1");

    ProcessResult r = Ombrel({"--app", "Demo", "--version", "1.0"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(r.HasLine("log: TOmbrel: mode: force version 1.0"));
    EXPECT_EQ(ReadFileBytes(Dest() + "/Demo.exe"), "demo 1.0");
    EXPECT_EQ(ReadFileBytes(Dest() + "/readme.txt"), "read me");
    EXPECT_THAT(ReadFileBytes(Manifest()), HasSubstr(":version 1.0\r\n"));
}

TEST_F(OmbrelCli, RepairRestoresAChangedAndADeletedFile) {
    PublishRelease1();
    StartServer();
    ASSERT_EQ(Ombrel({"--app", "Demo"}).exitCode, 0);
    WriteFileBytes(Dest() + "/sub/b.txt", "tampered");
    fs::remove(Dest() + "/lib/core.so");

    ProcessResult r = Ombrel({"--app", "Demo", "--repair"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(r.HasLine("log: TOmbrel: mode: repair"));
    EXPECT_TRUE(r.HasLine("log: TOmbrel: generating hashlist ..."));
    EXPECT_EQ(Installed(), Release1Files());
    EXPECT_TRUE(Downloads(r).empty()) << "the packages come from the cache";
}

TEST_F(OmbrelCli, DependenciesOnlyLeavesTheApplicationPackageOut) {
    PublishRelease1();
    StartServer();
    ProcessResult r = Ombrel({"--app", "Demo", "--deps-only"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_TRUE(r.HasLine("log: TOmbrel: dependencies only"));
    EXPECT_EQ(Installed(), (std::map<std::string, std::string>{{"lib/core.so", "core 1.0"},
                                                                {"extra.dat", "extra"}}));
    EXPECT_THAT(ReadFileBytes(Manifest()), HasSubstr(":packages\r\nLib 1.0\r\nExtra 1.0\r\n\r\n"));
}

TEST_F(OmbrelCli, PackageModeInBothKindsAndInfoMode) {
    Publish("1.0", {"--package", "Lib=" + Folder("lib1", {{"lib/core.so", "core 1.0"}}),
                    "--source", "Lib=" + Folder("libsrc", {{"core.c", "int core;"}})});
    Publish("2.0", {"--package", "Lib=" + Folder("lib2", {{"lib/core.so", "core 2.0"}})});
    StartServer();

    ProcessResult binary = Ombrel({"--package", "Lib", "--version", "1.0"});
    ASSERT_EQ(binary.exitCode, 0) << binary.output;
    EXPECT_TRUE(binary.HasLine("log: TOmbrel: requesting package information from " +
                               server->Url() + " for Lib 1.0..."));
    EXPECT_EQ(ReadFileBytes(Dest() + "/lib/core.so"), "core 1.0");
    EXPECT_TRUE(fs::exists(Cache() + "/Lib.1.0.zip"));

    ProcessResult source = Ombrel({"--package", "Lib", "--version", "1.0", "--source"});
    ASSERT_EQ(source.exitCode, 0) << source.output;
    EXPECT_EQ(ReadFileBytes(Dest() + "/core.c"), "int core;");
    EXPECT_TRUE(fs::exists(Cache() + "/Lib.1.0.src.zip"));
    EXPECT_TRUE(fs::exists(Cache() + "/Lib.src.1.0/core.c"));
    // Package mode keeps no state files.
    for (const auto& e : fs::directory_iterator(Dest())) {
        EXPECT_EQ(e.path().filename().string().find(".ombrel"), std::string::npos) << e.path();
    }

    ProcessResult info = RunProcess({Bin("ombrel"), "--server", server->Url(), "--info",
                                     "--package", "Lib"},
                                    {"XDG_CACHE_HOME=" + (tmp / "cache")});
    ASSERT_EQ(info.exitCode, 0) << info.output;
    EXPECT_TRUE(info.HasLine("log: TOmbrel: Lib 1.0"));
    EXPECT_TRUE(info.HasLine("log: TOmbrel: Lib 2.0"));
}

TEST_F(OmbrelCli, StopBeforeCopyThenContinueFromTheProgressFile) {
    PublishRelease1();
    StartServer();
    ProcessResult stopped = Ombrel({"--app", "Demo", "--stop-before-copy"});
    ASSERT_EQ(stopped.exitCode, 0) << stopped.output;
    EXPECT_TRUE(fs::exists(ProgressFile()));
    EXPECT_FALSE(fs::exists(Manifest()));
    EXPECT_TRUE(Installed().empty());

    // The server is not even needed to continue: the plan and the packages are at hand.
    server->Stop();
    ProcessResult resumed = Ombrel({"--app", "Demo"});
    ASSERT_EQ(resumed.exitCode, 0) << resumed.output;
    EXPECT_TRUE(resumed.HasLine("log: TOmbrel: mode: continue"));
    EXPECT_EQ(Installed(), Release1Files());
    EXPECT_FALSE(fs::exists(ProgressFile()));
    EXPECT_THAT(ReadFileBytes(Manifest()), HasSubstr("Demo 1.0\r\nLib 1.0\r\nExtra 1.0\r\n"));
}

TEST_F(OmbrelCli, KilledDuringTheCopyThenContinued) {
    if (RunProcess({"strace", "-qq", "-o", "/dev/null", "true"}).exitCode != 0) {
        GTEST_SKIP() << "strace cannot trace here (scripts/install-deps.sh installs it)";
    }
    PublishRelease1();
    StartServer();
    // A first, traced run into other folders finds the call that fills the second file of the
    // copy; the real run is killed just before it.
    const std::string trace = tmp / "trace.txt";
    {
        std::vector<std::string> argv = {"strace", "-f", "-y", "-qq", "-e",
                                         "trace=copy_file_range", "-o", trace, Bin("ombrel"),
                                         "--server", server->Url(), "--dest", tmp / "reference",
                                         "--app", "Demo"};
        ProcessResult r = RunProcess(argv, {"XDG_CACHE_HOME=" + (tmp / "refcache"), kNoLeakCheck});
        ASSERT_EQ(r.exitCode, 0) << r.output;
    }
    std::ifstream in(trace);
    int index = 0, target = 0;
    std::set<std::string> filled;
    const std::string into = "<" + (tmp / "reference") + "/";
    for (std::string line; std::getline(in, line) && target == 0;) {
        if (line.find("copy_file_range(") == std::string::npos) continue;
        ++index;
        const size_t at = line.find(into);
        if (at == std::string::npos) continue;
        filled.insert(line.substr(at, line.find('>', at) - at));
        if (filled.size() == 2) target = index;
    }
    ASSERT_GT(target, 0) << ReadFileBytes(trace);

    ProcessResult killed =
        Ombrel({"--app", "Demo"}, {"strace", "-f", "-qq", "-o", "/dev/null", "-e",
                                   "trace=copy_file_range", "-e",
                                   "inject=copy_file_range:signal=KILL:when=" + std::to_string(target)});
    EXPECT_EQ(killed.signal, SIGKILL) << killed.output;
    EXPECT_TRUE(killed.HasLine("log: TOmbrel: prepare copy ...")) << killed.output;
    // Stopped in the middle of the copy: a file was copied before the kill (two threads share a
    // package's files, so another may have been finished too), not every one.
    const auto expected = Release1Files();
    size_t complete = 0;
    for (const auto& [name, content] : Installed()) {
        if (expected.count(name) && expected.at(name) == content) ++complete;
    }
    EXPECT_GE(complete, 1u);
    EXPECT_LT(complete, expected.size());
    EXPECT_TRUE(fs::exists(ProgressFile()));
    EXPECT_FALSE(fs::exists(Manifest()));

    ProcessResult resumed = Ombrel({"--app", "Demo"});
    ASSERT_EQ(resumed.exitCode, 0) << resumed.output;
    EXPECT_TRUE(resumed.HasLine("log: TOmbrel: mode: continue"));
    EXPECT_TRUE(Downloads(resumed).empty());
    EXPECT_EQ(Installed(), Release1Files());
    EXPECT_FALSE(fs::exists(ProgressFile()));
    EXPECT_TRUE(fs::exists(Manifest()));
}

TEST_F(OmbrelCli, ServerGoingAwayMidRunLeavesThePlanForTheNextRun) {
    PublishRelease1();
    // Downloads are sent on to a second server, which takes the real one down and cuts the
    // connection in the middle of the first package.
    HttpTestServer downloads;
    StartServer({"--download-base", downloads.BaseUrl()});
    downloads.Handle("GET", ".*", [this](const httplib::Request&, httplib::Response& res) {
        server->Kill();
        res.set_content_provider(
            1000, "application/zip", [](size_t, size_t, httplib::DataSink& sink) {
                sink.write("PK\x03\x04", 4);
                return false;
            });
    });
    const std::string url = server->Url();
    ProcessResult broken = Ombrel({"--app", "Demo"});
    EXPECT_EQ(broken.exitCode, 1) << broken.output;
    EXPECT_GE(broken.CountPrefix("error: TApiClient: "), 1u) << broken.output;
    EXPECT_TRUE(Installed().empty());
    EXPECT_TRUE(fs::exists(ProgressFile()));
    EXPECT_FALSE(fs::exists(Manifest()));
    // Nothing half-downloaded carries a package's name.
    const std::string cache = tmp / ("cache/ombrel/" + url.substr(url.find("://") + 3));
    EXPECT_FALSE(fs::exists(cache + "/Demo.1.0.zip"));

    StartServer();
    ProcessResult resumed = Ombrel({"--app", "Demo"});
    ASSERT_EQ(resumed.exitCode, 0) << resumed.output;
    EXPECT_TRUE(resumed.HasLine("log: TOmbrel: mode: continue"));
    EXPECT_EQ(Installed(), Release1Files());
}

TEST_F(OmbrelCli, DamagedArchiveInTheCacheIsFetchedAgainByTheNextRun) {
    PublishRelease1();
    StartServer();
    WriteFileBytes(Cache() + "/Lib.1.0.zip", "PK but not really an archive");

    // The server names the archive's size and digest: the damaged copy is replaced at once.
    ProcessResult first = Ombrel({"--app", "Demo"});
    ASSERT_EQ(first.exitCode, 0) << first.output;
    EXPECT_EQ(first.CountPrefix("warning: TOmbrel: cached package " + Cache() +
                                "/Lib.1.0.zip does not match (size "),
              1u)
        << first.output;
    EXPECT_THAT(Downloads(first),
                ::testing::ElementsAre("Demo.1.0.zip", "Lib.1.0.zip", "Extra.1.0.zip"));
    EXPECT_EQ(Installed(), Release1Files());
}

TEST_F(OmbrelCli, ExitStatusAndOutputLevels) {
    PublishRelease1();
    StartServer();
    struct Case {
        std::vector<std::string> args;
        int exit;
        const char* line;
    } cases[] = {
        {{"--app", "Demo", "--bogus"}, 2, nullptr},
        {{"--app", "Demo", "--api-key", " "}, 1, "error: TOmbrel: Authentifizierung leer"},
        {{"--app", "Nope"}, 1, "error: TApiClient: request failed (404): "},
        {{"--app", "Demo", "--quiet"}, 0, nullptr},
    };
    for (const auto& c : cases) {
        ProcessResult r = Ombrel(c.args);
        EXPECT_EQ(r.exitCode, c.exit) << c.args[2] << "\n" << r.output;
        if (c.line != nullptr) {
            EXPECT_GE(r.CountPrefix(c.line), 1u) << r.output;
        }
        if (c.exit == 2) {
            EXPECT_THAT(r.output, HasSubstr("--bogus"));
        }
        if (c.args.back() == "--quiet") {
            EXPECT_EQ(r.output, "");
        }
    }
    EXPECT_EQ(Installed(), Release1Files());
}

TEST_F(OmbrelCli, OnATerminalProgressIsOneLiveLineThatIsClearedAtTheEnd) {
    PublishRelease1();
    StartServer();
    const std::vector<std::string> env = {"XDG_CACHE_HOME=" + (tmp / "cache")};
    const std::string clear = "\r\033[K";
    ProcessResult r = RunOnTerminal(
        {Bin("ombrel"), "--server", server->Url(), "--dest", Dest(), "--app", "Demo"}, env);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(Installed(), Release1Files());
    // The first report is always shown; reports stay whole lines between the progress updates.
    EXPECT_THAT(r.output, HasSubstr(clear + "0% Start"));
    EXPECT_THAT(r.output, HasSubstr(clear + "log: TOmbrel: mode: install\r\n"));
    const size_t summary = r.output.rfind("log: ombrel: installed Demo 1.0 in " + Dest() + ": ");
    ASSERT_NE(summary, std::string::npos) << r.output;
    ASSERT_GE(summary, clear.size());
    EXPECT_EQ(r.output.substr(summary - clear.size(), clear.size()), clear)
        << "the progress line is cleared before the summary ends the run";
    EXPECT_EQ(r.output.find('\n', summary), r.output.size() - 1) << "the summary is the last line";

    ProcessResult quiet = RunOnTerminal(
        {Bin("ombrel"), "--server", server->Url(), "--dest", Dest(), "--app", "Demo", "--quiet"},
        env);
    EXPECT_EQ(quiet.exitCode, 0) << quiet.output;
    EXPECT_EQ(quiet.output, "") << "quiet shows errors and warnings only, and no progress";
}

TEST_F(OmbrelCli, SecondRunOnTheSameFolderIsRefusedWhileTheFirstHoldsIt) {
    PublishRelease1();
    StartServer();
    ProcessResult stopped = Ombrel({"--app", "Demo", "--stop-before-copy"});
    ASSERT_EQ(stopped.exitCode, 0);
    // Hold the folder's lock as a running engine would; the holder says when it has it.
    int fd = -1;
    pid_t holder = Spawn({"flock", Dest() + "/Demo.ombrel.lock", "sh", "-c", "echo locked; sleep 60"},
                         {}, true, fd);
    std::string said;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') said += c;
    ASSERT_EQ(said, "locked");
    ProcessResult refused = Ombrel({"--app", "Demo"});
    kill(-holder, SIGKILL);
    Wait(holder, fd);
    EXPECT_EQ(refused.exitCode, 1) << refused.output;
    EXPECT_TRUE(refused.HasLine("error: TOmbrel: installation folder " + Dest() +
                                " is in use by another run"))
        << refused.output;
    EXPECT_TRUE(Installed().empty());
    EXPECT_TRUE(fs::exists(ProgressFile()));
}

TEST_F(OmbrelCli, RunsSharingThePackageCacheFillItOneAtATime) {
    PublishRelease1();
    StartServer();
    fs::create_directories(Cache());
    int holderFd = -1;
    pid_t holder = Spawn({"flock", Cache() + "/.ombrel.lock", "sh", "-c", "echo locked; sleep 60"},
                         {}, true, holderFd);
    std::string said;
    char c;
    while (read(holderFd, &c, 1) == 1 && c != '\n') said += c;
    ASSERT_EQ(said, "locked");

    int fd = -1;
    pid_t run = Spawn({Bin("ombrel"), "--server", server->Url(), "--dest", Dest(), "--app", "Demo"},
                      {"XDG_CACHE_HOME=" + (tmp / "cache")}, false, fd);
    // Read up to the line that says the run waits; it must not have downloaded anything yet.
    std::string seen;
    const std::string waiting = "log: TOmbrel: package cache " + Cache() + " is in use by another run, waiting ...\n";
    while (seen.find(waiting) == std::string::npos && read(fd, &c, 1) == 1) seen += c;
    EXPECT_THAT(seen, HasSubstr(waiting));
    EXPECT_FALSE(fs::exists(Cache() + "/Demo.1.0.zip"));
    EXPECT_FALSE(fs::exists(Cache() + "/Demo.1.0.zip.part"));

    kill(-holder, SIGKILL);
    Wait(holder, holderFd);
    ProcessResult r = Wait(run, fd);
    EXPECT_EQ(r.exitCode, 0) << seen << r.output;
    EXPECT_EQ(Installed(), Release1Files());
}

TEST_F(OmbrelCli, PruneCacheRemovesWhatNoInstallationUsesAndSaysHowMuch) {
    PublishRelease1();
    StartServer();
    ASSERT_EQ(Ombrel({"--app", "Demo"}).exitCode, 0);
    PublishRelease11();
    ASSERT_EQ(Ombrel({"--app", "Demo"}).exitCode, 0);
    const std::string other = Cache() + "/127.0.0.1:1";  // another server's cache stays
    fs::create_directories(other);
    WriteFileBytes(Cache() + "/Demo.2.0.zip.part", "broken download");
    for (const char* cached : {"Demo.1.0.zip", "Demo.1.0", "Demo.1.1.zip", "Lib.1.0.zip", "Extra.1.0.zip"}) {
        ASSERT_TRUE(fs::exists(Cache() + "/" + cached)) << cached;
    }
    const std::vector<std::string> env = {"XDG_CACHE_HOME=" + (tmp / "cache"),
                                          "XDG_DATA_HOME=" + (tmp / "data")};

    // One installation: its packages at other versions go, other applications' stay.
    ProcessResult one = RunProcess({Bin("ombrel"), "--server", server->Url(), "--prune-cache",
                                    "--app", "Demo", "--dest", Dest()},
                                   env);
    ASSERT_EQ(one.exitCode, 0) << one.output;
    EXPECT_FALSE(fs::exists(Cache() + "/Demo.1.0.zip"));
    EXPECT_FALSE(fs::exists(Cache() + "/Demo.1.0"));
    EXPECT_FALSE(fs::exists(Cache() + "/Demo.2.0.zip.part"));
    for (const char* kept : {"Demo.1.1.zip", "Demo.1.1", "Lib.1.0.zip", "Lib.1.0", "Extra.1.0.zip"}) {
        EXPECT_TRUE(fs::exists(Cache() + "/" + kept)) << kept;
    }
    EXPECT_THAT(one.Lines().back(),
                ::testing::MatchesRegex("log: ombrel: pruned the package cache .*: 3 packages "
                                        "removed, [0-9.]+ (B|KiB) freed, [0-9.]+ s"));

    // The whole cache: only what a recorded installation uses stays.
    ProcessResult all = RunProcess({Bin("ombrel"), "--server", server->Url(), "--prune-cache",
                                    "--dest", Dest()},
                                   env);
    ASSERT_EQ(all.exitCode, 0) << all.output;
    EXPECT_FALSE(fs::exists(Cache() + "/Extra.1.0.zip"));
    EXPECT_FALSE(fs::exists(Cache() + "/Extra.1.0"));
    EXPECT_TRUE(fs::exists(Cache() + "/Demo.1.1.zip"));
    EXPECT_TRUE(fs::exists(Cache() + "/Lib.1.0"));
    EXPECT_TRUE(fs::is_directory(other));
    EXPECT_THAT(all.Lines().back(), HasSubstr(": 2 packages removed, "));

    // While a run fills the cache, pruning waits for it.
    int holderFd = -1;
    pid_t holder = Spawn({"flock", Cache() + "/.ombrel.lock", "sh", "-c", "echo locked; sleep 60"},
                         {}, true, holderFd);
    std::string said;
    char c;
    while (read(holderFd, &c, 1) == 1 && c != '\n') said += c;
    ASSERT_EQ(said, "locked");
    WriteFileBytes(Cache() + "/Old.1.0.zip", "unused");
    int fd = -1;
    pid_t prune = Spawn({Bin("ombrel"), "--server", server->Url(), "--prune-cache", "--dest", Dest()},
                        env, false, fd);
    std::string seen;
    const std::string waiting = " is in use by another run, waiting ...\n";
    while (seen.find(waiting) == std::string::npos && read(fd, &c, 1) == 1) seen += c;
    EXPECT_THAT(seen, HasSubstr(waiting));
    EXPECT_TRUE(fs::exists(Cache() + "/Old.1.0.zip"));
    kill(-holder, SIGKILL);
    Wait(holder, holderFd);
    ProcessResult waited = Wait(prune, fd);
    EXPECT_EQ(waited.exitCode, 0) << seen << waited.output;
    EXPECT_FALSE(fs::exists(Cache() + "/Old.1.0.zip"));
}

}  // namespace
}  // namespace ombrel::testing
