// The WinHTTP transport against a real server on 127.0.0.1: tests/api/fixture_server, started
// natively by the Windows test stage, which passes its address in OMBREL_TEST_HTTP_URL.
// Requests and answers, the redirect rules and credentials, time-outs and the speed floor,
// bodies cut short or too long, streaming to a file with its progress, resuming, and the body
// file's folder walked without following links.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "api/http_transport.h"
#include "platform/crypto.h"
#include "platform/win32_text.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

using ::testing::HasSubstr;
using testing::ReadFileBytes;
using testing::TempFolder;

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

std::string Text(const TBytes& body) {
    return std::string(body.begin(), body.end());
}

class HttpTransportWindowsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* url = std::getenv("OMBREL_TEST_HTTP_URL");
        ASSERT_NE(url, nullptr) << "OMBREL_TEST_HTTP_URL names no server: run the suite through "
                                   "scripts/test-stages/40-windows.sh, which starts one";
        base = url;
    }

    THttpRequest Get(const std::string& path) const {
        THttpRequest request;
        request.url = base + path;
        return request;
    }

    std::string base;
    THttpTransport transport{THttpSettings{}};
};

TEST_F(HttpTransportWindowsTest, GetAndPostCarryTheirHeadersAndBodies) {
    THttpResponse response;
    ASSERT_TRUE(transport.Perform(Get("/text"), response)) << response.failure;
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(Text(response.body), "hello, windows");
    EXPECT_EQ(response.contentType, "text/plain; charset=utf-8");
    EXPECT_EQ(response.etag, "\"t1\"");

    THttpRequest post = Get("/echo");
    post.method = "POST";
    post.body = std::string("a body\0with a zero", 18);
    post.headers = {"X-Test: first", "Content-Type: application/json"};
    post.credentialHeaders = {"Authorization: Bearer secret"};
    ASSERT_TRUE(transport.Perform(post, response)) << response.failure;
    EXPECT_EQ(Text(response.body), "POST\n" + post.body + "\nfirst\nBearer secret");

    // The same transport again, and a status the caller handles itself.
    ASSERT_TRUE(transport.Perform(Get("/status/404"), response)) << response.failure;
    EXPECT_EQ(response.status, 404);
    EXPECT_EQ(Text(response.body), "status 404");
}

TEST_F(HttpTransportWindowsTest, ServerErrorsFailButKeepStatusAndBody) {
    THttpResponse response;
    EXPECT_FALSE(transport.Perform(Get("/status/503"), response));
    EXPECT_EQ(response.status, 503);
    EXPECT_EQ(Text(response.body), "status 503");
    EXPECT_THAT(response.failure, HasSubstr("returned error: 503"));
}

TEST_F(HttpTransportWindowsTest, RedirectsFollowTheRules) {
    struct Case {
        const char* method;
        const char* path;
        bool ok;
        const char* bodyOrFailure;
    } cases[] = {
        {"GET", "/redirect/5", true, "arrived"},
        {"GET", "/redirect/6", false, "Maximum (5) redirects followed"},
        // 303 turns a POST into a GET, 307 keeps it with its body.
        {"POST", "/see-other", true, "GET\n\nfirst\nBearer secret"},
        {"POST", "/temporary", true, "POST\npayload\nfirst\nBearer secret"},
        // Credentials stay with the first origin; other headers go along.
        {"GET", "/elsewhere", true, "GET\n\nfirst\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        THttpRequest request = Get(c.path);
        request.method = c.method;
        if (request.method == "POST") request.body = "payload";
        request.headers = {"X-Test: first"};
        request.credentialHeaders = {"Authorization: Bearer secret"};
        THttpResponse response;
        EXPECT_EQ(transport.Perform(request, response), c.ok) << response.failure;
        if (c.ok) {
            EXPECT_EQ(response.status, 200);
            EXPECT_EQ(Text(response.body), c.bodyOrFailure);
        } else {
            EXPECT_EQ(response.status, 0);
            EXPECT_THAT(response.failure, HasSubstr(c.bodyOrFailure));
        }
    }
}

TEST_F(HttpTransportWindowsTest, SilenceEndsWithTheReadTimeOutAndATrickleWithTheSpeedFloor) {
    THttpSettings settings;
    settings.readMs = 1000;
    settings.minBytesPerSecond = 1000;
    settings.minSpeedWindowMs = 1500;
    THttpTransport impatient(settings);
    struct Case {
        const char* path;
        const char* failure;
    } cases[] = {
        {"/silent", "no data received for 1000 milliseconds"},
        {"/stall", "no data received for 1000 milliseconds"},
        {"/trickle", "less than 1000 bytes per second for 1500 milliseconds"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const auto start = std::chrono::steady_clock::now();
        THttpResponse response;
        EXPECT_FALSE(impatient.Perform(Get(c.path), response));
        EXPECT_THAT(response.failure, HasSubstr(c.failure));
        EXPECT_EQ(response.status, 0);
        EXPECT_TRUE(response.body.empty());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    }

    // Nobody listening.
    THttpRequest refused;
    refused.url = "http://127.0.0.1:1/";
    THttpResponse response;
    EXPECT_FALSE(impatient.Perform(refused, response));
    EXPECT_THAT(response.failure, HasSubstr("Couldn't connect to server"));
}

TEST_F(HttpTransportWindowsTest, BodiesCutShortOrTooLongFail) {
    THttpSettings settings;
    settings.maxMemoryBody = 1000;
    THttpTransport capped(settings);
    TempFolder tmp;
    struct Case {
        const char* path;
        bool toFile;
        const char* failure;
        bool full;
    } cases[] = {
        {"/cut", false, "partial", false},
        {"/cut", true, "partial", false},
        {"/big/1001", false, "announces 1001 bytes, more than the 1000 bytes", true},
        {"/unsized/1500", false, "longer than 1000 bytes", true},
        {"/big/2000", true, "the body is longer than 1500 bytes", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + (c.toFile ? " to a file" : ""));
        THttpRequest request = Get(c.path);
        if (c.toFile) {
            request.bodyFile = tmp / "body";
            request.bodyFileLimit = 1500;
        }
        THttpResponse response;
        EXPECT_FALSE(capped.Perform(request, response));
        EXPECT_FALSE(response.failure.empty());
        EXPECT_THAT(response.failure, HasSubstr(c.failure));
        EXPECT_EQ(response.status, 0);
        EXPECT_TRUE(response.body.empty());
        EXPECT_EQ(response.bodyFileFull, c.full);
    }
    // A body within the caps comes whole, also one without a length.
    THttpResponse response;
    ASSERT_TRUE(capped.Perform(Get("/unsized/1000"), response)) << response.failure;
    EXPECT_EQ(Text(response.body), Pattern(1000));
}

TEST_F(HttpTransportWindowsTest, DownloadsStreamToTheFileWithProgress) {
    TempFolder tmp;
    for (const char* path : {"/big/3000000", "/unsized/3000000"}) {
        SCOPED_TRACE(path);
        THttpRequest request = Get(path);
        request.bodyFile = tmp / "download";
        std::vector<std::pair<int64_t, int64_t>> progress;
        request.onBodyProgress = [&progress](int64_t received, int64_t total) {
            progress.emplace_back(received, total);
        };
        THttpResponse response;
        ASSERT_TRUE(transport.Perform(request, response)) << response.failure;
        EXPECT_TRUE(response.body.empty());
        EXPECT_EQ(response.bodyFileSize, 3000000u);
        EXPECT_TRUE(tmp.Read("download") == Pattern(3000000));
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(progress.back().first, 3000000);
        EXPECT_EQ(progress.back().second, std::string(path).starts_with("/big") ? 3000000 : -1);
        for (size_t i = 1; i < progress.size(); ++i) {
            EXPECT_GT(progress[i].first, progress[i - 1].first);
        }
    }

    // An error answer's body stays in memory; the file is left empty.
    THttpRequest missing = Get("/status/404");
    missing.bodyFile = tmp / "download";
    THttpResponse response;
    ASSERT_TRUE(transport.Perform(missing, response)) << response.failure;
    EXPECT_EQ(Text(response.body), "status 404");
    EXPECT_EQ(tmp.Read("download"), "");

    // An exception of the progress callback leaves Perform.
    THttpRequest aborted = Get("/big/100000");
    aborted.bodyFile = tmp / "download";
    aborted.onBodyProgress = [](int64_t, int64_t) { throw std::runtime_error("cancelled"); };
    EXPECT_THROW(transport.Perform(aborted, response), std::runtime_error);
}

TEST_F(HttpTransportWindowsTest, AResumedDownloadContinuesWhereTheFileEnds) {
    TempFolder tmp;
    const std::string whole = Pattern(1000);
    const std::string file = tmp.Write("resumed", whole.substr(0, 400));
    THttpRequest request = Get("/resource");
    request.bodyFile = file;
    request.bodyFileOffset = 400;
    request.headers = {"Range: bytes=400-"};
    request.bodyFileSha256 = true;
    THttpResponse response;
    ASSERT_TRUE(transport.Perform(request, response)) << response.failure;
    EXPECT_EQ(response.status, 206);
    EXPECT_EQ(response.etag, "\"r1\"");
    EXPECT_EQ(response.bodyFileSize, 1000u);
    EXPECT_TRUE(ReadFileBytes(file) == whole);
    // The kept start never went through the transfer: no digest.
    EXPECT_EQ(response.bodyFileSha256, "");

    // A 200 replaces what the file held, and its digest comes along.
    tmp.Write("resumed", std::string(600, 'x'));
    request.headers.clear();
    ASSERT_TRUE(transport.Perform(request, response)) << response.failure;
    EXPECT_EQ(response.status, 200);
    EXPECT_TRUE(ReadFileBytes(file) == whole);
    EXPECT_EQ(response.bodyFileSha256, Sha256Hex(whole));

    // A 206 from elsewhere fails and leaves the file's start alone.
    tmp.Write("resumed", whole.substr(0, 400));
    request.url = base + "/shifted";
    request.headers = {"Range: bytes=400-"};
    EXPECT_FALSE(transport.Perform(request, response));
    EXPECT_THAT(response.failure, HasSubstr("Content-Range: bytes 0-999/1000"));
    EXPECT_EQ(response.etag, "\"r1\"");
    EXPECT_EQ(response.bodyFileSize, 400u);
    EXPECT_TRUE(ReadFileBytes(file) == whole.substr(0, 400));
}

TEST_F(HttpTransportWindowsTest, TheBodyFileIsReachedBelowItsRootWithoutFollowingLinks) {
    TempFolder tmp;
    tmp.Write("cache/server/keep", "");
    tmp.Write("outside/keep", "");
    THttpRequest request = Get("/text");
    request.bodyFileRoot = tmp / "cache";
    request.bodyFile = tmp / "cache/server/file.part";
    THttpResponse response;
    ASSERT_TRUE(transport.Perform(request, response)) << response.failure;
    EXPECT_EQ(tmp.Read("cache/server/file.part"), "hello, windows");

    // A folder on the way that is a link to another folder.
    const std::wstring link = Win32Path(tmp / "cache/linked");
    const std::wstring target = Win32Path(tmp / "outside");
    if (!CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY)) {
        GTEST_SKIP() << "no symbolic links here: " << LastWin32ErrorText();
    }
    request.bodyFile = tmp / "cache/linked/file.part";
    EXPECT_FALSE(transport.Perform(request, response));
    EXPECT_TRUE(response.fileFailed);
    EXPECT_THAT(response.failure, HasSubstr("could not write file file.part"));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(target) / L"file.part"));

    // A file outside the root is refused.
    request.bodyFile = tmp / "outside/file.part";
    EXPECT_FALSE(transport.Perform(request, response));
    EXPECT_TRUE(response.fileFailed);
}

}  // namespace
}  // namespace ombrel
