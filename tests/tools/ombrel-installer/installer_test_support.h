#pragma once
// Running the real installer in tests: starting and reaping processes, finding its window on the
// test run's display, measuring it and taking screenshots (into <build>/test-screenshots/).

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

extern char** environ;

namespace ombrel::installer_testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Starts a program with the current environment plus `extraEnv` ("NAME=value"), which wins.
inline pid_t Spawn(const std::vector<std::string>& argv,
                   const std::vector<std::string>& extraEnv = {}) {
    std::vector<std::string> env(extraEnv);
    for (char** e = environ; *e; ++e) {
        // A variable given in `extraEnv` replaces the inherited one.
        const std::string inherited = *e;
        const std::string name = inherited.substr(0, inherited.find('=') + 1);
        bool replaced = false;
        for (const auto& extra : extraEnv) replaced = replaced || extra.rfind(name, 0) == 0;
        if (!replaced) env.push_back(inherited);
    }
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
inline std::optional<int> WaitExit(pid_t pid, std::chrono::milliseconds limit) {
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

inline std::string Capture(const std::string& command) {
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

inline Geometry WindowGeometry(const std::string& window) {
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
inline std::string FindWindow(pid_t pid, const std::string& name) {
    std::string output = Capture("timeout 60 xdotool search --sync --onlyvisible --pid " +
                                 std::to_string(pid) + " --name '^" + name + "$' 2>/dev/null");
    return output.substr(0, output.find('\n'));
}

inline std::string Screenshot(const std::string& window, const std::string& name) {
    const fs::path folder = fs::path(testing::BinDir()).parent_path() / "test-screenshots";
    fs::create_directories(folder);
    const std::string file = (folder / (name + ".png")).string();
    Capture("import -window " + window + " '" + file + "' 2>/dev/null");
    std::cout << "screenshot: " << file << std::endl;
    return file;
}

}  // namespace ombrel::installer_testing
