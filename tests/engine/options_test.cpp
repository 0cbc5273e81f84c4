#include "engine/options.h"

#include <gtest/gtest.h>

#include <regex>

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

}  // namespace
}  // namespace ombrel
