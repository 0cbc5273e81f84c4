// How the server client moves bodies: time-outs, redirects, bodies cut short, charsets and
// package downloads into memory and into files.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "tests/api/api_test_fixture.h"

namespace ombrel::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr char kConnectionFailed[] = "connection failed: ";

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string bytes(size, '\0');
    for (auto& b : bytes) b = static_cast<char>(gen() & 0xFF);
    return bytes;
}

std::string AsText(const TBytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// The read time-out shortened to one second; the product uses ten.
const THttpSettings kShortRead{10000, 1000, ""};

TEST_F(ApiClientTest, StalledBodyEndsWithReadTimeout) {
    server.Handle("GET", ".*", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(1000, "application/octet-stream",
                                 [this](size_t offset, size_t, httplib::DataSink& sink) {
                                     if (offset == 0)
                                         return sink.write(std::string(100, 'x').data(), 100);
                                     server.SleepUnlessStopped(std::chrono::seconds(60));
                                     return false;
                                 });
    });
    auto client = Client(kShortRead);
    TBytes bytes;
    EXPECT_FALSE(client->DownloadBinaryPackage(3, bytes));
    EXPECT_THAT(bytes, IsEmpty());
    auto errors = Errors();
    ASSERT_EQ(errors.size(), 2u) << messages->Dump();
    EXPECT_THAT(errors[0], StartsWith(kConnectionFailed));
    EXPECT_THAT(errors[0], HasSubstr("Timeout was reached"));
    EXPECT_EQ(errors[1], "request failed (0): ");
}

TEST_F(ApiClientTest, StalledAnswerBeforeAnyByteEndsWithReadTimeout) {
    server.Handle("GET", ".*", [this](const httplib::Request&, httplib::Response& res) {
        server.SleepUnlessStopped(std::chrono::seconds(60));
        res.set_content("late", "text/plain");
    });
    auto client = Client(kShortRead);
    std::string answer;
    EXPECT_FALSE(client->GetInstallInfoForLatest("app", answer));
    auto errors = Errors();
    ASSERT_EQ(errors.size(), 2u) << messages->Dump();
    EXPECT_THAT(errors[0], HasSubstr("Timeout was reached"));
}

TEST_F(ApiClientTest, SlowButSteadyBodyOutlastsTheReadTimeout) {
    // 12 pieces 250 ms apart: about 3 s in all, three times the read time-out, yet never a
    // gap longer than a quarter of it.
    const std::string piece = "0123456789";
    server.Handle("GET", ".*", [this, piece](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider(
            "application/octet-stream",
            [this, piece, sent = 0](size_t, httplib::DataSink& sink) mutable {
                if (sent == 12) {
                    sink.done();
                    return true;
                }
                if (sent++ > 0) server.SleepUnlessStopped(std::chrono::milliseconds(250));
                return sink.write(piece.data(), piece.size());
            });
    });
    auto client = Client(kShortRead);
    TBytes bytes;
    ASSERT_TRUE(client->DownloadBinaryPackage(3, bytes)) << messages->Dump();
    std::string expected;
    for (int i = 0; i < 12; ++i) expected += piece;
    EXPECT_EQ(AsText(bytes), expected);
}

TEST_F(ApiClientTest, RedirectToAnotherServerIsFollowed) {
    HttpTestServer files;
    const std::string package = RandomBytes(200000, 7);
    files.Handle("GET", "/files/pkg-17.zip", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(package, "application/zip");
    });
    server.Handle("GET", "/api/package/download/17",
                  [&](const httplib::Request&, httplib::Response& res) {
                      res.set_redirect(files.BaseUrl() + "/files/pkg-17.zip", 302);
                  });
    options->updateChannel = "beta";
    options->userAuth = "user:secret";
    auto client = Client();
    TBytes bytes;
    ASSERT_TRUE(client->DownloadBinaryPackage(17, bytes)) << messages->Dump();
    EXPECT_EQ(AsText(bytes), package);
    EXPECT_EQ(server.LastRequest().target, "/api/package/download/17?channel=beta");
    EXPECT_TRUE(server.LastRequest().HasHeader("Authorization"));
    EXPECT_EQ(files.LastRequest().path, "/files/pkg-17.zip");
    // The user's credential stays with the update server.
    EXPECT_FALSE(files.LastRequest().HasHeader("Authorization"));
    EXPECT_THAT(DebugLines(),
                ElementsAre("request: /api/package/download/17?channel=beta", "success"));

    TempFolder folder;
    ASSERT_TRUE(client->DownloadPackageToFile(17, TPackageMode::binary, folder / "pkg.zip"));
    EXPECT_EQ(folder.Read("pkg.zip"), package);
}

TEST_F(ApiClientTest, CredentialsGoOnlyToTheUpdateServersOwnOrigin) {
    // A hop on the server itself keeps the key; a static host elsewhere, and the same server
    // under another host name, get neither the key nor the user's credential.
    HttpTestServer files;
    const std::string package = "package bytes";
    auto serve = [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(package, "application/zip");
    };
    files.Handle("GET", "/files/p.zip", serve);
    server.Handle("GET", "/other-name/p.zip", serve);
    server.Handle("GET", "/api/package/download/17", [](const auto&, httplib::Response& res) {
        res.set_redirect("/moved/17", 302);
    });
    server.Handle("GET", "/moved/17", [&](const auto&, httplib::Response& res) {
        res.set_redirect(files.BaseUrl() + "/files/p.zip", 307);
    });
    server.Handle("GET", "/api/package/download/18", [&](const auto&, httplib::Response& res) {
        res.set_redirect("http://localhost:" + std::to_string(server.Port()) + "/other-name/p.zip",
                         302);
    });
    for (const char* user : {"", "user:secret"}) {
        SCOPED_TRACE(user);
        options->userAuth = user;
        for (int id : {17, 18}) {
            server.ClearRequests();
            files.ClearRequests();
            auto client = Client();
            TempFolder folder;
            ASSERT_TRUE(client->DownloadPackageToFile(id, TPackageMode::binary, folder / "p.zip"))
                << messages->Dump();
            EXPECT_EQ(folder.Read("p.zip"), package);
            std::vector<RecordedRequest> requests = server.Requests();
            for (const auto& request : files.Requests()) requests.push_back(request);
            ASSERT_EQ(requests.size(), id == 17 ? 3u : 2u);
            for (const auto& request : requests) {
                SCOPED_TRACE(request.target + " from " + request.Header("Host"));
                const bool own = request.Header("Host") == "127.0.0.1:" + std::to_string(server.Port());
                EXPECT_EQ(request.HasHeader("X-API-Key"), own);
                EXPECT_EQ(request.HasHeader("Authorization"), own && *user != '\0');
            }
        }
    }
}

TEST_F(ApiClientTest, RedirectLoopFails) {
    server.Handle("GET", ".*", [](const httplib::Request& req, httplib::Response& res) {
        res.set_redirect(req.path, 302);
    });
    auto client = Client();
    std::string answer;
    EXPECT_FALSE(client->GetInstallInfoForLatest("app", answer));
    auto errors = Errors();
    ASSERT_EQ(errors.size(), 2u) << messages->Dump();
    EXPECT_THAT(errors[0], StartsWith(kConnectionFailed));
    EXPECT_THAT(errors[0], HasSubstr("redirect"));
    EXPECT_EQ(errors[1], "request failed (0): ");
    // The first request and five redirects, then libcurl gives up.
    EXPECT_EQ(server.Requests().size(), 6u);
}

TEST_F(ApiClientTest, RedirectToAnotherProtocolIsRefused) {
    server.Handle("GET", ".*", [](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("ftp://127.0.0.1/package.zip", 302);
    });
    auto client = Client();
    TBytes bytes;
    EXPECT_FALSE(client->DownloadBinaryPackage(1, bytes));
    auto errors = Errors();
    ASSERT_EQ(errors.size(), 2u) << messages->Dump();
    EXPECT_THAT(errors[0], StartsWith(kConnectionFailed));
}

TEST_F(ApiClientTest, RedirectWithoutLocationIsJudgedByItsStatus) {
    server.Handle("GET", ".*", [](const httplib::Request&, httplib::Response& res) {
        res.status = 302;
        res.set_content("moved somewhere", "text/plain");
    });
    auto client = Client();
    std::string answer;
    EXPECT_FALSE(client->GetInstallInfoForLatest("app", answer));
    EXPECT_THAT(Errors(), ElementsAre("request failed (302): moved somewhere"));
}

TEST_F(ApiClientTest, BodyCutShortFails) {
    struct Case {
        const char* name;
        std::function<void(httplib::Response&)> answer;
    } cases[] = {
        {"shorter than Content-Length",
         [](httplib::Response& res) {
             res.set_content_provider(100, "application/zip",
                                      [](size_t offset, size_t, httplib::DataSink& sink) {
                                          if (offset > 0) return false;
                                          return sink.write(std::string(50, 'z').data(), 50);
                                      });
         }},
        {"chunked body without its end",
         [](httplib::Response& res) {
             res.set_chunked_content_provider(
                 "application/zip", [sent = false](size_t, httplib::DataSink& sink) mutable {
                     if (sent) return false;
                     sent = true;
                     return sink.write(std::string(50, 'z').data(), 50);
                 });
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpTestServer cutting;
        cutting.Handle("GET", ".*",
                       [&c](const httplib::Request&, httplib::Response& res) { c.answer(res); });
        options->apiUrl = cutting.BaseUrl();
        messages->reports.clear();
        auto client = Client();

        TBytes bytes;
        EXPECT_FALSE(client->DownloadBinaryPackage(1, bytes));
        EXPECT_THAT(bytes, IsEmpty());
        TempFolder folder;
        EXPECT_FALSE(client->DownloadPackageToFile(1, TPackageMode::binary, folder / "p.zip"));
        std::string answer;
        EXPECT_FALSE(client->GetInstallInfoForLatest("app", answer));
        EXPECT_EQ(answer, "");

        auto errors = Errors();
        ASSERT_EQ(errors.size(), 6u) << messages->Dump();
        for (size_t i = 0; i < errors.size(); i += 2) {
            EXPECT_THAT(errors[i], StartsWith(kConnectionFailed));
            EXPECT_THAT(errors[i], HasSubstr("partial"));
            EXPECT_EQ(errors[i + 1], "request failed (0): ");
        }
        EXPECT_THAT(DebugLines(), ::testing::Not(::testing::Contains("success")));
    }
}

TEST_F(ApiClientTest, TextIsDecodedByTheCharsetOfTheAnswer) {
    struct Case {
        const char* contentType;
        std::string body;
        std::string expected;
    } cases[] = {
        {"application/json", "{\"n\": \"\xC3\xA4\"}", "{\"n\": \"ä\"}"},
        // Not UTF-8 although no charset says otherwise: the text never carries the bad byte.
        {"application/json", "{\"n\": \"\xE4\"}", "{\"n\": \"\xEF\xBF\xBD\"}"},
        {"application/json; charset=utf-8", "\xC3\xA4", "ä"},
        {"application/json; charset=ISO-8859-1", "{\"n\": \"\xE4\"}", "{\"n\": \"ä\"}"},
        {"text/plain;charset=\"latin1\"", "Gr\xFC\xDF", "Grüß"},
        {"application/json; charset=windows-1252", "\x80 \xE4", "€ ä"},
        {"application/json; charset=UTF-16LE", std::string("\xAC\x20\xE4\x00", 4), "€ä"},
        {"application/json; charset=utf-16", std::string("\xFF\xFE\xE4\x00\xF6\x00", 6), "äö"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.contentType);
        HttpTestServer encoded;
        encoded.Handle("GET", ".*", [&c](const httplib::Request&, httplib::Response& res) {
            res.set_content(c.body, c.contentType);
        });
        encoded.Handle("POST", ".*", [&c](const httplib::Request&, httplib::Response& res) {
            res.status = 409;
            res.set_content(c.body, c.contentType);
        });
        options->apiUrl = encoded.BaseUrl();
        messages->reports.clear();
        auto client = Client();
        std::string answer;
        ASSERT_TRUE(client->GetInstallInfoForLatest("app", answer)) << messages->Dump();
        EXPECT_EQ(answer, c.expected);

        // Downloads stay raw bytes.
        TBytes bytes;
        ASSERT_TRUE(client->DownloadBinaryPackage(1, bytes));
        EXPECT_EQ(AsText(bytes), c.body);

        // Error texts carry the decoded body.
        EXPECT_FALSE(client->GetRepairInfoForVersion("app", "1", {}, answer));
        EXPECT_THAT(Errors(), ElementsAre("request failed (409): " + c.expected));
    }
}

TEST_F(ApiClientTest, PackagesDownloadExactlyIntoMemoryAndFiles) {
    const std::string binary = RandomBytes(3 * 1024 * 1024 + 17, 1);
    const std::string source = RandomBytes(70000, 2);
    server.Handle("GET", "/api/package/download/9",
                  [&](const httplib::Request&, httplib::Response& res) {
                      res.set_content(binary, "application/octet-stream");
                  });
    server.Handle("GET", "/api/package/download/source/9",
                  [&](const httplib::Request&, httplib::Response& res) {
                      // Without a length: chunked.
                      res.set_chunked_content_provider(
                          "text/plain; charset=ISO-8859-1",
                          [&source, offset = size_t{0}](size_t, httplib::DataSink& sink) mutable {
                              if (offset == source.size()) {
                                  sink.done();
                                  return true;
                              }
                              size_t n = std::min<size_t>(8192, source.size() - offset);
                              bool ok = sink.write(source.data() + offset, n);
                              offset += n;
                              return ok;
                          });
                  });
    auto client = Client();
    TBytes bytes;
    ASSERT_TRUE(client->DownloadBinaryPackage(9, bytes)) << messages->Dump();
    EXPECT_TRUE(AsText(bytes) == binary);
    ASSERT_TRUE(client->DownloadSourcePackage(9, bytes)) << messages->Dump();
    EXPECT_TRUE(AsText(bytes) == source);

    TempFolder folder;
    // An existing longer file is truncated.
    folder.Write("binary.zip", binary + binary);
    ASSERT_TRUE(client->DownloadPackageToFile(9, TPackageMode::binary, folder / "binary.zip"));
    EXPECT_TRUE(folder.Read("binary.zip") == binary);
    ASSERT_TRUE(client->DownloadPackageToFile(9, TPackageMode::source, folder / "source.zip"));
    EXPECT_TRUE(folder.Read("source.zip") == source);
    EXPECT_THAT(Errors(), IsEmpty());
}

TEST_F(ApiClientTest, FileDownloadFailuresAnswerFalse) {
    server.Handle("GET", "/api/package/download/404",
                  [](const httplib::Request&, httplib::Response& res) {
                      res.status = 404;
                      res.set_content("unknown package", "text/plain");
                  });
    server.Handle("GET", ".*", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("package bytes", "application/zip");
    });
    TempFolder folder;
    auto client = Client();

    EXPECT_FALSE(client->DownloadPackageToFile(404, TPackageMode::binary, folder / "a.zip"));
    EXPECT_THAT(Errors(), ElementsAre("request failed (404): unknown package"));
    EXPECT_NE(folder.Read("a.zip"), "unknown package");

    messages->reports.clear();
    EXPECT_FALSE(
        client->DownloadPackageToFile(1, TPackageMode::binary, folder / "missing-folder/a.zip"));
    // A file that cannot be written is no connection failure: one error names the file, its
    // folder and the reason.
    EXPECT_THAT(Errors(), ElementsAre("could not write file a.zip in folder " + folder.Path() +
                                      "/missing-folder: No such file or directory"));

    // A link at the name is not followed, so the file it points to stays as it is.
    messages->reports.clear();
    folder.Write("victim.txt", "keep me");
    std::filesystem::create_symlink(folder / "victim.txt", folder / "link.zip");
    EXPECT_FALSE(client->DownloadPackageToFile(1, TPackageMode::binary, folder / "link.zip"));
    EXPECT_EQ(folder.Read("victim.txt"), "keep me");
    EXPECT_THAT(Errors(), ElementsAre(StartsWith("could not write file link.zip in folder " +
                                                 folder.Path() + ": ")));
}

TEST_F(ApiClientTest, BelowItsRootADownloadNeverPassesThroughALinkedFolder) {
    server.Handle("GET", ".*", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("package bytes", "application/zip");
    });
    TempFolder folder;
    auto client = Client();
    // The root itself may be reached through a link; a folder below it may not.
    std::filesystem::create_directories(folder / "cache/server");
    std::filesystem::create_directories(folder / "outside");
    std::filesystem::create_directory_symlink(folder / "cache", folder / "cache-link");
    std::filesystem::create_directory_symlink(folder / "outside", folder / "cache/swapped");

    TPackageDownload fine;
    fine.packageId = 1;
    fine.root = folder / "cache-link";
    fine.path = folder / "cache-link/server/a.zip.part";
    EXPECT_TRUE(client->DownloadPackageToFile(fine)) << messages->Dump();
    EXPECT_EQ(folder.Read("cache/server/a.zip.part"), "package bytes");

    TPackageDownload swapped = fine;
    swapped.path = folder / "cache-link/swapped/a.zip.part";
    EXPECT_FALSE(client->DownloadPackageToFile(swapped));
    EXPECT_FALSE(std::filesystem::exists(folder / "outside/a.zip.part"));
    EXPECT_THAT(Errors(), ElementsAre(StartsWith("could not write file a.zip.part in folder " +
                                                 folder / "cache-link/swapped" + ": ")));
}

}  // namespace
}  // namespace ombrel::testing
