#include "engine/command_line_options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "api/http_transport.h"
#include "ombrel/build_config.h"
#include "platform/folders.h"

namespace ombrel {
namespace {

TParseResult Parse(std::vector<const char*> args, TCommandLine& commandLine) {
    args.insert(args.begin(), "ombrel");
    return ParseCommandLine(static_cast<int>(args.size()), args.data(), commandLine);
}

TEST(CommandLine, DefaultsAreThoseOfTheInstaller) {
    TCommandLine cl;
    ASSERT_EQ(Parse({"--app", "Demo"}, cl).ExitCode, -1);
    const TCommandLineOptions& o = *cl.Options;
    EXPECT_EQ(o.AppName(), "Demo");
    EXPECT_EQ(o.ApiUrl(), build::kDefaultServer);
    EXPECT_EQ(o.ApiKey(), build::kApiKey);
    EXPECT_EQ(o.Destination(), UserAppsFolder() + "Demo");
    EXPECT_EQ(o.PackageName(), "");
    EXPECT_EQ(o.UserAuth(), "");
    EXPECT_EQ(o.CustomerAuth(), "");
    EXPECT_EQ(o.Version(), "");
    EXPECT_EQ(o.UpdateChannel(), "");
    EXPECT_FALSE(o.Repair() || o.Debug() || o.Info() || o.DependenciesOnly());
    EXPECT_EQ(o.PackageMode(), TPackageMode::binary);
    EXPECT_EQ(cl.Verbosity, TVerbosity::Normal);
    EXPECT_FALSE(cl.StopBeforeCopy);
    EXPECT_EQ(o.CaFile(), "");
}

// Where the platform's transport cannot take a file of authorities (Windows), the option is
// refused with the reason instead.
TEST(CommandLine, CaFileNamesAnExistingFile) {
    TCommandLine cl;
    TParseResult r = Parse({"--app", "A", "--ca-file", "/etc/passwd"}, cl);
    if (CaFileUnsupportedReason().empty()) {
        ASSERT_EQ(r.ExitCode, -1);
        EXPECT_EQ(cl.Options->CaFile(), "/etc/passwd");
    } else {
        EXPECT_EQ(r.ExitCode, 2);
        EXPECT_THAT(r.Output, ::testing::HasSubstr("--ca-file"));
        EXPECT_THAT(r.Output, ::testing::HasSubstr(CaFileUnsupportedReason()));
    }
}

TEST(CommandLine, EveryOptionReachesItsSetting) {
    TCommandLine cl;
    ASSERT_EQ(Parse({"--package", "Lib", "--dest", "/opt/x", "--server", "http://127.0.0.1:9",
                     "--version", "2.1", "--channel", "beta", "--source", "--api-key", "k",
                     "--user", "u:p", "--customer", "c7", "--debug", "--verbose"},
                    cl)
                  .ExitCode,
              -1);
    const TCommandLineOptions& o = *cl.Options;
    EXPECT_EQ(o.PackageName(), "Lib");
    EXPECT_EQ(o.Destination(), "/opt/x");
    EXPECT_EQ(o.ApiUrl(), "http://127.0.0.1:9");
    EXPECT_EQ(o.Version(), "2.1");
    EXPECT_EQ(o.UpdateChannel(), "beta");
    EXPECT_EQ(o.ApiKey(), "k");
    EXPECT_EQ(o.UserAuth(), "u:p");
    EXPECT_EQ(o.CustomerAuth(), "c7");
    EXPECT_TRUE(o.Debug());
    EXPECT_EQ(o.PackageMode(), TPackageMode::source);
    EXPECT_EQ(cl.Verbosity, TVerbosity::Verbose);

    TCommandLine application;
    ASSERT_EQ(Parse({"--app", "A", "--repair", "--deps-only", "--stop-before-copy"}, application)
                  .ExitCode,
              -1);
    EXPECT_TRUE(application.Options->Repair() && application.Options->DependenciesOnly());
    EXPECT_TRUE(application.StopBeforeCopy);
    TCommandLine info;
    ASSERT_EQ(Parse({"--info", "--package", "Lib", "--channel", "beta"}, info).ExitCode, -1);
    EXPECT_TRUE(info.Options->Info());

    // Values given empty stay empty (the engine refuses them) instead of taking the defaults.
    TCommandLine quiet;
    Parse({"--app", "A", "--quiet", "--api-key", "", "--dest", ""}, quiet);
    EXPECT_EQ(quiet.Verbosity, TVerbosity::Quiet);
    EXPECT_EQ(quiet.Options->ApiKey(), "");
    EXPECT_EQ(quiet.Options->Destination(), "");
}

TEST(CommandLine, HelpListsTheOptionsButNotTheTestingAid) {
    TCommandLine cl;
    TParseResult r = Parse({"--help"}, cl);
    EXPECT_EQ(r.ExitCode, 0);
    for (const char* option : {"--app", "--package", "--dest", "--server", "--version", "--repair",
                               "--channel", "--info", "--deps-only", "--source", "--api-key",
                               "--user", "--customer", "--ca-file", "--debug", "--verbose",
                               "--quiet"}) {
        EXPECT_THAT(r.Output, ::testing::HasSubstr(option));
    }
    EXPECT_THAT(r.Output, ::testing::Not(::testing::HasSubstr("stop-before-copy")));
}

TEST(CommandLine, BadUsageExitsWithTwoAndSaysWhy) {
    struct Case {
        std::vector<const char*> args;
        const char* why;  // part of the message
    };
    const std::vector<Case> cases = {
        {{"--bogus"}, "--bogus"},
        {{"--app"}, "--app"},
        {{"--app", "A", "stray"}, "stray"},
        {{"--app", "A", "--quiet", "--verbose"}, "--verbose"},
        {{"--app", "A", "--ca-file", "/nonexistent/ca.pem"}, "--ca-file"},
        {{"--dest", "/x"}, "--app NAME or --package NAME is required"},
        {{"--app", "A", "--source"}, "--source needs --package"},
        {{"--app", "A", "--repair", "--version", "1.0"}, "--version means nothing with --repair"},
        {{"--package", "P", "--dest", "/x", "--repair"}, "--repair means nothing with --package"},
        {{"--package", "P", "--dest", "/x", "--deps-only"}, "--deps-only means nothing"},
        {{"--package", "P", "--dest", "/x", "--stop-before-copy"}, "--stop-before-copy means"},
        {{"--package", "P"}, "--package needs --dest"},
        {{"--info", "--app", "A"}, "--info needs --package"},
        {{"--info", "--package", "P", "--dest", "/x"}, "--dest means nothing with --info"},
        {{"--info", "--package", "P", "--version", "1"}, "--version means nothing with --info"},
    };
    for (const auto& c : cases) {
        TCommandLine cl;
        TParseResult r = Parse(c.args, cl);
        const std::string name = ::testing::PrintToString(c.args);
        EXPECT_EQ(r.ExitCode, 2) << name;
        EXPECT_THAT(r.Output, ::testing::StartsWith("ombrel: ")) << name;
        EXPECT_THAT(r.Output, ::testing::HasSubstr(c.why)) << name;
        EXPECT_THAT(r.Output, ::testing::HasSubstr("--help")) << name;
    }
}

TEST(CommandLine, NoArgumentsPrintTheUsageAndExitWithTwo) {
    TCommandLine cl;
    TParseResult r = Parse({}, cl);
    EXPECT_EQ(r.ExitCode, 2);
    EXPECT_THAT(r.Output, ::testing::StartsWith("Usage: ombrel --app NAME"));
    EXPECT_THAT(r.Output, ::testing::HasSubstr("--help"));
}

}  // namespace
}  // namespace ombrel
