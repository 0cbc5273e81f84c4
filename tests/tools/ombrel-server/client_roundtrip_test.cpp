// The server's answers as our own client, work plan and engine read them.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "api/rest_api_client.h"
#include "engine/command_line_options.h"
#include "engine/ombrel.h"
#include "io/io_system.h"
#include "model/json_models.h"
#include "state/ombrel_file.h"
#include "state/progress.h"
#include "tests/tools/ombrel-server/server_test_support.h"
#include "tools/ombrel-server/digest.h"

namespace ombrel::server {
namespace {

namespace fs = std::filesystem;
using ombrel::testing::CollectingMessages;
using ombrel::testing::Level;
using ombrel::testing::TempFolder;
using ::testing::ElementsAre;
using testing::FilePackage;
using testing::FolderPackage;
using ::testing::IsEmpty;
using testing::PublishOk;
using testing::TRunningServer;

using Strings = std::vector<std::string>;

// demo on stable: 1.0 (core, data, tool, legacy), 1.1 (core changed, old.txt and legacy gone);
// on beta: 1.2 (core and tool changed).
class ClientRoundTripTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tmp.Write("core/bin/run", "#!/bin/sh\necho run\n");
        chmod((tmp / "core/bin/run").c_str(), 0755);
        tmp.Write("core/README.txt", "readme 1\n");
        tmp.Write("core/old.txt", "old\n");
        tmp.Write("data/a.dat", "data\n");
        tmp.Write("data/skip.txt", "not installed\n");
        tmp.Write("tool", "tool 1\n");
        tmp.Write("legacy/legacy/l.txt", "legacy\n");
        v10 = PublishOk(
            Store(), "demo", "1.0",
            {FolderPackage("core", tmp / "core"), FolderPackage("data", tmp / "data", {"*.dat"}),
             FilePackage("tool", tmp / "tool", "bin/tool"),
             FolderPackage("legacy", tmp / "legacy")});
        tmp.Write("core/README.txt", "readme 2\n");
        fs::remove(tmp / "core/old.txt");
        v11 = PublishOk(
            Store(), "demo", "1.1",
            {FolderPackage("core", tmp / "core"), FolderPackage("data", tmp / "data", {"*.dat"}),
             FilePackage("tool", tmp / "tool", "bin/tool")});
        tmp.Write("core/README.txt", "readme 3\n");
        tmp.Write("tool", "tool 2\n");
        v12 = PublishOk(
            Store(), "demo", "1.2",
            {FolderPackage("core", tmp / "core"), FolderPackage("data", tmp / "data", {"*.dat"}),
             FilePackage("tool", tmp / "tool", "bin/tool")},
            "beta");
        server = std::make_unique<TRunningServer>(Store());
        messages = std::make_shared<CollectingMessages>();
        io = std::make_shared<TIO>(messages);
        // The engine's package cache goes below the test's folder.
        setenv("XDG_CACHE_HOME", (tmp / "cache").c_str(), 1);
    }
    void TearDown() override { unsetenv("XDG_CACHE_HOME"); }

    std::string Store() const { return tmp / "store"; }

    std::shared_ptr<TCommandLineOptions> Options(const std::string& channel = "") const {
        auto options = std::make_shared<TCommandLineOptions>();
        options->iAppName = "demo";
        options->iApiUrl = server->BaseUrl();
        options->iApiKey = TRunningServer::Key();
        options->iUpdateChannel = channel;
        options->iDestination = tmp / "install";
        return options;
    }
    std::shared_ptr<TApiClient> Client(const std::string& channel = "") const {
        return std::make_shared<TApiClient>(Options(channel), messages);
    }
    // The answer read as a work plan.
    std::unique_ptr<TProgress> Plan(const std::string& response) const {
        auto plan = std::make_unique<TProgress>(io, messages);
        EXPECT_TRUE(plan->SetApiVersionResponse(response)) << messages->Dump();
        return plan;
    }
    // One engine run as the installer makes it; the run must succeed without any error.
    std::shared_ptr<CollectingMessages> RunEngine(std::shared_ptr<TCommandLineOptions> options) {
        auto sink = std::make_shared<CollectingMessages>();
        TOmbrel engine(options, std::make_shared<TIO>(sink), sink,
                       std::make_shared<TApiClient>(options, sink));
        engine.Execute();
        EXPECT_TRUE(engine.Success()) << engine.ErrorText();
        EXPECT_EQ(sink->Count(Level::Error), 0u) << sink->Dump();
        return sink;
    }
    static Strings Packages(const TProgress& plan) {
        Strings result;
        for (const auto& p : plan.Packages()) result.push_back(p->Name + " " + p->Version);
        return result;
    }

    TempFolder tmp;
    std::vector<TPublishedPackage> v10, v11, v12;
    std::unique_ptr<TRunningServer> server;
    std::shared_ptr<CollectingMessages> messages;
    std::shared_ptr<TIO> io;
};

TEST_F(ClientRoundTripTest, InstallAnswersBecomeWorkPlans) {
    auto client = Client();
    std::string response;
    ASSERT_TRUE(client->GetInstallInfoForLatest("demo", response)) << client->ErrorText();
    auto latest = Plan(response);
    EXPECT_EQ(latest->Version, "1.1");
    EXPECT_THAT(Packages(*latest), ElementsAre("core 1.1", "data 1.0", "tool 1.0"));
    const auto& tool = *latest->Packages()[2];
    EXPECT_EQ(tool.Id, v11[2].Id);
    EXPECT_EQ(tool.Filename, "bin/tool");
    EXPECT_EQ(tool.Files, Strings{"*"});
    EXPECT_EQ(latest->Packages()[1]->Files, Strings{"*.dat"});
    EXPECT_TRUE(latest->Packages()[0]->Filename.empty());

    ASSERT_TRUE(client->GetInstallInfoForVersion("demo", "1.0", response));
    EXPECT_THAT(Packages(*Plan(response)),
                ElementsAre("core 1.0", "data 1.0", "tool 1.0", "legacy 1.0"));

    ASSERT_TRUE(Client("beta")->GetInstallInfoForLatest("demo", response));
    EXPECT_EQ(Plan(response)->Version, "1.2");
}

TEST_F(ClientRoundTripTest, UpdateForceAndRepairAnswersBecomeWorkPlans) {
    auto client = Client();
    std::string response;
    ASSERT_TRUE(client->GetUpdateInfoForVersion("demo", "1.0", response)) << client->ErrorText();
    auto update = Plan(response);
    EXPECT_EQ(update->Version, "1.1");
    EXPECT_THAT(Packages(*update), ElementsAre("core 1.1"));
    EXPECT_THAT(update->DoomedPackages(), ElementsAre("legacy"));
    EXPECT_THAT(update->DoomedFiles(), ElementsAre("old.txt", "legacy/l.txt"));

    ASSERT_TRUE(client->GetUpdateInfoForVersion("demo", "1.1", response));
    EXPECT_TRUE(Plan(response)->NothingTodo());

    TOmbrelFile manifest(io);
    manifest.AddOrUpdatePackage("core", "1.1");
    manifest.AddOrUpdatePackage("data", "1.0");
    manifest.AddOrUpdatePackage("tool", "1.0");
    ASSERT_TRUE(client->GetVersionInfoForVersion("demo", "1.0", manifest, response))
        << client->ErrorText();
    auto force = Plan(response);
    EXPECT_EQ(force->Version, "1.0");
    EXPECT_THAT(Packages(*force), ElementsAre("core 1.0", "legacy 1.0"));

    THashList hashes = {{"bin/run", Md5OfText("#!/bin/sh\necho run\n")},
                        {"README.txt", Md5OfText("edited\n")},
                        {"a.dat", Md5OfText("data\n")}};  // bin/tool is missing
    ASSERT_TRUE(client->GetRepairInfoForVersion("demo", "1.1", hashes, response))
        << client->ErrorText();
    auto repair = Plan(response);
    EXPECT_EQ(repair->Version, "1.1");
    EXPECT_THAT(Packages(*repair), ElementsAre("core 1.1", "tool 1.0"));
    EXPECT_EQ(messages->Count(Level::Error), 0u) << messages->Dump();
}

TEST_F(ClientRoundTripTest, PackageInformationAndDownloads) {
    auto client = Client();
    std::string response;
    ASSERT_TRUE(client->GetInfoForPackage("core", response)) << client->ErrorText();
    std::vector<json::TPackage> all;
    std::string error;
    ASSERT_TRUE(json::ReadPackageArray(response, all, error)) << error;
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[2].Version, "1.2");

    ASSERT_TRUE(client->GetInfoForPackage("tool", "1.0", response)) << client->ErrorText();
    TProgress plan(io, messages);
    ASSERT_TRUE(plan.SetApiPackageResponse(response, TPackageMode::binary)) << messages->Dump();
    ASSERT_EQ(plan.Packages().size(), 1u);
    EXPECT_EQ(plan.Packages()[0]->Id, v10[2].Id);
    EXPECT_EQ(plan.Packages()[0]->Version, "1.0");
    EXPECT_EQ(plan.Packages()[0]->Filename, "bin/tool");

    TBytes bytes;
    ASSERT_TRUE(client->DownloadBinaryPackage(v10[2].Id, bytes)) << client->ErrorText();
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "tool 1\n");
    std::string path = tmp / "download.zip";
    ASSERT_TRUE(client->DownloadPackageToFile(v11[0].Id, TPackageMode::binary, path));
    EXPECT_FALSE(tmp.Read(path).empty());

    EXPECT_FALSE(client->DownloadSourcePackage(v10[2].Id, bytes));
    EXPECT_THAT(client->ErrorText(),
                ::testing::HasSubstr("request failed (404): no source published for package id"));
    EXPECT_TRUE(client->Ping());
}

TEST_F(ClientRoundTripTest, WrongKeyIsRefused) {
    auto options = Options();
    options->iApiKey = "not-the-key";
    TApiClient client(options, messages);
    EXPECT_FALSE(client.Ping());
    std::string response;
    EXPECT_FALSE(client.GetInstallInfoForLatest("demo", response));
    EXPECT_EQ(client.ErrorText(), "request failed (401): invalid API key\r\n");
}

// With a download base, the client follows the redirect to the static file host.
TEST_F(ClientRoundTripTest, DownloadsFollowTheRedirectToAStaticHost) {
    httplib::Server files;
    ASSERT_TRUE(files.set_mount_point("/packages", FilesDir(Store())));
    int port = files.bind_to_any_port("127.0.0.1");
    std::thread thread([&] { files.listen_after_bind(); });
    while (!files.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    TRunningServer redirecting(Store(), "http://127.0.0.1:" + std::to_string(port) + "/packages");
    auto options = Options();
    options->iApiUrl = redirecting.BaseUrl();
    TApiClient client(options, messages);
    TBytes bytes;
    EXPECT_TRUE(client.DownloadBinaryPackage(v12[2].Id, bytes)) << client.ErrorText();
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "tool 2\n");
    files.stop();
    thread.join();
}

// The engine installs, updates, repairs and changes channel against the server.
TEST_F(ClientRoundTripTest, EngineRunsAgainstTheServer) {
    const std::string dest = tmp / "install";

    auto options = Options();
    options->iVersion = "1.0";
    RunEngine(options);
    EXPECT_EQ(tmp.Read(dest + "/README.txt"), "readme 1\n");
    EXPECT_EQ(tmp.Read(dest + "/old.txt"), "old\n");
    EXPECT_EQ(tmp.Read(dest + "/legacy/l.txt"), "legacy\n");
    EXPECT_EQ(tmp.Read(dest + "/bin/tool"), "tool 1\n");
    EXPECT_FALSE(fs::exists(dest + "/skip.txt"));
    EXPECT_TRUE((fs::status(dest + "/bin/run").permissions() & fs::perms::owner_exec) !=
                fs::perms::none);

    RunEngine(Options());  // update to the highest on stable
    EXPECT_EQ(tmp.Read(dest + "/README.txt"), "readme 2\n");
    EXPECT_FALSE(fs::exists(dest + "/old.txt"));
    EXPECT_FALSE(fs::exists(dest + "/legacy"));

    tmp.Write(dest + "/README.txt", "damaged\n");
    fs::remove(dest + "/bin/tool");
    options = Options();
    options->iRepair = true;
    RunEngine(options);
    EXPECT_EQ(tmp.Read(dest + "/README.txt"), "readme 2\n");
    EXPECT_EQ(tmp.Read(dest + "/bin/tool"), "tool 1\n");

    RunEngine(Options("beta"));
    EXPECT_EQ(tmp.Read(dest + "/README.txt"), "readme 3\n");
    EXPECT_EQ(tmp.Read(dest + "/bin/tool"), "tool 2\n");
    TOmbrelFile manifest(io);
    ASSERT_TRUE(manifest.Load(dest + "/demo.ombrel"));
    EXPECT_EQ(manifest.Version, "1.2");
}

// An installation of stable 1.1 moves to the build of 1.1 published on another channel: the
// engine's update finds nothing to do and forces its version onto the channel.
TEST_F(ClientRoundTripTest, EngineMovesToTheOtherBuildOfItsVersion) {
    const std::string dest = tmp / "install";
    RunEngine(Options());
    EXPECT_EQ(tmp.Read(dest + "/README.txt"), "readme 2\n");

    tmp.Write("core/README.txt", "release candidate\n");
    PublishOk(Store(), "demo", "1.1", {FolderPackage("core", tmp / "core")}, "rc");
    auto sink = RunEngine(Options("rc"));
    EXPECT_THAT(sink->Texts(Level::Log),
                ::testing::Contains("forcing version 1.1 for update-channel option rc"));
    EXPECT_EQ(tmp.Read(dest + "/README.txt"), "release candidate\n");
    TOmbrelFile manifest(io);
    ASSERT_TRUE(manifest.Load(dest + "/demo.ombrel"));
    ASSERT_FALSE(manifest.Packages().empty());
    EXPECT_EQ(manifest.Packages()[0].Version, "1.1.1");
}

}  // namespace
}  // namespace ombrel::server
