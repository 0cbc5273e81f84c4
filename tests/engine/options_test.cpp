#include "engine/options.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <regex>

#include "io/paths.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

TEST(TOmbrelOptions, AnswersConstructionValuesAndFixedOnes) {
    TOmbrelOptions options("Demo", "http://127.0.0.1:8080", "beta");
    EXPECT_EQ(options.AppName(), "Demo");
    EXPECT_EQ(options.ApiUrl(), "http://127.0.0.1:8080");
    EXPECT_EQ(options.UpdateChannel(), "beta");
    EXPECT_EQ(options.CustomerAuth(), "");
    EXPECT_EQ(options.UserAuth(), "");
    EXPECT_EQ(options.PackageName(), "");
    EXPECT_EQ(options.Version(), "");
    EXPECT_FALSE(options.Repair());
    EXPECT_FALSE(options.Debug());
    EXPECT_FALSE(options.Info());
    EXPECT_FALSE(options.DependenciesOnly());
    EXPECT_EQ(options.PackageMode(), TPackageMode::binary);
    EXPECT_TRUE(std::regex_match(options.ApiKey(),
                                 std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")));
}

TEST(TOmbrelOptions, DestinationIsBelowTheUsersPrivateDataFolderAskedOnEveryCall) {
    TOmbrelOptions options("Demo", "", "");
    struct Case {
        const char* dataHome;  // null: unset
        const char* home;
        const char* expected;
    };
    const Case cases[] = {
        {"/var/data", "/home/u", "/var/data/ombrel/apps/Demo"},
        {"/var/data/", "/home/u", "/var/data/ombrel/apps/Demo"},
        {nullptr, "/home/u", "/home/u/.local/share/ombrel/apps/Demo"},
        {"relative/data", "/home/u/", "/home/u/.local/share/ombrel/apps/Demo"},
    };
    for (const auto& c : cases) {
        testing::ScopedEnv home("HOME", c.home);
        testing::ScopedEnv data("XDG_DATA_HOME", c.dataHome ? c.dataHome : "");
        if (!c.dataHome) ::unsetenv("XDG_DATA_HOME");
        EXPECT_EQ(options.Destination(), c.expected) << (c.dataHome ? c.dataHome : "(unset)");
    }
    testing::ScopedEnv tmp("TMPDIR", "/var/tmp");
    testing::ScopedEnv data("XDG_DATA_HOME", "/d");
    EXPECT_EQ(options.Destination(), "/d/ombrel/apps/Demo") << "the shared temporary folder is not used";
}

TEST(TOmbrelOptions, DestinationFollowsPathJoining) {
    testing::ScopedEnv guard("XDG_DATA_HOME", "/d");
    EXPECT_EQ(TOmbrelOptions("", "", "").Destination(), "/d/ombrel/apps/");
    EXPECT_EQ(TOmbrelOptions("/opt/demo", "", "").Destination(), "/opt/demo");
    EXPECT_THROW(TOmbrelOptions("bad|name", "", "").Destination(), EPathError);
}

}  // namespace
}  // namespace ombrel
