// The real ombrel-installer, stamped by ombrel-stamp, on the test run's display. Screenshots of
// the window go to <build>/test-screenshots/.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/http_test_server.h"
#include "tests/support/test_support.h"
#include "tests/tools/ombrel-server/server_test_support.h"

extern char** environ;

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::BinDir;
using testing::TempFolder;

// Starts a program with the current environment plus `extraEnv` ("NAME=value").
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {}) {
    std::vector<std::string> env(extraEnv);
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0].c_str(), nullptr, nullptr, args.data(), envp.data()) != 0) {
        return -1;
    }
    return pid;
}

// The exit status, or nothing when the process still runs after `limit`.
std::optional<int> WaitExit(pid_t pid, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (got < 0 || std::chrono::steady_clock::now() >= end) return std::nullopt;
        std::this_thread::sleep_for(20ms);
    }
}

// A running program that is killed and reaped unless it ended by itself.
class Child {
  public:
    explicit Child(pid_t pid) : iPid(pid) {}
    ~Child() {
        if (iPid > 0 && !iEnded) {
            ::kill(iPid, SIGKILL);
            ::waitpid(iPid, nullptr, 0);
        }
    }
    pid_t Pid() const { return iPid; }
    std::optional<int> Wait(std::chrono::milliseconds limit) {
        auto status = WaitExit(iPid, limit);
        iEnded = status.has_value();
        return status;
    }
    bool Running() {
        int status = 0;
        if (::waitpid(iPid, &status, WNOHANG) == 0) return true;
        iEnded = true;
        return false;
    }

  private:
    pid_t iPid;
    bool iEnded = false;
};

std::string Capture(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return output;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    ::pclose(pipe);
    return output;
}

struct Geometry {
    int width = -1;
    int height = -1;
};

Geometry WindowGeometry(const std::string& window) {
    const std::string info = Capture("xwininfo -id " + window + " 2>/dev/null");
    Geometry g;
    auto number = [&info](const std::string& key) {
        const size_t at = info.find(key);
        return at == std::string::npos ? -1 : std::atoi(info.c_str() + at + key.size());
    };
    g.width = number("Width: ");
    g.height = number("Height: ");
    return g;
}

// The first visible window of `pid` whose name is exactly `name`; empty after 60 s without.
std::string FindWindow(pid_t pid, const std::string& name) {
    std::string output = Capture("timeout 60 xdotool search --sync --onlyvisible --pid " +
                                 std::to_string(pid) + " --name '^" + name + "$' 2>/dev/null");
    return output.substr(0, output.find('\n'));
}

std::string Screenshot(const std::string& window, const std::string& name) {
    const fs::path folder = fs::path(BinDir()).parent_path() / "test-screenshots";
    fs::create_directories(folder);
    const std::string file = (folder / (name + ".png")).string();
    Capture("import -window " + window + " '" + file + "' 2>/dev/null");
    std::cout << "screenshot: " << file << std::endl;
    return file;
}

class InstallerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display (scripts/test.sh provides one)";
        fs::create_directories(work / "tmp");
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
                     {"TMPDIR=" + work / "tmp", "XDG_CACHE_HOME=" + work / "cache",
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
    EXPECT_EQ(work.Read("marker"), "0\n" + work / "tmp/Hello/bin" + "\n");
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
}  // namespace ombrel
