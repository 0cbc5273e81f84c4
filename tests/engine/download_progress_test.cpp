// Progress of a download between its reports at 0 and 100: the engine with its real server
// client against a server on 127.0.0.1 that sends a package in pieces, a pause between them.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "api/rest_api_client.h"
#include "engine/command_line_options.h"
#include "engine/ombrel.h"
#include "io/io_system.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;
using testing::CollectingMessages;
using testing::Level;

TEST(DownloadProgress, PercentOfTheBytesIsReportedUnderTheSameCaptionBetweenZeroAndHundred) {
    testing::TempFolder tmp;
    testing::ScopedEnv cacheHome{"XDG_CACHE_HOME", tmp / "cache"};
    testing::HttpTestServer server;
    constexpr size_t kPiece = 256 * 1024;
    constexpr int kPieces = 8;
    server.Handle("GET", "/api/update/install/Demo", [](const auto&, auto& response) {
        response.set_content(R"({"version": "1.0", "packages": [
            {"id": 7, "name": "Data", "version": "1.0", "filename": "data.bin", "files": ["*"]}]})",
                             "application/json");
    });
    // Pieces 150 ms apart: every piece comes after the ten-a-second limit has passed.
    server.Handle("GET", "/api/package/download/7", [&server](const auto&, auto& response) {
        response.set_content_provider(
            kPiece * kPieces, "application/octet-stream",
            [&server](size_t offset, size_t, httplib::DataSink& sink) {
                if (offset > 0 && !server.SleepUnlessStopped(150ms)) return false;
                const std::string piece(kPiece, 'x');
                return sink.write(piece.data(), piece.size());
            });
    });

    auto options = std::make_shared<TCommandLineOptions>();
    options->iAppName = "Demo";
    options->iApiUrl = server.BaseUrl();
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
