// The installer without a window (--silent) against the reference server on 127.0.0.1.

#include "app/silent_run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/norva_go_crypt.h"
#include "ombrel/build_config.h"
#include "tests/support/test_support.h"
#include "tests/tools/ombrel-server/server_test_support.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::TempFolder;

class SilentRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string program = work.Write("release/bin/run.sh", "#!/bin/sh\nexit 0\n");
        ::chmod(program.c_str(), 0755);
        server::testing::PublishOk(work / "store", "Demo", "1.0.0",
                                   {server::testing::FolderPackage("main", work / "release")});
        service = std::make_unique<server::testing::TRunningServer>(work / "store", "", true);
    }

    int Run(const std::vector<std::string>& arguments, const std::string& json) {
        return RunSilent(arguments, errors, [json](std::string& bytes, std::string& error) {
            return EncryptEnvelopeV2(build::kInstructionPassword, json, bytes, error);
        });
    }

    TempFolder work;
    ScopedEnv data{"XDG_DATA_HOME", work / "data"};
    ScopedEnv cache{"XDG_CACHE_HOME", work / "cache"};
    std::unique_ptr<server::testing::TRunningServer> service;
    std::ostringstream errors;
};

TEST_F(SilentRunTest, InstallsWithoutAWindowAndExitsWithZero) {
    EXPECT_EQ(Run({"--silent", "-h", service->BaseUrl()},
                  R"({"app":"Demo","startApp":"bin/run.sh"})"),
              0);
    EXPECT_EQ(errors.str(), "");
    EXPECT_TRUE(fs::exists(work / "data/ombrel/apps/Demo/bin/run.sh"));
}

TEST_F(SilentRunTest, EveryFailureGoesToStandardErrorAndExitsWithOne) {
    work.Write("data/ombrel/apps/Demo/bin/run.sh", "previous");
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        std::string json;
        const char* expected;  // part of the first error line
    };
    const Case cases[] = {
        {"server unreachable", {"/silent", "-h", "http://127.0.0.1:1"},
         R"({"app":"Demo","startApp":"bin/run.sh"})", "ombrel-installer: error: "},
        {"program missing", {"--silent", "-h", service->BaseUrl()},
         R"({"app":"Demo","startApp":"bin/none"})", "wurde nicht gefunden"},
        {"no instruction", {"--silent"}, "", "Anweisungen konnten nicht geladen werden"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        errors.str("");
        EXPECT_EQ(Run(c.arguments, c.json), 1);
        EXPECT_EQ(errors.str().rfind("ombrel-installer: error: ", 0), 0u) << errors.str();
        EXPECT_NE(errors.str().find(c.expected), std::string::npos) << errors.str();
    }
    EXPECT_EQ(work.Read("data/ombrel/apps/Demo/bin/run.sh"), "previous");
}

TEST(InstallerSwitches, SilentAndHelpAreRecognisedInEitherStyle) {
    EXPECT_TRUE(WantsSilent({"-h", "x", "--silent"}));
    EXPECT_TRUE(WantsSilent({"/SILENT"}));
    EXPECT_FALSE(WantsSilent({"-silent-not"}));
    EXPECT_TRUE(WantsHelp({"--help"}));
    EXPECT_TRUE(WantsHelp({"/?"}));
    // "-help" stays what the switch lookup makes of it: the host "elp".
    EXPECT_FALSE(WantsHelp({"-help"}));
    EXPECT_NE(InstallerUsage("Demo-Setup").find("--silent"), std::string::npos);
}

}  // namespace
}  // namespace ombrel
