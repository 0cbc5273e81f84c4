// The server over HTTP on 127.0.0.1, with a store made by the publisher.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>

#include "io/text.h"
#include "platform/crypto.h"
#include "tests/tools/ombrel-server/server_test_support.h"
#include "tools/ombrel-server/digest.h"
#include "tools/ombrel-server/release_store.h"

namespace ombrel::server {
namespace {

using Json = nlohmann::json;
using ombrel::testing::TempFolder;
using ::testing::ElementsAre;
using testing::FilePackage;
using testing::FolderPackage;
using ::testing::IsEmpty;
using testing::PublishOk;
using testing::TRunningServer;

using Strings = std::vector<std::string>;

// demo on stable: 1.0 (core, data, tool, legacy) and 1.1 (core changed: README.txt changed,
// old.txt gone; legacy gone). demo on beta: 0.9, and 1.2 (core and tool changed).
class HttpServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tmp.Write("core/bin/run", "#!/bin/sh\n");
        tmp.Write("core/README.txt", "readme 1\n");
        tmp.Write("core/old.txt", "old\n");
        tmp.Write("data/a.dat", "data\n");
        tmp.Write("tool", "tool 1\n");
        tmp.Write("legacy/legacy/l.txt", "legacy\n");
        auto v10 = PublishOk(
            Store(), "demo", "1.0",
            {FolderPackage("core", tmp / "core"), FolderPackage("data", tmp / "data", {"*.dat"}),
             FilePackage("tool", tmp / "tool", "bin/tool"),
             FolderPackage("legacy", tmp / "legacy")});
        core10 = v10[0].Id;
        data10 = v10[1].Id;
        tool10 = v10[2].Id;
        legacy10 = v10[3].Id;
        tmp.Write("core/README.txt", "readme 2\n");
        std::filesystem::remove(tmp / "core/old.txt");
        core11 = PublishOk(Store(), "demo", "1.1",
                           {FolderPackage("core", tmp / "core"),
                            FolderPackage("data", tmp / "data", {"*.dat"}),
                            FilePackage("tool", tmp / "tool", "bin/tool")})[0]
                     .Id;
        PublishOk(Store(), "demo", "0.9", {FilePackage("tool", tmp / "tool", "bin/tool")}, "beta");
        tmp.Write("core/README.txt", "readme 3\n");
        tmp.Write("tool", "tool 2\n");
        auto v12 = PublishOk(
            Store(), "demo", "1.2",
            {FolderPackage("core", tmp / "core"), FolderPackage("data", tmp / "data", {"*.dat"}),
             FilePackage("tool", tmp / "tool", "bin/tool")},
            "beta");
        core12 = v12[0].Id;
        tool12 = v12[2].Id;
        server = std::make_unique<TRunningServer>(Store());
        client = server->Client();
    }

    std::string Store() const { return tmp / "store"; }

    // GET or POST; fails the test unless the status is the one expected.
    std::string Call(const std::string& path, int status = 200, const std::string* body = nullptr) {
        auto res = body != nullptr ? client->Post(path.c_str(), *body, "application/json")
                                   : client->Get(path.c_str());
        if (!res) {
            ADD_FAILURE() << path << ": no answer";
            return "";
        }
        EXPECT_EQ(res->status, status) << path << "\n" << res->body;
        if (status == 200 && path.rfind("/api/package/download", 0) != 0) {
            EXPECT_EQ(res->get_header_value("Content-Type"), "application/json; charset=utf-8")
                << path;
        }
        return res->body;
    }
    Json CallJson(const std::string& path, const std::string* body = nullptr) {
        return Json::parse(Call(path, 200, body));
    }

    // "name version" of each package of a version document.
    static Strings Packages(const Json& doc) {
        Strings result;
        for (const auto& p : doc.at("packages")) {
            result.push_back(p.at("name").get<std::string>() + " " +
                             p.at("version").get<std::string>());
        }
        return result;
    }

    TempFolder tmp;
    int32_t core10 = 0, data10 = 0, tool10 = 0, legacy10 = 0, core11 = 0, core12 = 0, tool12 = 0;
    std::unique_ptr<TRunningServer> server;
    std::unique_ptr<httplib::Client> client;
};

TEST_F(HttpServiceTest, InstallAnswersTheHighestOrTheNamedRelease) {
    Json latest = CallJson("/api/update/install/demo");
    EXPECT_EQ(latest["version"], "1.1");
    EXPECT_THAT(Packages(latest), ElementsAre("core 1.1", "data 1.0", "tool 1.0"));
    EXPECT_THAT(latest["doomed_packages"], IsEmpty());
    EXPECT_THAT(latest["doomed_files"], IsEmpty());
    const Json& core = latest["packages"][0];
    EXPECT_EQ(core["id"], core11);
    EXPECT_EQ(core["build"], 0);
    EXPECT_EQ(core["files"], Json::array({"*"}));
    EXPECT_FALSE(core.contains("filename"));  // archives have none
    EXPECT_THAT(core["updated_at"].get<std::string>(),
                ::testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z"));
    const Json& tool = latest["packages"][2];
    EXPECT_EQ(tool["filename"], "bin/tool");
    EXPECT_EQ(tool["files"], Json::array({"*"}));  // single files need a mask to be installed
    EXPECT_EQ(latest["packages"][1]["files"], Json::array({"*.dat"}));

    Json named = CallJson("/api/update/install/demo/1.0");
    EXPECT_EQ(named["version"], "1.0");
    EXPECT_THAT(Packages(named), ElementsAre("core 1.0", "data 1.0", "tool 1.0", "legacy 1.0"));
}

TEST_F(HttpServiceTest, UpdateSendsChangedPackagesAndDoomsWhatLeft) {
    Json update = CallJson("/api/update/version/demo/1.0");
    EXPECT_EQ(update["version"], "1.1");
    EXPECT_THAT(Packages(update), ElementsAre("core 1.1"));
    EXPECT_EQ(update["doomed_packages"], Json::array({"legacy"}));
    EXPECT_EQ(update["doomed_files"], Json::array({"old.txt", "legacy/l.txt"}));

    Json none = CallJson("/api/update/version/demo/1.1");
    EXPECT_EQ(none, Json::parse(R"({"version": "1.1", "packages": [], "doomed_packages": [],
                                    "doomed_files": []})"));

    // Stable 1.0 moving to beta: the installed release is found on stable.
    Json beta = CallJson("/api/update/version/demo/1.0?channel=beta");
    EXPECT_EQ(beta["version"], "1.2");
    EXPECT_THAT(Packages(beta), ElementsAre("core 1.2", "tool 1.2"));
    EXPECT_EQ(beta["doomed_packages"], Json::array({"legacy"}));

    // Never downwards: beta 1.2 on stable has nothing to do.
    Json down = CallJson("/api/update/version/demo/1.2");
    EXPECT_EQ(down["version"], "1.2");
    EXPECT_THAT(down["packages"], IsEmpty());
}

TEST_F(HttpServiceTest, ForceComparesTheReleaseWithWhatIsInstalled) {
    // 1.1 installed plus a package of the user's own; forcing 1.0 brings core and legacy back.
    std::string body = R"([{"name": "core", "version": "1.1"}, {"name": "data", "version": "1.0"},
                           {"name": "tool", "version": "1.0"}, {"name": "extra", "version": "3"}])";
    Json down = CallJson("/api/update/force/demo/1.0", &body);
    EXPECT_EQ(down["version"], "1.0");
    EXPECT_THAT(Packages(down), ElementsAre("core 1.0", "legacy 1.0"));
    EXPECT_EQ(down["doomed_packages"], Json::array({"extra"}));
    EXPECT_THAT(down["doomed_files"], IsEmpty());

    // 1.0 installed, forcing 1.1: the files of the installed packages that 1.1 lacks go.
    body = R"([{"name": "core", "version": "1.0"}, {"name": "data", "version": "1.0"},
               {"name": "tool", "version": "1.0"}, {"name": "legacy", "version": "1.0"}])";
    Json up = CallJson("/api/update/force/demo/1.1", &body);
    EXPECT_THAT(Packages(up), ElementsAre("core 1.1"));
    EXPECT_EQ(up["doomed_packages"], Json::array({"legacy"}));
    EXPECT_EQ(up["doomed_files"], Json::array({"old.txt", "legacy/l.txt"}));

    // An empty installation gets everything (the body of an empty manifest).
    body = "[\r\n]";
    Json fresh = CallJson("/api/update/force/demo/1.2?channel=beta", &body);
    EXPECT_THAT(Packages(fresh), ElementsAre("core 1.2", "data 1.0", "tool 1.2"));
}

TEST_F(HttpServiceTest, RepairSendsThePackagesWithChangedOrMissingFiles) {
    // The installed 1.1 with README.txt changed on disk and bin/tool deleted (so not hashed);
    // names come with either separator, digests in any case.
    std::string upperDataHash = Md5OfText("data\n");
    for (auto& c : upperDataHash) c = static_cast<char>(std::toupper(c));
    Json body = Json::array({{{"name", "bin\\run"}, {"hash", Md5OfText("#!/bin/sh\n")}},
                             {{"name", "README.txt"}, {"hash", Md5OfText("changed by the user\n")}},
                             {{"name", "a.dat"}, {"hash", upperDataHash}}});
    std::string text = body.dump();
    Json repair = CallJson("/api/update/repair/demo/1.1", &text);
    EXPECT_EQ(repair["version"], "1.1");
    EXPECT_THAT(Packages(repair), ElementsAre("core 1.1", "tool 1.0"));
    EXPECT_THAT(repair["doomed_packages"], IsEmpty());
    EXPECT_THAT(repair["doomed_files"], IsEmpty());

    // Everything intact: nothing to repair.
    body = Json::array({{{"name", "bin/run"}, {"hash", Md5OfText("#!/bin/sh\n")}},
                        {{"name", "README.txt"}, {"hash", Md5OfText("readme 2\n")}},
                        {{"name", "a.dat"}, {"hash", Md5OfText("data\n")}},
                        {{"name", "bin/tool"}, {"hash", Md5OfText("tool 1\n")}}});
    text = body.dump();
    EXPECT_THAT(CallJson("/api/update/repair/demo/1.1", &text)["packages"], IsEmpty());
}

TEST_F(HttpServiceTest, ChannelsSelectTheirHighestRelease) {
    struct {
        const char* path;
        const char* version;
    } cases[] = {
        {"/api/update/install/demo", "1.1"},
        {"/api/update/install/demo?channel=", "1.1"},
        {"/api/update/install/demo?channel=stable", "1.1"},
        {"/api/update/install/demo?channel=beta", "1.2"},
        // A named version is found on the channel, else where it was published.
        {"/api/update/install/demo/1.0?channel=beta", "1.0"},
        {"/api/update/install/demo/0.9?channel=beta", "0.9"},
        {"/api/update/install/demo/0.9", "0.9"},
    };
    for (const auto& c : cases) EXPECT_EQ(CallJson(c.path)["version"], c.version) << c.path;
    EXPECT_EQ(Call("/api/update/install/demo?channel=nightly", 404),
              "no release of demo on channel nightly");
}

// The same version on two channels with different builds: the update has nothing to do (the
// engine then forces its version onto the channel), and the force sends the other build.
TEST_F(HttpServiceTest, SameVersionOnAnotherChannelIsReachedByForce) {
    tmp.Write("core/README.txt", "release candidate\n");
    tmp.Write("tool", "tool 1\n");
    auto rc = PublishOk(
        Store(), "demo", "1.1",
        {FolderPackage("core", tmp / "core"), FolderPackage("data", tmp / "data", {"*.dat"}),
         FilePackage("tool", tmp / "tool", "bin/tool")},
        "rc");
    EXPECT_EQ(rc[0].FullVersion, "1.1.1");
    EXPECT_EQ(rc[2].Id, tool10);  // identical content: the stored package
    Json update = CallJson("/api/update/version/demo/1.1?channel=rc");
    EXPECT_EQ(update["version"], "1.1");
    EXPECT_THAT(update["packages"], IsEmpty());
    std::string installed = R"([{"name": "core", "version": "1.1"},
                                {"name": "data", "version": "1.0"},
                                {"name": "tool", "version": "1.0"}])";
    Json force = CallJson("/api/update/force/demo/1.1?channel=rc", &installed);
    EXPECT_THAT(Packages(force), ElementsAre("core 1.1.1"));
    EXPECT_EQ(force["packages"][0]["id"], rc[0].Id);
    EXPECT_THAT(force["doomed_files"], IsEmpty());
    Json info = CallJson("/api/package/info/core/1.1.1");
    EXPECT_EQ(info["version"], "1.1");
    EXPECT_EQ(info["build"], 1);
    // Without the channel, 1.1 is still the stable build.
    EXPECT_THAT(Packages(CallJson("/api/update/force/demo/1.1", &installed)), IsEmpty());
}

TEST_F(HttpServiceTest, PackageInfoListsVersionsAndAnswersOne) {
    Json all = CallJson("/api/package/info/core");
    ASSERT_TRUE(all.is_array());
    Strings versions;
    for (const auto& p : all) versions.push_back(p["version"].get<std::string>());
    EXPECT_THAT(versions, ElementsAre("1.0", "1.1", "1.2"));

    Json one = CallJson("/api/package/info/tool/1.2");
    EXPECT_TRUE(one.is_object());
    EXPECT_EQ(one["id"], tool12);
    EXPECT_EQ(one["name"], "tool");
    EXPECT_EQ(one["build"], 0);
    EXPECT_EQ(one["filename"], "bin/tool");
    EXPECT_TRUE(one.contains("updated_at"));
}

TEST_F(HttpServiceTest, DownloadsServeThePublishedBytes) {
    auto res = client->Get(("/api/package/download/" + std::to_string(tool10)).c_str());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "tool 1\n");
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/octet-stream");
    EXPECT_EQ(res->get_header_value("Content-Length"), "7");

    TStoreIndex index;
    std::string error;
    ASSERT_TRUE(LoadIndex(Store(), index, error)) << error;
    std::string stored = tmp.Read(FilesDir(Store()) + "/" + index.PackageById(core11)->StoredFile);
    EXPECT_EQ(Call("/api/package/download/" + std::to_string(core11) + "?channel=beta"), stored);
    EXPECT_EQ(Call("/api/package/download/source/" + std::to_string(core11), 404),
              "no source published for package id " + std::to_string(core11));
}

// Every package document names the size and SHA-256 of the file its download answers; the
// download sends that digest as its ETag.
TEST_F(HttpServiceTest, DocumentsAndDownloadsCarrySizeAndDigest) {
    TStoreIndex index;
    std::string error;
    ASSERT_TRUE(LoadIndex(Store(), index, error)) << error;
    for (const auto* path : {"/api/update/install/demo", "/api/update/install/demo/1.0"}) {
        Json doc = CallJson(path);
        ASSERT_FALSE(doc["packages"].empty()) << path;
        for (const auto& p : doc["packages"]) {
            const TStoredPackage* stored = index.PackageById(p["id"].get<int32_t>());
            ASSERT_NE(stored, nullptr);
            std::string bytes = tmp.Read(FilesDir(Store()) + "/" + stored->StoredFile);
            EXPECT_EQ(p["size"], bytes.size()) << path << " " << p["name"];
            EXPECT_EQ(p["sha256"], Sha256Hex(bytes)) << path << " " << p["name"];

            auto res = client->Get(("/api/package/download/" + std::to_string(stored->Id)).c_str());
            ASSERT_TRUE(res);
            EXPECT_EQ(res->get_header_value("ETag"), "\"" + Sha256Hex(bytes) + "\"");
            EXPECT_EQ(res->get_header_value("Content-Length"), std::to_string(bytes.size()));
            EXPECT_EQ(res->get_header_value("Accept-Ranges"), "bytes");
        }
    }
    // The two members come last, after everything an older engine reads.
    auto ordered = nlohmann::ordered_json::parse(Call("/api/update/install/demo"));
    for (const auto& p : ordered["packages"]) {
        EXPECT_EQ(std::prev(p.end()).key(), "sha256");
        EXPECT_EQ(std::prev(p.end(), 2).key(), "size");
    }
    Json info = CallJson("/api/package/info/tool/1.2");
    EXPECT_EQ(info["size"], 7);
    EXPECT_EQ(info["sha256"], Sha256Hex("tool 2\n"));
    EXPECT_FALSE(info.contains("source_sha256"));

    tmp.Write("src/main.c", "int main(void) { return 0; }\n");
    auto spec = FilePackage("srcdemo", tmp / "tool", "tool");
    spec.SourcePath = tmp / "src/main.c";
    int32_t id = PublishOk(Store(), "other", "1.0", {spec})[0].Id;
    info = CallJson("/api/package/info/srcdemo/1.0");
    EXPECT_EQ(info["source_size"], 29);
    EXPECT_EQ(info["source_sha256"], Sha256Hex("int main(void) { return 0; }\n"));
    auto res = client->Get(("/api/package/download/source/" + std::to_string(id)).c_str());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->get_header_value("ETag"),
              "\"" + Sha256Hex("int main(void) { return 0; }\n") + "\"");
}

// Ranges of a download: the rest from an offset, a closed range, a suffix; If-Range with the
// file's ETag gets the range, with another one the whole file; a range beyond the end is 416.
TEST_F(HttpServiceTest, DownloadsAnswerRanges) {
    const std::string path = "/api/package/download/" + std::to_string(tool10);
    const std::string body = "tool 1\n";
    const std::string etag = "\"" + Sha256Hex(body) + "\"";
    struct Case {
        const char* name;
        httplib::Headers headers;
        int status;
        std::string body;
        std::string contentRange;
    } cases[] = {
        {"rest from 3", {{"Range", "bytes=3-"}}, 206, "l 1\n", "bytes 3-6/7"},
        {"closed range", {{"Range", "bytes=1-2"}}, 206, "oo", "bytes 1-2/7"},
        {"end beyond the file", {{"Range", "bytes=5-100"}}, 206, "1\n", "bytes 5-6/7"},
        {"suffix", {{"Range", "bytes=-2"}}, 206, "1\n", "bytes 5-6/7"},
        {"last byte", {{"Range", "bytes=6-"}}, 206, "\n", "bytes 6-6/7"},
        {"matching If-Range", {{"Range", "bytes=3-"}, {"If-Range", etag}}, 206, "l 1\n",
         "bytes 3-6/7"},
        {"other If-Range", {{"Range", "bytes=3-"}, {"If-Range", "\"0123\""}}, 200, body, ""},
        {"weak If-Range", {{"Range", "bytes=3-"}, {"If-Range", "W/" + etag}}, 200, body, ""},
        {"several ranges", {{"Range", "bytes=0-1,3-4"}}, 200, body, ""},
        {"beyond the end", {{"Range", "bytes=7-"}}, 416, "range not satisfiable", "bytes */7"},
    };
    for (const auto& c : cases) {
        auto res = client->Get(path.c_str(), c.headers);
        ASSERT_TRUE(res) << c.name;
        EXPECT_EQ(res->status, c.status) << c.name;
        EXPECT_EQ(res->body, c.body) << c.name;
        EXPECT_EQ(res->get_header_value("Content-Range"), c.contentRange) << c.name;
        EXPECT_EQ(res->get_header_value("ETag"), etag) << c.name;
        if (c.status != 416) {
            EXPECT_EQ(res->get_header_value("Content-Length"), std::to_string(c.body.size()))
                << c.name;
        }
    }
}

TEST_F(HttpServiceTest, SourceDownloadsWhenPublished) {
    tmp.Write("src/main.c", "int main(void) { return 0; }\n");
    auto spec = FilePackage("srcdemo", tmp / "tool", "tool");
    spec.SourcePath = tmp / "src/main.c";
    int32_t id = PublishOk(Store(), "other", "1.0", {spec})[0].Id;
    EXPECT_EQ(Call("/api/package/download/source/" + std::to_string(id)),
              "int main(void) { return 0; }\n");
}

TEST_F(HttpServiceTest, EveryRequestNeedsAValidKey) {
    const std::string ping = "/api/ping/secure";
    const Strings paths = {ping, "/api/update/install/demo", "/api/package/download/1",
                           "/no/such/route"};
    httplib::Client anonymous("127.0.0.1", server->Port());
    httplib::Client wrong("127.0.0.1", server->Port());
    wrong.set_default_headers({{"X-API-Key", TRunningServer::Key() + "x"}});
    for (const auto& path : paths) {
        auto res = anonymous.Get(path.c_str());
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 401) << path;
        res = wrong.Get(path.c_str());
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, 401) << path;
        EXPECT_EQ(res->body, "invalid API key") << path;
    }
    auto res = anonymous.Post("/api/update/force/demo/1.0", "[]", "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    EXPECT_FALSE(Call(ping).empty());
}

TEST_F(HttpServiceTest, UnknownThingsAnswer404WithAShortText) {
    const std::string empty = "[]";
    struct {
        std::string path;
        bool post;
        std::string text;
    } cases[] = {
        {"/api/update/install/nothing", false, "unknown project: nothing"},
        {"/api/update/install/demo/7.0", false, "unknown version 7.0 of demo"},
        {"/api/update/version/demo/7.0", false, "unknown version 7.0 of demo"},
        {"/api/update/version/nothing/1.0", false, "unknown project: nothing"},
        {"/api/update/force/demo/7.0", true, "unknown version 7.0 of demo"},
        {"/api/update/repair/demo/7.0", true, "unknown version 7.0 of demo"},
        {"/api/update/version/demo/1.0?channel=nightly", false,
         "no release of demo on channel nightly"},
        {"/api/package/info/nothing", false, "unknown package: nothing"},
        {"/api/package/info/core/7.0", false, "unknown version 7.0 of package core"},
        {"/api/package/download/999", false, "unknown package id: 999"},
        {"/api/package/download/source/999", false, "unknown package id: 999"},
        {"/api/package/download/0", false, "unknown package id: 0"},
        {"/api/package/download/-1", false, "unknown package id: -1"},
        {"/api/package/download/01", false, "unknown package id: 01"},
        {"/api/package/download/abc", false, "unknown package id: abc"},
        {"/api/package/download/99999999999", false, "unknown package id: 99999999999"},
        {"/api/update/install", false, "not found"},
        {"/api/update/install/demo/1.0/extra", false, "not found"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Call(c.path, 404, c.post ? &empty : nullptr), c.text) << c.path;
    }
}

TEST_F(HttpServiceTest, MalformedBodiesAnswer400) {
    const std::string force = "/api/update/force/demo/1.0";
    const std::string repair = "/api/update/repair/demo/1.0";
    struct {
        std::string body;
        Strings paths;
    } cases[] = {
        {"", {force, repair}},
        {"garbage", {force, repair}},
        {"{}", {force, repair}},
        {"[1]", {force, repair}},
        {"[[]]", {force, repair}},
        {"[{\"name\": \"a\"", {force, repair}},
        {"[\"\xff\xfe\"]", {force, repair}},
        {R"([{"name": ["a"], "version": "1"}])", {force, repair}},
        {R"([{"name": "a", "version": {}}])", {force}},
        {R"([{"name": "a", "hash": true}])", {repair}},
    };
    for (const auto& c : cases) {
        for (const auto& path : c.paths) {
            std::string answer = Call(path, 400, &c.body);
            EXPECT_THAT(answer, ::testing::StartsWith("malformed body: ")) << path << " " << c.body;
        }
    }
}

TEST_F(HttpServiceTest, GarbageRequestsNeverStopTheServer) {
    std::mt19937 random(20240501);  // fixed seed: the same garbage every run
    auto garbage = [&](size_t length) {
        std::string text;
        for (size_t i = 0; i < length; ++i) text += static_cast<char>(random() % 256);
        return text;
    };
    const Strings prefixes = {"/api/update/install/",         "/api/update/version/demo/",
                              "/api/update/force/demo/",      "/api/update/repair/demo/",
                              "/api/package/info/",           "/api/package/download/",
                              "/api/package/download/source/"};
    for (int round = 0; round < 200; ++round) {
        std::string segment;
        for (char c : garbage(1 + random() % 20)) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
            segment += hex;
        }
        std::string path = prefixes[round % prefixes.size()] + segment;
        std::string body = round % 3 == 0 ? garbage(random() % 200)
                                          : R"([{"name": ")" + garbage(8) + R"(", "hash": 1}])";
        auto res = round % 2 == 0 ? client->Post(path.c_str(), body, "application/json")
                                  : client->Get(path.c_str());
        ASSERT_TRUE(res) << "no answer to " << path;
        EXPECT_LT(res->status, 500) << path;
    }
    EXPECT_EQ(CallJson("/api/update/install/demo")["version"], "1.1");
}

TEST_F(HttpServiceTest, DownloadBaseRedirectsToTheStoredFile) {
    TRunningServer redirecting(Store(), "https://files.example.com/ombrel/");
    auto c = redirecting.Client();
    auto res = c->Get(("/api/package/download/" + std::to_string(tool10)).c_str());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 302);
    TStoreIndex index;
    std::string error;
    ASSERT_TRUE(LoadIndex(Store(), index, error));
    EXPECT_EQ(res->get_header_value("Location"),
              "https://files.example.com/ombrel/" + index.PackageById(tool10)->StoredFile);
    res = c->Get(("/api/package/download/source/" + std::to_string(tool10)).c_str());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
}

// A reader polling while releases are published sees each release whole: every package it
// names can be downloaded and the answer is always a complete document.
TEST_F(HttpServiceTest, PublishingIsAtomicForAConcurrentReader) {
    std::atomic<bool> done{false};
    std::atomic<int> polls{0};
    std::set<std::string> seen;
    std::string failure;
    std::thread reader([&] {
        auto c = server->Client();
        while (!done || polls == 0) {
            auto res = c->Get("/api/update/install/live");
            ++polls;
            if (!res) {
                failure = "no answer";
                return;
            }
            if (res->status == 404) continue;  // nothing published yet
            Json doc;
            try {
                doc = Json::parse(res->body);
            } catch (const std::exception& e) {
                failure = "unreadable answer: " + res->body;
                return;
            }
            seen.insert(doc["version"].get<std::string>());
            if (doc["packages"].size() != 2) {
                failure = "release with " + std::to_string(doc["packages"].size()) + " packages";
                return;
            }
            for (const auto& p : doc["packages"]) {
                auto download =
                    c->Get(("/api/package/download/" + std::to_string(p["id"].get<int>())).c_str());
                if (!download || download->status != 200 || download->body.empty()) {
                    failure = "package " + p["name"].get<std::string>() + " not downloadable";
                    return;
                }
            }
        }
    });
    for (int i = 1; i <= 15; ++i) {
        tmp.Write("live/a/file.txt", "content " + std::to_string(i));
        tmp.Write("live/b.txt", "single " + std::to_string(i));
        PublishOk(Store(), "live", std::to_string(i) + ".0",
                  {FolderPackage("live-a", tmp / "live/a"),
                   FilePackage("live-b", tmp / "live/b.txt", "b.txt")});
    }
    done = true;
    reader.join();
    EXPECT_EQ(failure, "");
    EXPECT_EQ(CallJson("/api/update/install/live")["version"], "15.0");  // seen without restart
}

}  // namespace
}  // namespace ombrel::server

namespace ombrel::server {
namespace {

// Sends raw bytes on a fresh connection and answers everything the server sends back until it
// closes the connection (or stops sending for a few seconds).
std::string RawExchange(int port, const std::function<bool(int fd)>& send) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return "no connection";
    }
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    send(fd);
    std::string answer;
    char buffer[4096];
    for (;;) {
        ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        answer.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    return answer;
}

bool SendAll(int fd, const std::string& bytes) {
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

TEST_F(HttpServiceTest, EndlessRequestHeadIsCutOff) {
    // Header lines without end: the server stops reading at its limit and closes, instead of
    // holding whatever comes.
    std::atomic<size_t> sent{0};
    std::string answer = RawExchange(server->Port(), [&](int fd) {
        std::string head = "GET /api/update/install/demo HTTP/1.1\r\nHost: x\r\n";
        if (!SendAll(fd, head)) return false;
        const std::string line = "X-Filler: " + std::string(1000, 'f') + "\r\n";
        while (sent < (size_t{64} << 20) && SendAll(fd, line)) sent += line.size();
        return true;
    });
    EXPECT_LT(sent.load(), size_t{64} << 20) << "the server read every byte";
    EXPECT_EQ(answer.find("200 OK"), std::string::npos) << answer;
    // It goes on serving.
    EXPECT_EQ(CallJson("/api/update/install/demo")["version"], "1.1");
}

TEST_F(HttpServiceTest, LargeButBoundedHeadsAndBodiesAreServed) {
    // Many headers within the limit are fine.
    httplib::Headers headers = {{"X-API-Key", TRunningServer::Key()}};
    for (int i = 0; i < 40; ++i) headers.emplace("X-Filler-" + std::to_string(i), std::string(1000, 'f'));
    auto res = client->Get("/api/update/install/demo", headers);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);

    // A hash list of 100,000 files is answered; a body beyond the limit is refused with 413.
    std::string body = "[";
    for (int i = 0; i < 100000; ++i) {
        if (i > 0) body += ",";
        body += R"({"name": "folder/file)" + std::to_string(i) +
                R"(.txt", "hash": "0123456789abcdef0123456789abcdef"})";
    }
    body += "]";
    ASSERT_LT(body.size(), size_t{16} << 20);
    auto repaired = CallJson("/api/update/repair/demo/1.0", &body);
    EXPECT_EQ(repaired["version"], "1.0");
    std::string tooLarge = body + std::string((size_t{16} << 20) - body.size() + 1, ' ');
    Call("/api/update/repair/demo/1.0", 413, &tooLarge);
    EXPECT_EQ(CallJson("/api/update/install/demo")["version"], "1.1");
}

}  // namespace
}  // namespace ombrel::server
