#include "app/command_line.h"

#include <gtest/gtest.h>

#include "ombrel/build_config.h"

namespace ombrel {
namespace {

const std::string kDefault = "https://default.example";

struct SwitchCase {
    const char* name;
    std::vector<std::string> arguments;
    std::string host;     // expected host
    std::string channel;  // expected channel
};

TEST(CommandLine, StartSwitches) {
    const std::string url = "http://127.0.0.1:8080";
    const SwitchCase cases[] = {
        {"no arguments", {}, kDefault, ""},
        {"-h U", {"-h", url}, url, ""},
        {"/h U", {"/h", url}, url, ""},
        {"-H:U", {"-H:" + url}, url, ""},
        {"-hU", {"-h" + url}, url, ""},
        {"-h last", {"--update-channel", "beta", "-h"}, "", "beta"},
        {"-h before a switch", {"-h", "-x"}, "", ""},
        {"-h before a slash", {"-h", "/x"}, "", ""},
        {"-h before an empty argument", {"-h", ""}, "", ""},
        {"-help", {"-help"}, "elp", ""},
        {"-h:", {"-h:"}, "", ""},
        {"-h::U keeps the second colon", {"-h::U"}, ":U", ""},
        {"-h=U keeps the equals sign", {"-h=U"}, "=U", ""},
        {"first occurrence decides", {"-h", "-h", "second"}, "", ""},
        {"not a switch", {"h", "U"}, kDefault, ""},
        {"empty argument", {"", "-h", "U"}, "U", ""},
        {"--update-channel beta", {"--update-channel", "beta"}, kDefault, "beta"},
        {"--update-channel:beta", {"--update-channel:beta"}, kDefault, "beta"},
        {"--update-channel=beta", {"--update-channel=beta"}, kDefault, "=beta"},
        {"/-update-channel beta", {"/-update-channel", "beta"}, kDefault, "beta"},
        {"case is ignored", {"--UPDATE-Channel", "Beta"}, kDefault, "Beta"},
        {"one dash is not recognised", {"-update-channel", "beta"}, kDefault, ""},
        {"--update-channel without value", {"--update-channel"}, kDefault, ""},
        {"both", {"/H", url, "--update-channel", "rc"}, url, "rc"},
    };
    for (const auto& c : cases) {
        TStartSwitches switches = ReadStartSwitches(c.arguments, kDefault);
        EXPECT_EQ(switches.host, c.host) << c.name;
        EXPECT_EQ(switches.updateChannel, c.channel) << c.name;
    }
}

TEST(CommandLine, PresenceIsSeparateFromTheValue) {
    EXPECT_FALSE(FindCmdLineSwitch({}, "h").has_value());
    EXPECT_FALSE(FindCmdLineSwitch({"-x", "/y"}, "h").has_value());
    auto empty = FindCmdLineSwitch({"-h"}, "h");
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(*empty, "");
}

TEST(CommandLine, ArgumentsStartAfterTheProgramName) {
    const char* argv[] = {"ombrel-installer", "-h", "U"};
    EXPECT_EQ(CommandLineArguments(3, argv), (std::vector<std::string>{"-h", "U"}));
    EXPECT_EQ(ReadStartSwitches({}).host, build::kDefaultServer);
}

}  // namespace
}  // namespace ombrel
