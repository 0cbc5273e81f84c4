// The default installation folder on Linux: below the user's XDG data folder.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "engine/options.h"
#include "io/paths.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

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
