// The default installation folder on Windows: the user's temporary folder joined with the
// application's name.
#include <gtest/gtest.h>

#include "engine/options.h"
#include "io/paths.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

TEST(TOmbrelOptions, DestinationIsBelowTheUsersTemporaryFolderAskedOnEveryCall) {
    TOmbrelOptions options("Demo", "", "");
    // GetTempPathW answers TMP first, then TEMP.
    for (const char* temp : {"C:\\t", "C:\\t\\", "D:\\other temp"}) {
        testing::ScopedEnv tmp("TMP", temp);
        std::string expected = temp;
        if (expected.back() != '\\') expected += '\\';
        EXPECT_EQ(options.Destination(), expected + "Demo") << temp;
    }
}

TEST(TOmbrelOptions, DestinationFollowsPathJoining) {
    testing::ScopedEnv guard("TMP", "C:\\t");
    EXPECT_EQ(TOmbrelOptions("", "", "").Destination(), "C:\\t\\");
    EXPECT_EQ(TOmbrelOptions("C:\\Apps\\Demo", "", "").Destination(), "C:\\Apps\\Demo");
    EXPECT_EQ(TOmbrelOptions("\\\\server\\share\\Demo", "", "").Destination(),
              "\\\\server\\share\\Demo");
    EXPECT_THROW(TOmbrelOptions("bad|name", "", "").Destination(), EPathError);
}

}  // namespace
}  // namespace ombrel
