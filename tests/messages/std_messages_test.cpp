#include "messages/std_messages.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace ombrel {
namespace {

TEST(TMessages, ForwardsEveryLevelUnchanged) {
    std::vector<std::string> seen;
    auto record = [&seen](const char* level) {
        return [&seen, level](const std::string& msg, const std::string& sender) {
            seen.push_back(std::string(level) + "|" + msg + "|" + sender);
        };
    };
    TMessages sink(record("e"), record("w"), record("l"), record("d"),
                   [&seen](const std::string& caption, int32_t percent) {
                       seen.push_back("p|" + caption + "|" + std::to_string(percent));
                   });
    sink.Error("boom", "TOmbrel");
    sink.Warning("", "");
    sink.Log("line", "TIO");
    sink.Debug("detail", "TApiClient");
    sink.Progress("copy", 250);
    sink.Progress("", -3);
    EXPECT_EQ(seen, (std::vector<std::string>{"e|boom|TOmbrel", "w||", "l|line|TIO",
                                              "d|detail|TApiClient", "p|copy|250", "p||-3"}));
}

TEST(TMessages, ErrorSetsIsErrorEvenWithoutCallback) {
    TMessages sink(nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_FALSE(sink.IsError);
    sink.Warning("w", "s");
    sink.Log("l", "s");
    sink.Debug("d", "s");
    sink.Progress("p", 1);
    EXPECT_FALSE(sink.IsError);
    sink.Error("e", "s");
    EXPECT_TRUE(sink.IsError);
    sink.Log("l", "s");
    EXPECT_TRUE(sink.IsError);
}

TEST(TMessages, CallbackExceptionsReachTheReporter) {
    TMessages sink([](const std::string&, const std::string&) { throw std::runtime_error("x"); },
                   nullptr, nullptr, nullptr, nullptr);
    EXPECT_THROW(sink.Error("e", "s"), std::runtime_error);
    EXPECT_TRUE(sink.IsError);
}

}  // namespace
}  // namespace ombrel
