// The real ombrel-installer, stamped by ombrel-stamp, on the test run's display. Screenshots of
// the window go to <build>/test-screenshots/.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/http_test_server.h"
#include "tests/support/test_support.h"
#include "tests/tools/ombrel-installer/installer_test_support.h"
#include "tests/tools/ombrel-server/server_test_support.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace installer_testing;
using testing::BinDir;
using testing::TempFolder;

class InstallerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display (scripts/test.sh provides one)";
        fs::create_directories(work / "data");
    }

    // Stamps a copy of the installer; `extra` are ombrel-stamp's instruction options.
    std::string Stamp(const std::vector<std::string>& extra) {
        const std::string out = work / "Setup";
        std::vector<std::string> argv = {BinDir() + "/ombrel-stamp", "--installer",
                                         BinDir() + "/ombrel-installer", "--out", out};
        argv.insert(argv.end(), extra.begin(), extra.end());
        Child stamp(Spawn(argv));
        EXPECT_EQ(stamp.Wait(60s), 0) << "ombrel-stamp failed";
        return out;
    }

    pid_t StartInstaller(const std::string& installer, const std::string& host) {
        return Spawn({installer, "-h", host},
                     {"XDG_DATA_HOME=" + work / "data", "XDG_CACHE_HOME=" + work / "cache",
                      "OMBREL_TEST_MARKER=" + work / "marker"});
    }

    TempFolder work;
};

TEST_F(InstallerTest, ASuccessfulRunStartsTheInstalledProgramAndEnds) {
    // A program with a blank in its name that records its arguments and working folder.
    const std::string program =
        work.Write("release/bin/start me.sh",
                   "#!/bin/sh\n{ echo \"$#\"; pwd; } > \"$OMBREL_TEST_MARKER.tmp\"\n"
                   "mv \"$OMBREL_TEST_MARKER.tmp\" \"$OMBREL_TEST_MARKER\"\n");
    ::chmod(program.c_str(), 0755);
    server::testing::PublishOk(work / "store", "Hello", "1.0.0",
                               {server::testing::FolderPackage("main", work / "release")});
    server::testing::TRunningServer service(work / "store", "", true);

    const std::string installer =
        Stamp({"--title", "Hello Setup", "--app", "Hello", "--start-app", "bin/start me.sh"});
    Child child(StartInstaller(installer, service.BaseUrl()));
    ASSERT_GT(child.Pid(), 0);
    EXPECT_EQ(child.Wait(120s), 0) << "the installer must end by itself after success";

    // The program runs detached; its marker appears when it is done.
    const std::string marker = work / "marker";
    for (int i = 0; i < 3000 && !fs::exists(marker); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(fs::exists(marker)) << "the installed program was not started";
    EXPECT_EQ(work.Read("marker"), "0\n" + work / "data/ombrel/apps/Hello/bin" + "\n");
}

TEST_F(InstallerTest, ADamagedInstructionIsShownAt350PixelsAndTheWindowStaysOpen) {
    const std::string raw = work.Write("damaged.txt", "AAAA this is no instruction envelope");
    const std::string installer = Stamp({"--raw", raw});
    Child child(StartInstaller(installer, "http://127.0.0.1:1"));
    ASSERT_GT(child.Pid(), 0);

    const std::string window = FindWindow(child.Pid(), "Installer");
    ASSERT_FALSE(window.empty()) << "no visible window with the caption \"Installer\"";
    const Geometry g = WindowGeometry(window);
    EXPECT_EQ(g.width, 507);
    EXPECT_EQ(g.height, 350);
    Screenshot(window, "installer-damaged-instruction");

    // No run starts and nothing closes the window: the process is still there a while later.
    EXPECT_FALSE(child.Wait(2500ms).has_value()) << "the installer must stay open";
    ::kill(child.Pid(), SIGTERM);
    EXPECT_TRUE(child.Wait(30s).has_value());
}

TEST_F(InstallerTest, TheWindowShowsTheRunAndGrowsWhenTheServerFails) {
    // A server that holds the install request until the test has looked at the window.
    testing::HttpTestServer server;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    server.Handle("GET", "/api/update/install/.*", [released](const auto&, auto& response) {
        released.wait_for(120s);
        response.status = 404;
        response.set_content("unknown project", "text/plain");
    });
    const std::string installer =
        Stamp({"--title", "Failing Setup", "--app", "Failing", "--start-app", "run"});
    Child child(StartInstaller(installer, server.BaseUrl()));
    ASSERT_GT(child.Pid(), 0);

    const std::string window = FindWindow(child.Pid(), "Failing Setup");
    ASSERT_FALSE(window.empty()) << "no visible window with the instruction's title";
    for (int i = 0; i < 6000 && server.Requests().empty(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(server.Requests().empty()) << "the run did not reach the server";
    Geometry g = WindowGeometry(window);
    EXPECT_EQ(g.width, 507);
    EXPECT_EQ(g.height, 40);
    Screenshot(window, "installer-running");

    release.set_value();
    for (int i = 0; i < 6000 && WindowGeometry(window).height != 350; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    g = WindowGeometry(window);
    EXPECT_EQ(g.width, 507);
    EXPECT_EQ(g.height, 350);
    std::this_thread::sleep_for(300ms);  // let the list be painted for the picture
    Screenshot(window, "installer-server-failed");
    EXPECT_TRUE(child.Running()) << "after errors the window stays open";
    ::kill(child.Pid(), SIGTERM);
    EXPECT_TRUE(child.Wait(30s).has_value());
}

}  // namespace
// Without a display: --help and --silent work, anything else says what is missing.
TEST(InstallerWithoutDisplay, HelpAndSilentWorkAndAWindowRunSaysWhatIsMissing) {
    TempFolder work;
    const std::string program = work.Write("release/bin/run.sh", "#!/bin/sh\nexit 0\n");
    ::chmod(program.c_str(), 0755);
    server::testing::PublishOk(work / "store", "Quiet", "1.0.0",
                               {server::testing::FolderPackage("main", work / "release")});
    server::testing::TRunningServer service(work / "store", "", true);
    const std::string installer = work / "Setup";
    ASSERT_EQ(Capture("'" + BinDir() + "/ombrel-stamp' --installer '" + BinDir() +
                      "/ombrel-installer' --out '" + installer +
                      "' --title T --app Quiet --start-app bin/run.sh >/dev/null 2>&1; echo $?"),
              "0\n");
    const std::string env = "cd '" + work.Path() + "' && env -u DISPLAY -u WAYLAND_DISPLAY XDG_DATA_HOME='" +
                            work / "data" + "' XDG_CACHE_HOME='" + work / "cache" + "' ";

    const std::string help = Capture(env + "'" + installer + "' --help 2>&1; echo status=$?");
    EXPECT_NE(help.find("--silent"), std::string::npos) << help;
    EXPECT_NE(help.find("status=0"), std::string::npos) << help;
    EXPECT_FALSE(fs::exists(work / "data/ombrel/apps/Quiet")) << "--help starts nothing";

    const std::string windowed =
        Capture(env + "'" + installer + "' -h " + service.BaseUrl() + " 2>&1; echo status=$?");
    EXPECT_NE(windowed.find("no graphical display"), std::string::npos) << windowed;
    EXPECT_NE(windowed.find("--silent"), std::string::npos) << windowed;
    EXPECT_NE(windowed.find("status=1"), std::string::npos) << windowed;
    EXPECT_FALSE(fs::exists(work / "data/ombrel/apps/Quiet"));

    const std::string silent = Capture(env + "'" + installer + "' -h " + service.BaseUrl() +
                                       " --silent 2>&1; echo status=$?");
    EXPECT_EQ(silent, "status=0\n");
    EXPECT_TRUE(fs::exists(work / "data/ombrel/apps/Quiet/bin/run.sh"));

    const std::string failed = Capture(env + "'" + installer +
                                       "' -h http://127.0.0.1:1 --silent 2>/dev/null; echo status=$?");
    EXPECT_EQ(failed, "status=1\n");
    const std::string log = testing::ReadFileBytes(work / "messages.log");
    EXPECT_NE(log.find("[TApiClient]"), std::string::npos) << "the errors are in the log: " << log;
    EXPECT_TRUE(fs::exists(work / "data/ombrel/apps/Quiet/bin/run.sh")) << "kept when the run failed";
}

}  // namespace ombrel
