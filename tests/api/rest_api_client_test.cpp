// The server client's requests, headers, reports and error list, against a recording server.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "state/ombrel_file.h"
#include "tests/api/api_test_fixture.h"

namespace ombrel::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr char kServed[] = "{\"served\": \"ä\"}";

struct OperationCase {
    const char* name;
    const char* method;
    const char* path;
    const char* body;  // expected request body; nullptr for GET
    // Runs the operation; `answer` receives what it delivered (text, bytes or file content).
    std::function<bool(TApiClient&, std::string& answer, const TempFolder&)> run;
};

std::string AsText(const TBytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

const std::vector<OperationCase>& Operations() {
    static const std::vector<OperationCase> cases = {
        {"GetInfoForPackage(package)", "GET", "/api/package/info/core", nullptr,
         [](TApiClient& c, std::string& a, const TempFolder&) {
             return c.GetInfoForPackage("core", a);
         }},
        {"GetInfoForPackage(package, version)", "GET", "/api/package/info/core/1.2", nullptr,
         [](TApiClient& c, std::string& a, const TempFolder&) {
             return c.GetInfoForPackage("core", "1.2", a);
         }},
        {"GetInstallInfoForVersion", "GET", "/api/update/install/app/2.0", nullptr,
         [](TApiClient& c, std::string& a, const TempFolder&) {
             return c.GetInstallInfoForVersion("app", "2.0", a);
         }},
        {"GetInstallInfoForLatest", "GET", "/api/update/install/app", nullptr,
         [](TApiClient& c, std::string& a, const TempFolder&) {
             return c.GetInstallInfoForLatest("app", a);
         }},
        {"GetUpdateInfoForVersion", "GET", "/api/update/version/app/2.0", nullptr,
         [](TApiClient& c, std::string& a, const TempFolder&) {
             return c.GetUpdateInfoForVersion("app", "2.0", a);
         }},
        {"GetVersionInfoForVersion", "POST", "/api/update/force/app/2.0", "[\r\n]",
         [](TApiClient& c, std::string& a, const TempFolder&) {
             TOmbrelFile manifest(nullptr);
             return c.GetVersionInfoForVersion("app", "2.0", manifest, a);
         }},
        {"GetRepairInfoForVersion", "POST", "/api/update/repair/app/2.0", "[\r\n]",
         [](TApiClient& c, std::string& a, const TempFolder&) {
             return c.GetRepairInfoForVersion("app", "2.0", THashList{}, a);
         }},
        {"DownloadBinaryPackage", "GET", "/api/package/download/17", nullptr,
         [](TApiClient& c, std::string& a, const TempFolder&) {
             TBytes bytes;
             bool ok = c.DownloadBinaryPackage(17, bytes);
             a = AsText(bytes);
             return ok;
         }},
        {"DownloadSourcePackage", "GET", "/api/package/download/source/17", nullptr,
         [](TApiClient& c, std::string& a, const TempFolder&) {
             TBytes bytes;
             bool ok = c.DownloadSourcePackage(17, bytes);
             a = AsText(bytes);
             return ok;
         }},
        {"DownloadPackageToFile(binary)", "GET", "/api/package/download/17", nullptr,
         [](TApiClient& c, std::string& a, const TempFolder& folder) {
             bool ok = c.DownloadPackageToFile(17, TPackageMode::binary, folder / "p.zip");
             a = folder.Read("p.zip");
             return ok;
         }},
        {"DownloadPackageToFile(source)", "GET", "/api/package/download/source/17", nullptr,
         [](TApiClient& c, std::string& a, const TempFolder& folder) {
             bool ok = c.DownloadPackageToFile(17, TPackageMode::source, folder / "p.zip");
             a = folder.Read("p.zip");
             return ok;
         }},
    };
    return cases;
}

TEST_F(ApiClientTest, EveryOperationSendsItsRequestWithAndWithoutChannel) {
    AnswerEverything(kServed);
    for (const char* channel : {"", "beta"}) {
        options->updateChannel = channel;
        for (const auto& op : Operations()) {
            SCOPED_TRACE(std::string(op.name) + " channel '" + channel + "'");
            server.ClearRequests();
            messages->reports.clear();
            TempFolder folder;
            auto client = Client();
            std::string answer = "stale";

            ASSERT_TRUE(op.run(*client, answer, folder)) << messages->Dump();

            EXPECT_EQ(answer, kServed);
            auto request = server.LastRequest();
            EXPECT_EQ(server.Requests().size(), 1u);
            EXPECT_EQ(request.method, op.method);
            EXPECT_EQ(request.path, op.path);
            std::string query = *channel ? std::string("channel=") + channel : "";
            EXPECT_EQ(request.query, query);
            std::string resource = std::string(op.path) + (*channel ? "?" + query : "");
            EXPECT_THAT(DebugLines(), ElementsAre("request: " + resource, "success"));
            EXPECT_THAT(Errors(), IsEmpty());
            EXPECT_FALSE(client->IsError());
            if (op.body != nullptr) {
                EXPECT_EQ(request.body, op.body);
                EXPECT_EQ(request.Header("Content-Type"), "application/json");
            } else {
                EXPECT_EQ(request.body, "");
            }
            for (const auto& r : messages->reports) EXPECT_EQ(r.sender, "TApiClient");
        }
    }
}

TEST_F(ApiClientTest, ATextAnswerWithoutADocumentIsAnErrorNamingTheRequest) {
    struct Body {
        const char* body;
        const char* why;
    } bodies[] = {{"", "empty body"}, {" \r\n", "empty body"}, {"null", "null"}, {" null\n", "null"}};
    options->updateChannel = "beta";
    std::string current;
    auto handler = [&current](const httplib::Request&, httplib::Response& res) {
        res.set_content(current, "application/json");
    };
    server.Handle("GET", ".*", handler);
    server.Handle("POST", ".*", handler);
    for (const auto& b : bodies) {
        current = b.body;
        // The text operations are the first seven; a package file may be empty.
        for (size_t i = 0; i < 7; ++i) {
            const auto& op = Operations()[i];
            SCOPED_TRACE(std::string(op.name) + " '" + b.body + "'");
            messages->reports.clear();
            TempFolder folder;
            auto client = Client();
            std::string answer = "stale";
            EXPECT_FALSE(op.run(*client, answer, folder));
            EXPECT_EQ(answer, "");
            EXPECT_TRUE(client->IsError());
            EXPECT_THAT(Errors(), ElementsAre(std::string("request ") + op.path +
                                              "?channel=beta answered 200 without a document (" +
                                              b.why + ")"));
        }
    }
    current.clear();
    auto client = Client();
    TBytes bytes = {1};
    EXPECT_TRUE(client->DownloadBinaryPackage(1, bytes)) << messages->Dump();
    EXPECT_THAT(bytes, IsEmpty());
}

TEST_F(ApiClientTest, BaseUrlIsTrimmedGetsSchemeAndLosesOneTrailingSlash) {
    AnswerEverything("{}");
    const std::string hostPort = "127.0.0.1:" + std::to_string(server.Port());
    struct Case {
        std::string apiUrl;
        std::string latestPath;
        std::string pingPath;
    } cases[] = {
        {"http://" + hostPort, "/api/update/install/app", "/api/ping/secure"},
        {"http://" + hostPort + "/", "/api/update/install/app", "/api/ping/secure"},
        {"  " + hostPort + "/ \t", "/api/update/install/app", "/api/ping/secure"},
        {"http://" + hostPort + "/sub/", "/sub/api/update/install/app", "/sub/api/ping/secure"},
        {"http://" + hostPort + "/sub//", "/sub//api/update/install/app", "/sub//api/ping/secure"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("'" + c.apiUrl + "'");
        options->apiUrl = c.apiUrl;
        server.ClearRequests();
        auto client = Client();
        std::string answer;
        EXPECT_TRUE(client->GetInstallInfoForLatest("app", answer)) << messages->Dump();
        EXPECT_TRUE(client->Ping()) << messages->Dump();
        auto requests = server.Requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0].target, c.latestPath);
        EXPECT_EQ(requests[1].target, c.pingPath);
    }
}

TEST_F(ApiClientTest, CredentialsBecomeHeaders) {
    AnswerEverything("{}");
    struct Case {
        const char* name;
        std::string apiKey, userAuth, customerAuth;
        const char* expectedKey;            // nullptr: no such header
        const char* expectedAuthorization;  // nullptr: no such header
    } cases[] = {
        {"api key only", "key-1", "", "", "key-1", nullptr},
        {"nothing", "", "", "", nullptr, nullptr},
        {"user", "", "Aladdin:open sesame", "", nullptr, "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
        {"user, UTF-8", "k", "jürgen:pässwort", "", "k", "Basic asO8cmdlbjpww6Rzc3dvcnQ="},
        {"customer", "k", "", "cust 42/x", "k", "Customer cust 42/x"},
        {"both", "k", "Aladdin:open sesame", "cust", "k", "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        options->apiKey = c.apiKey;
        options->userAuth = c.userAuth;
        options->customerAuth = c.customerAuth;
        server.ClearRequests();
        auto client = Client();
        std::string answer;
        TBytes bytes;
        ASSERT_TRUE(client->GetInstallInfoForLatest("app", answer));
        ASSERT_TRUE(client->GetRepairInfoForVersion("app", "1", {}, answer));
        ASSERT_TRUE(client->DownloadBinaryPackage(1, bytes));
        ASSERT_TRUE(client->Ping());
        for (const auto& request : server.Requests()) {
            SCOPED_TRACE(request.target);
            EXPECT_EQ(request.HasHeader("X-API-Key"), c.expectedKey != nullptr);
            if (c.expectedKey) {
                EXPECT_EQ(request.Header("X-API-Key"), c.expectedKey);
            }
            EXPECT_EQ(request.HasHeader("Authorization"), c.expectedAuthorization != nullptr);
            if (c.expectedAuthorization) {
                EXPECT_EQ(request.Header("Authorization"), c.expectedAuthorization);
            }
        }
    }
}

TEST_F(ApiClientTest, ArgumentsAndChannelReachTheServerUnchanged) {
    AnswerEverything("{}");
    options->updateChannel = "beta & gamma=1+2#x";
    auto client = Client();
    std::string answer;
    ASSERT_TRUE(client->GetInstallInfoForVersion("my app", "1.0 ü%", answer)) << messages->Dump();
    auto request = server.LastRequest();
    EXPECT_EQ(request.path, "/api/update/install/my app/1.0 ü%");
    ASSERT_EQ(request.query.find('&'), std::string::npos) << request.query;
    EXPECT_EQ(httplib::detail::decode_url(request.query, true), "channel=beta & gamma=1+2#x");
    EXPECT_THAT(DebugLines(),
                ElementsAre("request: /api/update/install/my app/1.0 ü%?channel=beta & "
                            "gamma=1+2#x",
                            "success"));
}

TEST_F(ApiClientTest, ForceAndRepairSendTheirBodiesByteForByte) {
    AnswerEverything("{}");
    TOmbrelFile manifest(nullptr);
    manifest.AddOrUpdatePackage("core", "1.2");
    manifest.AddOrUpdatePackage("plug\\in", "");
    auto client = Client();
    std::string answer;
    ASSERT_TRUE(client->GetVersionInfoForVersion("app", "3", manifest, answer));
    EXPECT_EQ(server.LastRequest().body,
              "[\r\n"
              "    {\r\n"
              "        \"name\": \"core\",\r\n"
              "        \"version\": \"1.2\"\r\n"
              "    },\r\n"
              "    {\r\n"
              "        \"name\": \"plug\\\\in\",\r\n"
              "        \"version\": \"\"\r\n"
              "    }\r\n"
              "]");

    THashList hashes = {{"bin\\app.exe", "0123456789abcdef0123456789abcdef"},
                        {"doc/read me.txt", "fedcba9876543210fedcba9876543210"},
                        {"Übersicht.pdf", "00000000000000000000000000000000"}};
    ASSERT_TRUE(client->GetRepairInfoForVersion("app", "3", hashes, answer));
    auto request = server.LastRequest();
    EXPECT_EQ(request.body,
              "[\r\n"
              "    {\r\n"
              "        \"name\": \"bin\\\\app.exe\",\r\n"
              "        \"hash\": \"0123456789abcdef0123456789abcdef\"\r\n"
              "    },\r\n"
              "    {\r\n"
              "        \"name\": \"doc\\/read me.txt\",\r\n"
              "        \"hash\": \"fedcba9876543210fedcba9876543210\"\r\n"
              "    },\r\n"
              "    {\r\n"
              "        \"name\": \"Übersicht.pdf\",\r\n"
              "        \"hash\": \"00000000000000000000000000000000\"\r\n"
              "    }\r\n"
              "]");
    EXPECT_EQ(request.Header("Content-Type"), "application/json");
}

TEST_F(ApiClientTest, NotFoundRecordsOneText) {
    server.Handle("GET", ".*", [](const httplib::Request&, httplib::Response& res) {
        res.status = 404;
        res.set_content("no such project", "text/plain");
    });
    auto client = Client();
    std::string answer = "stale";
    EXPECT_FALSE(client->GetInstallInfoForLatest("app", answer));
    EXPECT_EQ(answer, "");
    EXPECT_TRUE(client->IsError());
    EXPECT_THAT(Errors(), ElementsAre("request failed (404): no such project"));
    EXPECT_EQ(client->ErrorText(), "request failed (404): no such project\r\n");
    EXPECT_THAT(DebugLines(), ElementsAre("request: /api/update/install/app"));

    TBytes bytes = {1, 2, 3};
    EXPECT_FALSE(client->DownloadBinaryPackage(4, bytes));
    EXPECT_THAT(bytes, IsEmpty());
    EXPECT_EQ(client->ErrorText(),
              "request failed (404): no such project\r\nrequest failed (404): no such project\r\n");

    client->ClearErrors();
    EXPECT_FALSE(client->IsError());
    EXPECT_EQ(client->ErrorText(), "");
}

TEST_F(ApiClientTest, ServerErrorCountsAsFailedRunAndRecordsTwoTexts) {
    for (int status : {500, 503, 599}) {
        SCOPED_TRACE(status);
        HttpTestServer failing;
        failing.Handle("GET", ".*", [status](const httplib::Request&, httplib::Response& res) {
            res.status = status;
            res.set_content("boom", "text/plain");
        });
        options->apiUrl = failing.BaseUrl();
        messages->reports.clear();
        auto client = Client();
        std::string answer;
        EXPECT_FALSE(client->GetInstallInfoForLatest("app", answer));
        EXPECT_EQ(answer, "");
        auto errors = Errors();
        ASSERT_EQ(errors.size(), 2u) << messages->Dump();
        EXPECT_THAT(errors[0], StartsWith("connection failed: "));
        EXPECT_THAT(errors[0], HasSubstr(std::to_string(status)));
        EXPECT_EQ(errors[1], "request failed (" + std::to_string(status) + "): boom");
        EXPECT_THAT(DebugLines(), ElementsAre("request: /api/update/install/app"));
    }
}

TEST_F(ApiClientTest, UnreachableServerRecordsTwoTexts) {
    options->apiUrl = "http://127.0.0.1:" + std::to_string(UnusedLoopbackPort());
    auto client = Client();
    std::string answer = "stale";
    EXPECT_FALSE(client->GetInstallInfoForLatest("app", answer));
    EXPECT_EQ(answer, "");
    auto errors = Errors();
    ASSERT_EQ(errors.size(), 2u) << messages->Dump();
    EXPECT_THAT(errors[0], StartsWith("connection failed: "));
    EXPECT_GT(errors[0].size(), std::string("connection failed: ").size());
    EXPECT_EQ(errors[1], "request failed (0): ");
    EXPECT_EQ(client->ErrorText(), errors[0] + "\r\n" + errors[1] + "\r\n");

    client->ClearErrors();
    EXPECT_FALSE(client->IsError());
    EXPECT_EQ(client->ErrorText(), "");
}

TEST_F(ApiClientTest, PingReportsByStatusAndFailure) {
    struct Case {
        const char* name;
        int status;  // 0: nobody listens
        bool expected;
        bool successLine;
        const char* errorPrefix;  // nullptr: no error
    } cases[] = {
        {"200", 200, true, true, nullptr},
        {"204", 204, true, true, nullptr},
        {"401", 401, false, true, nullptr},
        {"404", 404, false, true, nullptr},
        {"500", 500, false, false, "Connection failed: "},
        {"refused", 0, false, false, "Connection failed: "},
    };
    options->updateChannel = "beta";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpTestServer pingServer;
        pingServer.Handle("GET", ".*", [&c](const httplib::Request&, httplib::Response& res) {
            res.status = c.status;
            res.set_content("pong", "text/plain");
        });
        options->apiUrl = c.status == 0 ? "http://127.0.0.1:" + std::to_string(UnusedLoopbackPort())
                                        : pingServer.BaseUrl() + "/";
        messages->reports.clear();
        auto client = Client();
        EXPECT_EQ(client->Ping(), c.expected);
        if (c.successLine) {
            EXPECT_THAT(DebugLines(), ElementsAre("ping on " + options->apiUrl + " successfull"));
        } else {
            EXPECT_THAT(DebugLines(), IsEmpty());
        }
        auto errors = Errors();
        if (c.errorPrefix) {
            ASSERT_EQ(errors.size(), 1u) << messages->Dump();
            EXPECT_THAT(errors[0], StartsWith(c.errorPrefix));
            EXPECT_EQ(client->ErrorText(), errors[0] + "\r\n");
        } else {
            EXPECT_THAT(errors, IsEmpty());
        }
        if (c.status != 0) {
            auto request = pingServer.LastRequest();
            EXPECT_EQ(request.target, "/api/ping/secure");  // no channel
        }
    }
}

TEST_F(ApiClientTest, DebugModePingsAtCreationWithDebugQuery) {
    AnswerEverything("{}");
    options->debug = true;
    options->updateChannel = "beta";
    auto client = Client();
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/api/ping/secure");
    EXPECT_EQ(requests[0].query, "XDEBUG_SESSION_START=PHPSTORM");
    EXPECT_THAT(DebugLines(), ElementsAre("ping on " + server.BaseUrl() + " successfull"));

    EXPECT_TRUE(client->Ping());
    EXPECT_EQ(server.LastRequest().query, "XDEBUG_SESSION_START=PHPSTORM");
}

TEST_F(ApiClientTest, NoPingAtCreationWithoutDebug) {
    AnswerEverything("{}");
    auto client = Client();
    EXPECT_THAT(server.Requests(), IsEmpty());
    EXPECT_THAT(messages->reports, IsEmpty());
}

TEST_F(ApiClientTest, DebugModeUnreachableServerReportsPingFailureAtCreation) {
    options->debug = true;
    options->apiUrl = "http://127.0.0.1:" + std::to_string(UnusedLoopbackPort());
    auto client = Client();
    auto errors = Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_THAT(errors[0], StartsWith("Connection failed: "));
    EXPECT_TRUE(client->IsError());
}

}  // namespace
}  // namespace ombrel::testing
