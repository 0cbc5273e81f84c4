// Bodies written to a file that already holds their start: appending a 206, replacing on a 200,
// the size limit, what a cut transfer leaves, and the digest computed along.

#include <gtest/gtest.h>

#include "api/http_transport.h"
#include "platform/crypto.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

using testing::HttpTestServer;
using testing::TempFolder;

class ResumedTransferTest : public ::testing::Test {
  protected:
    THttpRequest Request(const std::string& path, uint64_t offset = 0) {
        THttpRequest request;
        request.url = server.BaseUrl() + path;
        request.bodyFile = tmp / "file";
        request.bodyFileOffset = offset;
        return request;
    }
    // Answers `status` with `body`, an ETag and (for 206) the given Content-Range; a cut after
    // `cut` bytes drops the connection.
    void Answer(const std::string& path, int status, std::string body, std::string range = "",
                size_t cut = SIZE_MAX) {
        server.Handle("GET", path, [=](const httplib::Request& req, httplib::Response& res) {
            const_cast<httplib::Request&>(req).ranges.clear();
            res.status = status;
            res.set_header("ETag", "\"v1\"");
            if (!range.empty()) res.set_header("Content-Range", range);
            auto shared = std::make_shared<std::string>(body);
            res.set_content_provider(shared->size(), "application/octet-stream",
                                     [shared, cut](size_t offset, size_t, httplib::DataSink& sink) {
                                         size_t end = std::min(shared->size(), cut);
                                         if (offset >= end) return false;
                                         return sink.write(shared->data() + offset, end - offset);
                                     });
        });
    }

    TempFolder tmp;
    HttpTestServer server;
    THttpTransport transport{THttpSettings{}};
};

TEST_F(ResumedTransferTest, A206IsAppendedAndA200Replaces) {
    Answer("/partial", 206, "world", "bytes 6-10/11");
    Answer("/whole", 200, "hello world");
    tmp.Write("file", "hello XYZJUNK");

    THttpResponse response;
    ASSERT_TRUE(transport.Perform(Request("/partial", 6), response)) << response.failure;
    EXPECT_EQ(response.status, 206);
    EXPECT_EQ(tmp.Read("file"), "hello world");
    EXPECT_EQ(response.bodyFileSize, 11u);
    EXPECT_EQ(response.etag, "\"v1\"");

    tmp.Write("file", "hello XYZ");
    ASSERT_TRUE(transport.Perform(Request("/whole", 6), response)) << response.failure;
    EXPECT_EQ(tmp.Read("file"), "hello world");
    EXPECT_EQ(response.bodyFileSize, 11u);
}

TEST_F(ResumedTransferTest, TheDigestComesAlongOnlyForAFileWrittenFromItsFirstByte) {
    Answer("/partial", 206, "world", "bytes 6-10/11");
    Answer("/whole", 200, "hello world");
    Answer("/empty", 200, "");
    Answer("/cut", 200, std::string(100000, 'y'), "", 70000);
    Answer("/missing", 404, "no such file");
    struct Case {
        const char* name;
        const char* path;
        uint64_t offset;   // bytes of "hello XYZ" kept
        bool ok;
        std::string sha256;
    };
    for (const Case& c : {
             Case{"fresh download", "/whole", 0, true, Sha256Hex("hello world")},
             Case{"a 200 replaces the kept start", "/whole", 6, true, Sha256Hex("hello world")},
             Case{"an empty 200 replaces it too", "/empty", 6, true, Sha256Hex("")},
             // The kept start never went through the transfer: the file is to be read.
             Case{"resumed", "/partial", 6, true, ""},
             Case{"cut", "/cut", 0, false, ""},
             Case{"an error answer", "/missing", 0, true, ""},
         }) {
        SCOPED_TRACE(c.name);
        tmp.Write("file", "hello XYZ");
        auto request = Request(c.path, c.offset);
        request.bodyFileSha256 = true;
        THttpResponse response;
        EXPECT_EQ(transport.Perform(request, response), c.ok) << response.failure;
        EXPECT_EQ(response.bodyFileSha256, c.sha256);
        // Not asked for, none is computed.
        tmp.Write("file", "hello XYZ");
        request.bodyFileSha256 = false;
        transport.Perform(request, response);
        EXPECT_EQ(response.bodyFileSha256, "");
    }
}

TEST_F(ResumedTransferTest, AnAnswerForAnotherPlaceOrAnErrorLeavesTheStart) {
    Answer("/elsewhere", 206, "world", "bytes 5-9/11");
    Answer("/missing", 404, "no such file");
    tmp.Write("file", "hello ");
    THttpResponse response;
    EXPECT_FALSE(transport.Perform(Request("/elsewhere", 6), response));
    EXPECT_NE(response.failure.find("Content-Range: bytes 5-9/11"), std::string::npos)
        << response.failure;
    EXPECT_EQ(tmp.Read("file"), "hello ");
    EXPECT_EQ(response.bodyFileSize, 6u);

    EXPECT_TRUE(transport.Perform(Request("/missing", 6), response));
    EXPECT_EQ(response.status, 404);
    EXPECT_EQ(tmp.Read("file"), "hello ");
}

TEST_F(ResumedTransferTest, TheLimitStopsALongBodyAndACutKeepsWhatCame) {
    Answer("/long", 200, std::string(1 << 20, 'x'));
    Answer("/cut", 200, std::string(100000, 'y'), "", 70000);
    THttpResponse response;
    auto request = Request("/long");
    request.bodyFileLimit = 1000;
    EXPECT_FALSE(transport.Perform(request, response));
    EXPECT_TRUE(response.bodyFileFull);
    EXPECT_LE(tmp.Read("file").size(), 1000u);
    EXPECT_EQ(response.status, 0);

    request.bodyFileLimit = 1 << 20;
    EXPECT_TRUE(transport.Perform(request, response)) << "exactly the limit is fine";
    EXPECT_FALSE(response.bodyFileFull);

    EXPECT_FALSE(transport.Perform(Request("/cut"), response));
    EXPECT_FALSE(response.bodyFileFull);
    EXPECT_EQ(response.etag, "\"v1\"");
    EXPECT_EQ(response.bodyFileSize, 70000u);
    EXPECT_EQ(tmp.Read("file"), std::string(70000, 'y'));
}

}  // namespace
}  // namespace ombrel
