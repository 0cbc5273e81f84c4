// Progress of a download between its reports at 0 and 100: the engine with its real server
// client against a server on 127.0.0.1 that sends a package in pieces, a pause between them
// (in-process on Linux, ombrel_download_progress_posix_test.cpp; the Windows stage's fixture
// server, ombrel_download_progress_windows_test.cpp).

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "api/rest_api_client.h"
#include "engine/command_line_options.h"
#include "engine/ombrel.h"
#include "io/io_system.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace testing {
// The address of a server that serves ServePacedRelease (tests/support/paced_release.h).
std::string PacedReleaseServerUrl();
// Defined with the engine's run tests (ombrel_test.h).
extern const char* const kCacheHomeVariable;
}  // namespace testing

namespace {

using testing::CollectingMessages;
using testing::Level;

TEST(DownloadProgress, PercentOfTheBytesIsReportedUnderTheSameCaptionBetweenZeroAndHundred) {
    testing::TempFolder tmp;
    testing::ScopedEnv cacheHome{testing::kCacheHomeVariable, tmp / "cache"};
    const std::string url = testing::PacedReleaseServerUrl();
    ASSERT_FALSE(url.empty());
    // As ServePacedRelease sends them.
    constexpr size_t kPiece = 256 * 1024;
    constexpr int kPieces = 8;

    auto options = std::make_shared<TCommandLineOptions>();
    options->iAppName = "Demo";
    options->iApiUrl = url;
    options->iDestination = tmp / "dest";
    auto messages = std::make_shared<CollectingMessages>();
    auto io = std::make_shared<TIO>(messages);
    auto client = std::make_shared<TApiClient>(options, messages);
    TOmbrel engine(options, io, messages, client);
    std::vector<int64_t> received;
    std::string downloaded;
    engine.OnDownloadProgress([&](const std::string& fileName, int64_t bytes, int64_t total) {
        downloaded = fileName;
        EXPECT_EQ(total, static_cast<int64_t>(kPiece * kPieces));
        received.push_back(bytes);
    });
    engine.Execute();
    ASSERT_EQ(messages->Count(Level::Error), 0u) << messages->Dump();
    ASSERT_NE(downloaded.find("data"), std::string::npos) << downloaded;

    std::vector<int32_t> percents;
    for (const auto& r : messages->reports) {
        if (r.level == Level::Progress && r.text == "download " + downloaded) {
            percents.push_back(r.percent);
        }
    }
    ASSERT_GE(percents.size(), 2u + kPieces / 2) << messages->Dump();
    EXPECT_EQ(percents.front(), 0);
    EXPECT_EQ(percents.back(), 100);
    for (size_t i = 1; i + 1 < percents.size(); ++i) {
        EXPECT_GT(percents[i], percents[i - 1]) << "reports only when the percent moves";
        EXPECT_LT(percents[i], 100) << "100 is for the finished download";
    }
    ASSERT_FALSE(received.empty());
    EXPECT_EQ(received.back(), static_cast<int64_t>(kPiece * kPieces));
    EXPECT_EQ(engine.Report().PackagesDownloaded, 1);
    EXPECT_EQ(engine.Report().BytesDownloaded, static_cast<int64_t>(kPiece * kPieces));
    EXPECT_EQ(engine.Report().Mode, "install");
    EXPECT_EQ(engine.Report().Version, "1.0");
}

}  // namespace
}  // namespace ombrel
