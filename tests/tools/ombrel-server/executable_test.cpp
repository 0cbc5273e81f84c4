// The ombrel-server executable: publishing from the command line, serving, stopping on SIGTERM.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "ombrel/build_config.h"
#include "tests/support/test_support.h"

extern char** environ;

namespace ombrel::server {
namespace {

using ombrel::testing::BinDir;
using ombrel::testing::TempFolder;

struct TResult {
    int exitCode = -1;
    std::string output;  // stdout and stderr together
};

// Runs the server executable to its end.
TResult RunServerTool(const std::vector<std::string>& args, const std::string& prefix = "") {
    std::string command = prefix + "'" + BinDir() + "/ombrel-server'";
    for (const auto& a : args) command += " '" + a + "'";
    command += " 2>&1";
    TResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    int status = pclose(pipe);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TEST(ServerExecutable, PublishesServesAndStops) {
    TempFolder tmp;
    tmp.Write("app/bin/app", "binary");
    tmp.Write("app/doc/readme.md", "doc");
    tmp.Write("tool", "tool");
    const std::string store = tmp / "store";

    TResult bad = RunServerTool({"publish", "--store", store, "--project", "demo", "--version",
                                 "1.0", "--package", "no-equals-sign"});
    EXPECT_NE(bad.exitCode, 0);
    EXPECT_THAT(bad.output, ::testing::HasSubstr("NAME=PATH"));

    TResult ok = RunServerTool({"publish", "--store", store, "--project", "demo", "--version",
                                "1.0", "--package", "app=" + (tmp / "app") + ":bin/*,doc/*",
                                "--file", "tool=" + (tmp / "tool") + ":bin/tool", "--source",
                                "tool=" + (tmp / "tool")});
    ASSERT_EQ(ok.exitCode, 0) << ok.output;
    EXPECT_THAT(ok.output, ::testing::HasSubstr("published demo 1.0 on channel stable"));
    TResult again = RunServerTool({"publish", "--store", store, "--project", "demo", "--version",
                                   "1.0", "--file", "tool=" + (tmp / "tool")});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_THAT(again.output, ::testing::HasSubstr("exists already"));
    TResult list = RunServerTool({"list", "--store", store});
    EXPECT_THAT(list.output, ::testing::HasSubstr("tool 1.0 (id 2, 1 file(s), source)"));

    // Serve with the built-in key; read the bound port from the first line.
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string binary = BinDir() + "/ombrel-server";
    std::vector<std::string> args = {binary, "--store", store, "--port", "0", "--quiet"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    int port = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "listening on http://127.0.0.1:%d", &port), 1) << line;

    httplib::Client client("127.0.0.1", port);
    client.set_default_headers({{"X-API-Key", build::kApiKey}});
    auto res = client.Get("/api/update/install/demo");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    auto doc = nlohmann::json::parse(res->body);
    EXPECT_EQ(doc["packages"][0]["files"], nlohmann::json::array({"bin/*", "doc/*"}));
    res = client.Get("/api/package/download/source/2");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->body, "tool");
    client.stop();

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Starts the server on `store` and answers its pid and the port from its first line (0 when
// it printed none).
pid_t StartServer(const std::string& store, const std::string& port, int& bound) {
    int out[2];
    if (pipe(out) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string binary = BinDir() + "/ombrel-server";
    std::vector<std::string> args = {binary, "--store", store, "--port", port, "--quiet"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    bound = 0;
    std::sscanf(line.c_str(), "listening on http://127.0.0.1:%d", &bound);
    return pid;
}

TEST(ServerExecutable, RefusesAPortInUseAndAStoreItCannotServe) {
    TempFolder tmp;
    const std::string store = tmp / "store";
    const std::string program = tmp.Write("dist/run.sh", "#!/bin/sh\n");
    ASSERT_EQ(RunServerTool({"publish", "--store", store, "--project", "demo", "--version", "1.0",
                             "--package", "main=" + tmp / "dist"})
                  .exitCode,
              0);

    int port = 0;
    const pid_t first = StartServer(store, "0", port);
    ASSERT_GT(first, 0);
    ASSERT_GT(port, 0);
    // A second server on the same port would share it, and clients would reach either.
    TResult second = RunServerTool({"--store", store, "--port", std::to_string(port), "--quiet"},
                                   "timeout 20 ");
    EXPECT_EQ(second.exitCode, 1) << second.output;
    EXPECT_THAT(second.output, ::testing::HasSubstr("port " + std::to_string(port) +
                                                    ": Address already in use"));
    kill(first, SIGTERM);
    int status = 0;
    waitpid(first, &status, 0);

    tmp.Write("file-store", "x");
    std::filesystem::create_directories(tmp / "bad-index/index.json");
    struct Case {
        std::string store;
        const char* reason;
    };
    const Case cases[] = {
        {tmp / "missing", "No such file or directory"},
        {tmp / "file-store", "is not a folder"},
        {tmp / "bad-index", "index.json"},
    };
    for (const auto& c : cases) {
        for (const char* command : {"serve", "list"}) {
            SCOPED_TRACE(c.store + " " + command);
            std::vector<std::string> args = {"--store", c.store, "--port", "0", "--quiet"};
            if (std::string(command) == "list") args = {"list", "--store", c.store};
            TResult r = RunServerTool(args, "timeout 20 ");
            EXPECT_EQ(r.exitCode, 1) << r.output;
            EXPECT_THAT(r.output, ::testing::HasSubstr(c.store));
            EXPECT_THAT(r.output, ::testing::HasSubstr(c.reason));
            EXPECT_EQ(r.output.find("listening on"), std::string::npos) << r.output;
        }
    }
}

}  // namespace
}  // namespace ombrel::server
