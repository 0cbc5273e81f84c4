// Hostile servers: a trickle that never stalls, bodies without end, bodies longer than their
// Content-Length, lengths beyond what memory or the disk can take. Every one of them ends the
// request with a failure instead of running forever or filling the disk.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/api/api_test_fixture.h"
#include "tests/support/raw_http_server.h"

namespace ombrel::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr char kConnectionFailed[] = "connection failed: ";

// The product's limits, scaled down so that a test takes seconds.
THttpSettings SmallLimits() {
    THttpSettings settings{10000, 2000, ""};
    settings.minBytesPerSecond = 1024;
    settings.minSpeedWindowMs = 1500;
    settings.maxMemoryBody = 1 << 20;
    settings.maxFileBodyWithoutLength = 2 << 20;
    return settings;
}

int64_t FileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

class HostileServerTest : public ApiClientTest {
  protected:
    // Runs the three kinds of request against `server` (text, bytes, file) and expects each to
    // fail with a "connection failed" text holding `detail`.
    void ExpectEveryRequestFails(const RawHttpServer& hostile, const std::string& detail,
                                 int64_t maxFileBytes) {
        options->apiUrl = hostile.BaseUrl();
        auto client = Client(SmallLimits());

        std::string answer;
        EXPECT_FALSE(client->GetInstallInfoForLatest("app", answer));
        EXPECT_EQ(answer, "");
        TBytes bytes;
        EXPECT_FALSE(client->DownloadBinaryPackage(1, bytes));
        EXPECT_THAT(bytes, IsEmpty());
        TempFolder folder;
        EXPECT_FALSE(client->DownloadPackageToFile(1, TPackageMode::binary, folder / "p.zip"));
        EXPECT_LE(FileSize(folder / "p.zip"), maxFileBytes);

        auto errors = Errors();
        ASSERT_EQ(errors.size(), 6u) << messages->Dump();
        for (size_t i = 0; i < errors.size(); i += 2) {
            EXPECT_THAT(errors[i], StartsWith(kConnectionFailed));
            EXPECT_THAT(errors[i], HasSubstr(detail));
            EXPECT_EQ(errors[i + 1], "request failed (0): ");
        }
    }
};

// Sends a chunked body of `piece` over and over, never ending it.
void EndlessChunks(RawHttpServer::Connection& c, const std::string& piece,
                   std::chrono::milliseconds pause) {
    if (!c.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n"
                "Content-Type: application/octet-stream\r\n\r\n"))
        return;
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
    const std::string chunk = size + piece + "\r\n";
    while (c.Send(chunk)) {
        if (pause.count() > 0 && !c.Sleep(pause)) return;
    }
}

TEST_F(HostileServerTest, TrickleBelowTheSpeedFloorFails) {
    // One byte every 50 ms never comes near the read time-out, but stays far below 1 KiB/s.
    RawHttpServer trickle([](RawHttpServer::Connection& c) {
        EndlessChunks(c, "x", std::chrono::milliseconds(50));
    });
    ExpectEveryRequestFails(trickle, "bytes per second", 1024);
}

TEST_F(HostileServerTest, EndlessBodyWithoutLengthStopsAtItsCap) {
    RawHttpServer endless([](RawHttpServer::Connection& c) {
        EndlessChunks(c, std::string(64 * 1024, 'z'), std::chrono::milliseconds(0));
    });
    // The file gets at most the cap and one receive buffer more.
    ExpectEveryRequestFails(endless, "longer than", (2 << 20) + (512 << 10));
}

TEST_F(HostileServerTest, BodyLongerThanItsContentLengthFails) {
    // The surplus comes right behind the announced bytes, in the same write, so the client
    // meets it together with the body.
    RawHttpServer longer([](RawHttpServer::Connection& c) {
        if (!c.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(1000, 'a') +
                    std::string(64 * 1024, 'b')))
            return;
        while (c.Send(std::string(64 * 1024, 'b'))) {
        }
    });
    ExpectEveryRequestFails(longer, "longer than its Content-Length of 1000 bytes", 1000);
}

TEST_F(HostileServerTest, LengthBeyondMemoryOrDiskFailsBeforeTheBody) {
    // 2^60 bytes fit neither the memory cap nor any disk.
    RawHttpServer huge([](RawHttpServer::Connection& c) {
        if (!c.Send("HTTP/1.1 200 OK\r\nContent-Length: 1152921504606846976\r\n\r\n")) return;
        while (c.Send(std::string(64 * 1024, 'h'))) {
        }
    });
    options->apiUrl = huge.BaseUrl();
    auto client = Client(SmallLimits());
    std::string answer;
    EXPECT_FALSE(client->GetInstallInfoForLatest("app", answer));
    TempFolder folder;
    EXPECT_FALSE(client->DownloadPackageToFile(1, TPackageMode::binary, folder / "p.zip"));
    EXPECT_EQ(FileSize(folder / "p.zip"), 0);
    auto errors = Errors();
    ASSERT_EQ(errors.size(), 4u) << messages->Dump();
    EXPECT_THAT(errors[0], HasSubstr("announces 1152921504606846976 bytes, more than the"));
    EXPECT_THAT(errors[2], HasSubstr("bytes are free on the disk"));
}

TEST_F(HostileServerTest, SurplusAfterAnAnswerDoesNotSpoilTheNextRequest) {
    // The surplus arrives only after the client has its answer and keeps the connection; the
    // next request must not read it as its own answer.
    RawHttpServer late([](RawHttpServer::Connection& c) {
        if (!c.Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}")) return;
        if (!c.Sleep(std::chrono::milliseconds(300))) return;
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\nspoiled");
        c.Sleep(std::chrono::seconds(5));
    });
    options->apiUrl = late.BaseUrl();
    auto client = Client(SmallLimits());
    std::string answer;
    ASSERT_TRUE(client->GetInstallInfoForLatest("app", answer)) << messages->Dump();
    EXPECT_EQ(answer, "{}");
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    ASSERT_TRUE(client->GetInstallInfoForLatest("app", answer)) << messages->Dump();
    EXPECT_EQ(answer, "{}");
    EXPECT_EQ(late.Connections(), 2);
}

TEST_F(HostileServerTest, BytesAfterAnAnswerWithoutBodyCostOnlyTheConnection) {
    // A 204 must carry no body; a sloppy server sends one anyway, in the same write.
    RawHttpServer sloppy([](RawHttpServer::Connection& c) {
        c.Send("HTTP/1.1 204 No Content\r\nContent-Length: 4\r\n\r\npong");
        c.Sleep(std::chrono::seconds(5));
    });
    options->apiUrl = sloppy.BaseUrl();
    auto client = Client(SmallLimits());
    for (int i = 0; i < 2; ++i) {
        std::string answer;
        // No document is no version information: the answer fails, the connection goes.
        EXPECT_FALSE(client->GetInstallInfoForLatest("app", answer));
        EXPECT_EQ(answer, "");
    }
    EXPECT_THAT(Errors(), ::testing::Each(HasSubstr("answered 204 without a document")));
    EXPECT_EQ(sloppy.Connections(), 2);
}

TEST_F(HostileServerTest, ErrorAnswerWithoutEndFails) {
    // A failed file download keeps its error body in memory: it has the memory cap.
    RawHttpServer endless([](RawHttpServer::Connection& c) {
        if (!c.Send("HTTP/1.1 404 Not Found\r\nContent-Type: text/plain\r\n\r\n")) return;
        while (c.Send(std::string(64 * 1024, 'e'))) {
        }
    });
    options->apiUrl = endless.BaseUrl();
    auto client = Client(SmallLimits());
    TempFolder folder;
    EXPECT_FALSE(client->DownloadPackageToFile(1, TPackageMode::binary, folder / "p.zip"));
    auto errors = Errors();
    ASSERT_EQ(errors.size(), 2u) << messages->Dump();
    EXPECT_THAT(errors[0], HasSubstr("longer than 1048576 bytes"));
}

TEST_F(ApiClientTest, SteadyTransferAboveTheSpeedFloorSucceeds) {
    // 4 KiB every 100 ms for 3 s: well above 1 KiB/s, over two windows of the floor.
    const std::string piece(4096, 's');
    server.Handle("GET", ".*", [this, piece](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider(
            "application/octet-stream",
            [this, piece, sent = 0](size_t, httplib::DataSink& sink) mutable {
                if (sent == 30) {
                    sink.done();
                    return true;
                }
                if (sent++ > 0) server.SleepUnlessStopped(std::chrono::milliseconds(100));
                return sink.write(piece.data(), piece.size());
            });
    });
    auto client = Client(SmallLimits());
    TBytes bytes;
    ASSERT_TRUE(client->DownloadBinaryPackage(3, bytes)) << messages->Dump();
    EXPECT_EQ(bytes.size(), 30u * 4096u);
}

}  // namespace
}  // namespace ombrel::testing
