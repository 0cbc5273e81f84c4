// The real Windows installer (ombrel-installer.exe of the Windows build), stamped by the Linux
// ombrel-stamp and run under Wine on the test run's display, against update servers on 127.0.0.1.
// The Windows test stage sets OMBREL_WINDOWS_BUILD_DIR and the Wine prefix; without them the
// tests skip themselves.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <future>
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

// Libraries that the installer uses after its start, which a downloads folder might hold.
const std::vector<std::string> kPlantedLibraries = {"winhttp", "bcrypt", "crypt32", "comctl32",
                                                    "uxtheme"};

// A Linux path as Wine programs see it.
std::string WinePath(const std::string& path) {
    std::string windows = "Z:" + path;
    for (char& c : windows) {
        if (c == '/') c = '\\';
    }
    return windows;
}

class WindowsInstallerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* build = std::getenv("OMBREL_WINDOWS_BUILD_DIR");
        if (!build || !std::getenv("WINEPREFIX")) {
            GTEST_SKIP()
                << "the Windows test stage runs these (OMBREL_WINDOWS_BUILD_DIR, WINEPREFIX)";
        }
        if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display";
        windowsBuild = build;
        installer = windowsBuild + "/bin/ombrel-installer.exe";
        ASSERT_TRUE(fs::exists(installer)) << installer;
        fs::create_directories(work / "downloads");
        fs::create_directories(work / "markers");
    }

    // Stamps a copy of the Windows installer into the downloads folder.
    std::string Stamp(const std::vector<std::string>& extra) {
        const std::string out = work / "downloads/Setup.exe";
        std::vector<std::string> argv = {BinDir() + "/ombrel-stamp", "--installer", installer,
                                         "--out", out};
        argv.insert(argv.end(), extra.begin(), extra.end());
        Child stamp(Spawn(argv));
        EXPECT_EQ(stamp.Wait(60s), 0) << "ombrel-stamp failed";
        return out;
    }

    pid_t Wine(const std::vector<std::string>& arguments, std::vector<std::string> env = {}) {
        std::vector<std::string> argv = {"/usr/bin/wine"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        env.push_back("OMBREL_TEST_MARKER=" + WinePath(work / "markers/started.txt"));
        env.push_back("OMBREL_PLANTED_MARKERS=" + WinePath(work / "markers"));
        return Spawn(argv, env);
    }

    // The planted libraries that left their marker.
    std::vector<std::string> LoadedPlants() {
        std::vector<std::string> loaded;
        for (const auto& name : kPlantedLibraries) {
            if (fs::exists(work / ("markers/" + name + ".loaded"))) loaded.push_back(name);
        }
        return loaded;
    }

    std::string windowsBuild;
    std::string installer;
    TempFolder work;
};

TEST_F(WindowsInstallerTest, InstallsAndStartsTheProgramWithoutLoadingLibrariesBesideIt) {
    // The published program records how it was started.
    fs::create_directories(work / "release/bin");
    fs::copy_file(windowsBuild + "/tests/marker_app.exe", work / "release/bin/start me.exe");
    server::testing::PublishOk(work / "store", "HelloWin", "1.0.0",
                               {server::testing::FolderPackage("main", work / "release")});
    server::testing::TRunningServer service(work / "store", "", true);
    const std::string setup =
        Stamp({"--title", "Hello Setup", "--app", "HelloWin", "--start-app", "bin\\start me.exe"});

    // Libraries named like those the installer uses, beside it, each leaving a marker when
    // loaded; Wine is told to prefer such copies over its own.
    std::string overrides = "mscoree,mshtml=";
    for (const auto& name : kPlantedLibraries) {
        fs::copy_file(windowsBuild + "/tests/planted_library.dll",
                      work / ("downloads/" + name + ".dll"));
        overrides += ";" + name + "=n,b";
    }
    // The plants work: a program that loads them the ordinary way picks them up.
    fs::copy_file(windowsBuild + "/tests/library_search_probe.exe", work / "downloads/probe.exe");
    std::vector<std::string> probeArguments = {work / "downloads/probe.exe"};
    probeArguments.insert(probeArguments.end(), kPlantedLibraries.begin(), kPlantedLibraries.end());
    Child probe(Wine(probeArguments, {"WINEDLLOVERRIDES=" + overrides}));
    ASSERT_TRUE(probe.Wait(120s).has_value());
    ASSERT_FALSE(LoadedPlants().empty()) << "no planted library was loaded even without protection";
    for (const auto& name : kPlantedLibraries) fs::remove(work / ("markers/" + name + ".loaded"));

    Child child(Wine({setup, "-h", service.BaseUrl()}, {"WINEDLLOVERRIDES=" + overrides}));
    ASSERT_GT(child.Pid(), 0);
    EXPECT_EQ(child.Wait(180s), 0) << "the installer must end by itself after success";
    const fs::path marker = work / "markers/started.txt";
    for (int i = 0; i < 6000 && !fs::exists(marker); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(fs::exists(marker)) << "the installed program was not started";
    // "arguments=0", its own folder as the working folder, below the temporary folder.
    const std::string started = work.Read("markers/started.txt");
    EXPECT_NE(started.find("arguments=0\r\n"), std::string::npos) << started;
    EXPECT_NE(started.find("same folder=yes\r\n"), std::string::npos) << started;
    EXPECT_NE(started.find("\\HelloWin\\bin\\start me.exe"), std::string::npos) << started;
    EXPECT_EQ(LoadedPlants(), std::vector<std::string>{})
        << "a library beside the installer was loaded";
}

TEST_F(WindowsInstallerTest, ADamagedInstructionIsShownAt350PixelsWithoutAnyRequest) {
    testing::HttpTestServer server;
    const std::string raw = work.Write("damaged.txt", "AAAA this is no instruction envelope");
    const std::string setup = Stamp({"--raw", raw});
    Child child(Wine({setup, "-h", server.BaseUrl()}));
    ASSERT_GT(child.Pid(), 0);

    const std::string window = FindWindow(child.Pid(), "Installer");
    ASSERT_FALSE(window.empty()) << "no visible window with the caption \"Installer\"";
    // Without a window manager Wine's X window is the window without its caption: grown to 350
    // pixels it is far more than one line high (the Win32 view's tests check the 350 exactly).
    Geometry g;
    for (int i = 0; i < 500 && (g = WindowGeometry(window)).height < 300; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_GE(g.height, 300);
    EXPECT_LE(g.height, 350);
    Screenshot(window, "windows-installer-damaged-instruction");
    // No run starts and nothing closes the window.
    EXPECT_FALSE(child.Wait(2500ms).has_value()) << "the installer must stay open";
    EXPECT_TRUE(server.Requests().empty()) << "a damaged instruction must not reach the server";
    ::kill(child.Pid(), SIGTERM);
    EXPECT_TRUE(child.Wait(30s).has_value());
}

TEST_F(WindowsInstallerTest, AFailingServerShowsItsErrorsAndTheWindowStaysOpen) {
    testing::HttpTestServer server;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    server.Handle("GET", "/api/update/install/.*", [released](const auto&, auto& response) {
        released.wait_for(120s);
        response.status = 404;
        response.set_content("unknown project", "text/plain");
    });
    const std::string setup =
        Stamp({"--title", "Failing Setup", "--app", "FailingWin", "--start-app", "run.exe"});
    Child child(Wine({setup, "-h", server.BaseUrl()}));
    ASSERT_GT(child.Pid(), 0);

    const std::string window = FindWindow(child.Pid(), "Failing Setup");
    ASSERT_FALSE(window.empty()) << "no visible window with the instruction's title";
    for (int i = 0; i < 6000 && server.Requests().empty(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(server.Requests().empty()) << "the run did not reach the server";
    const Geometry running = WindowGeometry(window);
    EXPECT_LT(running.height, 100) << "the window is one line high while the run goes on";
    Screenshot(window, "windows-installer-running");

    release.set_value();
    Geometry g;
    for (int i = 0; i < 6000 && (g = WindowGeometry(window)).height < 300; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_GE(g.height, 300);
    EXPECT_LE(g.height, 350);
    EXPECT_EQ(g.width, running.width);
    std::this_thread::sleep_for(300ms);  // let the list be painted for the picture
    Screenshot(window, "windows-installer-server-failed");
    EXPECT_TRUE(child.Running()) << "after errors the window stays open";
    ::kill(child.Pid(), SIGTERM);
    EXPECT_TRUE(child.Wait(30s).has_value());
}

TEST_F(WindowsInstallerTest, RestampedOnWindowsTheInstallerRunsWithItsNewInstruction) {
    testing::HttpTestServer server;
    const std::string setup = Stamp({"--title", "First Setup", "--app", "A", "--start-app", "a.exe"});
    // ombrel-stamp.exe restamps the stamped installer in place, under Wine.
    const std::string stampExe = windowsBuild + "/bin/ombrel-stamp.exe";
    Child restamp(Wine({stampExe, "--installer", WinePath(setup), "--out", WinePath(setup),
                        "--title", "Zweites Setup", "--app", "B", "--start-app", "bin\\b.exe"}));
    ASSERT_EQ(restamp.Wait(120s), 0) << "ombrel-stamp.exe failed";
    const std::string shown = Capture(BinDir() + "/ombrel-stamp --show '" + setup + "' 2>&1");
    EXPECT_NE(shown.find("\"title\": \"Zweites Setup\""), std::string::npos) << shown;
    EXPECT_NE(shown.find("\"app\": \"B\""), std::string::npos) << shown;

    // An instruction larger than the resource is refused, and nothing is written.
    const std::string big = work.Write("big.txt", std::string(64 * 1024, 'A'));
    const fs::path refused = work / "downloads/refused.exe";
    Child tooLarge(Wine({stampExe, "--installer", WinePath(setup), "--out",
                         WinePath(refused), "--raw", WinePath(big)}));
    EXPECT_EQ(tooLarge.Wait(120s), 1);
    EXPECT_FALSE(fs::exists(refused));

    // The installer reads the new instruction from its own resource.
    Child child(Wine({setup, "-h", server.BaseUrl()}));
    ASSERT_GT(child.Pid(), 0);
    EXPECT_FALSE(FindWindow(child.Pid(), "Zweites Setup").empty())
        << "no window with the restamped title";
    ::kill(child.Pid(), SIGTERM);
    EXPECT_TRUE(child.Wait(30s).has_value());
}

}  // namespace
}  // namespace ombrel
