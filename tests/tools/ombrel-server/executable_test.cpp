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
TResult RunServerTool(const std::vector<std::string>& args) {
    std::string command = "'" + BinDir() + "/ombrel-server'";
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

}  // namespace
}  // namespace ombrel::server
