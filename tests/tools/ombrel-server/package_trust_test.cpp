// What the engine downloads is what was published: sizes and digests, resumed downloads and
// signed releases, against the server, a static file host behind it and doctored answers.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>

#include "api/rest_api_client.h"
#include "engine/command_line_options.h"
#include "engine/ombrel.h"
#include "io/io_system.h"
#include "platform/crypto.h"
#include "tests/support/http_test_server.h"
#include "tests/tools/ombrel-server/server_test_support.h"
#include "tools/ombrel-server/release_signing.h"

namespace ombrel::server {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;
using ombrel::testing::CollectingMessages;
using ombrel::testing::HttpTestServer;
using ombrel::testing::Level;
using ombrel::testing::RecordedRequest;
using ombrel::testing::TempFolder;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::FilePackage;
using testing::FolderPackage;
using testing::TRunningServer;

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto& c : bytes) c = static_cast<char>(random() & 0xFF);
    return bytes;
}

// A static file host for the store's files, as --download-base points to one: Content-Length,
// an ETag of its own making (not the digest), single ranges and If-Range. A download can be cut
// after a number of body bytes (the next download of a given file: packages download side by
// side), ranges can be ignored, and a file's bytes can be replaced.
class TStaticHost {
  public:
    explicit TStaticHost(std::string folder) : folder(std::move(folder)) {
        server.Handle("GET", "/files/.*", [this](const httplib::Request& req, httplib::Response& res) {
            Serve(req, res);
        });
    }
    std::string BaseUrl() const { return server.BaseUrl() + "/files"; }
    void CutNextAfter(const std::string& name, uint64_t bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        cutName = name;
        cutAfter = bytes;
    }
    void IgnoreRanges() { ignoreRanges = true; }
    void Replace(const std::string& name, std::string bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        replaced[name] = std::move(bytes);
    }
    static std::string ETagOf(const std::string& bytes) {
        return "\"h-" + Sha256Hex(bytes).substr(0, 16) + "\"";
    }
    std::vector<RecordedRequest> Requests() const { return server.Requests(); }

  private:
    void Serve(const httplib::Request& req, httplib::Response& res) {
        const std::string name = req.path.substr(std::string("/files/").size());
        std::string bytes;
        std::optional<uint64_t> cut;
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto it = replaced.find(name);
            if (it != replaced.end()) {
                bytes = it->second;
            } else {
                std::ifstream in(folder + "/" + name, std::ios::binary);
                if (!in) {
                    res.status = 404;
                    return;
                }
                bytes.assign(std::istreambuf_iterator<char>(in), {});
            }
            if (name == cutName) cut = std::exchange(cutAfter, std::nullopt);
        }
        const std::string etag = ETagOf(bytes);
        uint64_t first = 0;
        std::string range = req.get_header_value("Range");
        const_cast<httplib::Request&>(req).ranges.clear();
        res.set_header("ETag", etag);
        res.status = 200;
        if (!ignoreRanges && range.rfind("bytes=", 0) == 0 && range.back() == '-' &&
            (!req.has_header("If-Range") || req.get_header_value("If-Range") == etag)) {
            first = std::stoull(range.substr(6));
            res.status = 206;
            res.set_header("Content-Range", "bytes " + std::to_string(first) + "-" +
                                                std::to_string(bytes.size() - 1) + "/" +
                                                std::to_string(bytes.size()));
        }
        auto body = std::make_shared<std::string>(bytes.substr(first));
        res.set_content_provider(
            body->size(), "application/octet-stream",
            [body, cut](size_t offset, size_t length, httplib::DataSink& sink) {
                size_t end = offset + std::min<size_t>(length, 4096);
                if (cut && end > *cut) end = *cut;
                if (end <= offset) return false;  // the connection drops here
                return sink.write(body->data() + offset, end - offset);
            });
    }

    std::string folder;
    HttpTestServer server;
    std::mutex mutex;
    std::string cutName;
    std::optional<uint64_t> cutAfter;
    bool ignoreRanges = false;
    std::map<std::string, std::string> replaced;
};

// demo 1.0 (core: a 200 kB file and a readme; tool) and 1.1 (core and tool changed), both signed;
// 2.0 on beta, signed. The engine's cache is below the test's folder.
class PackageTrustTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(GenerateSigningKey(tmp / "release.key", publicKey, error)) << error;
        tmp.Write("core/big.bin", RandomBytes(200000, 1));
        tmp.Write("core/README.txt", "readme 1\n");
        tmp.Write("tool", "tool 1\n");
        v10 = Publish("1.0");
        tmp.Write("core/big.bin", RandomBytes(200000, 2));
        tmp.Write("core/README.txt", "readme 2\n");
        tmp.Write("tool", "tool 2\n");
        v11 = Publish("1.1");
        tmp.Write("tool", "tool 3\n");
        Publish("2.0", "beta");
        server = std::make_unique<TRunningServer>(Store());
        ASSERT_TRUE(LoadIndex(Store(), index, error)) << error;
        cache = std::make_unique<ombrel::testing::ScopedEnv>("XDG_CACHE_HOME", tmp / "cache");
    }

    std::vector<TPublishedPackage> Publish(const std::string& version,
                                           const std::string& channel = "stable") {
        TPublishRequest request;
        request.Store = Store();
        request.Project = "demo";
        request.Version = version;
        request.Channel = channel;
        request.Packages = {FolderPackage("core", tmp / "core"),
                            FilePackage("tool", tmp / "tool", "bin/tool")};
        request.SignKeyFile = tmp / "release.key";
        CollectingMessages sink;
        std::vector<TPublishedPackage> published;
        EXPECT_TRUE(ombrel::server::Publish(request, sink, &published)) << sink.Dump();
        return published;
    }

    std::string Store() const { return tmp / "store"; }
    std::string Dest() const { return tmp / "install"; }
    const TStoredPackage& Stored(int32_t id) const { return *index.PackageById(id); }
    std::string StoredBytes(int32_t id) const {
        return tmp.Read(FilesDir(Store()) + "/" + Stored(id).StoredFile);
    }

    std::shared_ptr<TCommandLineOptions> Options(const std::string& url,
                                                 const std::string& key = "") const {
        auto options = std::make_shared<TCommandLineOptions>();
        options->iAppName = "demo";
        options->iApiUrl = url;
        options->iApiKey = TRunningServer::Key();
        options->iDestination = Dest();
        options->iReleasePublicKey = key;
        return options;
    }

    struct TRun {
        bool success = false;
        std::string errors;  // the engine's own
        std::shared_ptr<CollectingMessages> sink;
    };
    TRun Run(std::shared_ptr<TCommandLineOptions> options, bool stopBeforeCopy = false) {
        TRun run;
        run.sink = std::make_shared<CollectingMessages>();
        TOmbrel engine(options, std::make_shared<TIO>(run.sink), run.sink,
                       std::make_shared<TApiClient>(options, run.sink));
        if (stopBeforeCopy) engine.OnInterceptBeforePackageCopy([] { return true; });
        engine.Execute();
        run.success = engine.Success();
        run.errors = engine.ErrorText();
        return run;
    }

    // Nothing of the release is installed.
    void ExpectNothingInstalled(const std::string& what) const {
        EXPECT_FALSE(fs::exists(Dest() + "/demo.ombrel")) << what;
        EXPECT_FALSE(fs::exists(Dest() + "/bin/tool")) << what;
        EXPECT_FALSE(fs::exists(Dest() + "/README.txt")) << what;
    }

    // Every file of the package cache below `folder`, by name.
    static std::vector<std::string> CacheFiles(const std::string& folder) {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::recursive_directory_iterator(folder, ec)) {
            if (e.is_regular_file()) names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    TempFolder tmp;
    std::string publicKey;
    std::vector<TPublishedPackage> v10, v11;
    std::unique_ptr<TRunningServer> server;
    TStoreIndex index;
    std::unique_ptr<ombrel::testing::ScopedEnv> cache;
};

// A file host that hands out other bytes than were published: the run fails naming the package
// with the expected and the received size or digest, keeps no part, installs nothing.
TEST_F(PackageTrustTest, DownloadsMustHaveThePublishedSizeAndDigest) {
    TStaticHost host(FilesDir(Store()));
    TRunningServer redirecting(Store(), host.BaseUrl());
    const std::string file = Stored(v11[1].Id).StoredFile;
    const std::string expected = Sha256Hex("tool 2\n");
    struct Case {
        const char* name;
        std::string bytes;
        std::string error;
    } cases[] = {
        {"same size, other bytes", "tool X\n",
         "package tool 1.1 does not match: SHA-256 " + expected + " expected, " +
             Sha256Hex("tool X\n") + " received\r\n"},
        {"shorter", "tool\n", "package tool 1.1 does not match: size 7 expected, 5 received\r\n"},
        {"longer", RandomBytes(3 << 20, 3),
         "package tool 1.1 does not match: size 7 expected, more received\r\n"},
    };
    for (const auto& c : cases) {
        host.Replace(file, c.bytes);
        fs::remove_all(Dest());
        TRun run = Run(Options(redirecting.BaseUrl()));
        EXPECT_FALSE(run.success) << c.name;
        EXPECT_EQ(run.errors, c.error) << c.name;
        ExpectNothingInstalled(c.name);
        for (const auto& name : CacheFiles(tmp / "cache")) {
            EXPECT_EQ(name.find(".part"), std::string::npos) << c.name << ": " << name;
        }
    }
    host.Replace(file, "tool 2\n");
    fs::remove_all(Dest());
    TRun run = Run(Options(redirecting.BaseUrl()));
    EXPECT_TRUE(run.success) << run.errors;
    EXPECT_EQ(tmp.Read(Dest() + "/bin/tool"), "tool 2\n");
}

// A cached package that does not match is deleted, with its unpacked folder, and downloaded
// again with a warning.
TEST_F(PackageTrustTest, CachedPackagesAreCheckedBeforeUse) {
    TRun first = Run(Options(server->BaseUrl()));
    ASSERT_TRUE(first.success) << first.errors;
    const std::string folder = tmp / ("cache/ombrel/127.0.0.1:" + std::to_string(server->Port()));
    ASSERT_TRUE(fs::exists(folder + "/core.1.1.zip"));
    tmp.Write(folder + "/core.1.1.zip", StoredBytes(v10[0].Id));  // another release's archive
    tmp.Write(folder + "/core.1.1/README.txt", "planted\n");
    fs::remove_all(Dest());

    TRun second = Run(Options(server->BaseUrl()));
    ASSERT_TRUE(second.success) << second.errors;
    EXPECT_THAT(second.sink->Texts(Level::Warning),
                Contains(HasSubstr("cached package " + folder + "/core.1.1.zip does not match "
                                   "(SHA-256 " + Stored(v11[0].Id).Sha256 + " expected, " +
                                   Stored(v10[0].Id).Sha256 + " received): downloading it again")));
    EXPECT_EQ(tmp.Read(Dest() + "/README.txt"), "readme 2\n");
    EXPECT_EQ(tmp.Read(folder + "/core.1.1.zip"), StoredBytes(v11[0].Id));
}

// The progress file records sizes and digests; a continued run checks those, whatever the file
// host hands out meanwhile.
TEST_F(PackageTrustTest, AContinuedRunChecksTheDigestsItStartedWith) {
    TStaticHost host(FilesDir(Store()));
    TRunningServer redirecting(Store(), host.BaseUrl());
    TRun first = Run(Options(redirecting.BaseUrl()), /*stopBeforeCopy=*/true);
    ASSERT_TRUE(first.success) << first.errors;
    Json progress = Json::parse(tmp.Read(Dest() + "/demo.ombrel.progress").substr(3));
    ASSERT_EQ(progress["packages"].size(), 2u);
    EXPECT_EQ(progress["packages"][1]["size"], 7);
    EXPECT_EQ(progress["packages"][1]["sha256"], Sha256Hex("tool 2\n"));
    EXPECT_EQ(progress["packages"][0]["sha256"], Stored(v11[0].Id).Sha256);

    // The cached tool is gone, and the host now serves another file under its name.
    const std::string folder =
        tmp / ("cache/ombrel/127.0.0.1:" + std::to_string(redirecting.Port()));
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind("tool.1.1", 0) == 0) fs::remove(entry.path());
    }
    host.Replace(Stored(v11[1].Id).StoredFile, "tool 9\n");
    TRun second = Run(Options(redirecting.BaseUrl()));
    EXPECT_THAT(second.sink->Texts(Level::Log), Contains("mode: continue"));
    EXPECT_EQ(second.errors, "package tool 1.1 does not match: SHA-256 " +
                                 Sha256Hex("tool 2\n") + " expected, " + Sha256Hex("tool 9\n") +
                                 " received\r\n");
    ExpectNothingInstalled("continued run");
}

// A download cut anywhere (after the first byte, at a block boundary, inside the last block)
// keeps its part; the next run asks for the rest with Range and the host's ETag, and installs
// the joined, checked file. A host that ignores ranges sends everything again.
TEST_F(PackageTrustTest, CutDownloadsContinueWhereTheyStopped) {
    const std::string core = StoredBytes(v11[0].Id);
    const std::string file = Stored(v11[0].Id).StoredFile;
    ASSERT_GT(core.size(), 150000u);
    struct Case {
        std::string name;
        uint64_t cut;
        bool ignoreRanges;
    } cases[] = {
        {"after one byte", 1, false},
        {"at a block boundary", 65536, false},
        {"inside the last block", core.size() - 10, false},
        {"one byte short", core.size() - 1, false},
        {"host without ranges", 100000, true},
    };
    int n = 0;
    for (const auto& c : cases) {
        TStaticHost host(FilesDir(Store()));
        if (c.ignoreRanges) host.IgnoreRanges();
        TRunningServer redirecting(Store(), host.BaseUrl());
        ombrel::testing::ScopedEnv caseCache("XDG_CACHE_HOME", tmp / ("cache" + std::to_string(++n)));
        fs::remove_all(Dest());
        const std::string part = tmp / ("cache" + std::to_string(n) + "/ombrel/127.0.0.1:" +
                                        std::to_string(redirecting.Port()) + "/core.1.1.zip.part");

        host.CutNextAfter(file, c.cut);
        TRun first = Run(Options(redirecting.BaseUrl()));
        ExpectNothingInstalled(c.name);
        ASSERT_TRUE(fs::exists(part)) << c.name;
        EXPECT_EQ(tmp.Read(part), core.substr(0, c.cut)) << c.name;
        EXPECT_EQ(tmp.Read(part + ".etag"), "\xEF\xBB\xBF" + TStaticHost::ETagOf(core) + "\r\n")
            << c.name;

        TRun second = Run(Options(redirecting.BaseUrl()));
        EXPECT_TRUE(second.success) << c.name << ": " << second.errors;
        EXPECT_EQ(second.sink->Count(Level::Error), 0u) << c.name << second.sink->Dump();
        EXPECT_THAT(second.sink->Texts(Level::Log),
                    Contains("resuming core.1.1.zip after " + std::to_string(c.cut) + " bytes"))
            << c.name;
        RecordedRequest last;
        for (const auto& r : host.Requests()) {
            if (r.path == "/files/" + file) last = r;
        }
        EXPECT_EQ(last.Header("Range"), "bytes=" + std::to_string(c.cut) + "-") << c.name;
        EXPECT_EQ(last.Header("If-Range"), TStaticHost::ETagOf(core)) << c.name;
        EXPECT_EQ(tmp.Read(Dest() + "/big.bin"), RandomBytes(200000, 2)) << c.name;
        EXPECT_FALSE(fs::exists(part)) << c.name;
        EXPECT_FALSE(fs::exists(part + ".etag")) << c.name;
    }
}

// A part left by a run that was killed (no ETag kept) is continued with the digest as If-Range,
// which the server's own downloads answer; a part that does not join into the package is
// deleted with an error.
TEST_F(PackageTrustTest, APartWithoutETagIsContinuedFromTheServer) {
    const std::string core = StoredBytes(v11[0].Id);
    const std::string folder = tmp / ("cache/ombrel/127.0.0.1:" + std::to_string(server->Port()));
    tmp.Write(folder + "/core.1.1.zip.part", core.substr(0, 5000));
    TRun run = Run(Options(server->BaseUrl()));
    EXPECT_TRUE(run.success) << run.errors;
    EXPECT_EQ(tmp.Read(Dest() + "/big.bin"), RandomBytes(200000, 2));

    fs::remove_all(Dest());
    fs::remove_all(tmp / "cache");
    tmp.Write(folder + "/core.1.1.zip.part", std::string(5000, 'x'));
    run = Run(Options(server->BaseUrl()));
    EXPECT_THAT(run.errors, HasSubstr("package core 1.1 does not match: SHA-256 "));
    EXPECT_FALSE(fs::exists(folder + "/core.1.1.zip.part"));
    ExpectNothingInstalled("joined part");
}

// The server's answer passed through a party that changes it: with a built-in key, every
// change the signature does not allow fails the run before anything is downloaded.
TEST_F(PackageTrustTest, SignedReleases) {
    auto fetch = [this](const std::string& path) {
        auto res = server->Client()->Get(path.c_str());
        return Json::parse(res->body);
    };
    const Json v11Doc = fetch("/api/update/install/demo");
    const Json v10Doc = fetch("/api/update/install/demo/1.0");
    const Json betaDoc = fetch("/api/update/install/demo?channel=beta");
    ASSERT_TRUE(v11Doc.contains("signature"));
    std::string otherKey, error;
    ASSERT_TRUE(GenerateSigningKey(tmp / "other.key", otherKey, error)) << error;

    struct Case {
        const char* name;
        std::function<void(Json&)> change;
        std::string key;
        std::string error;  // empty: installs
    } cases[] = {
        {"good", [](Json&) {}, publicKey, ""},
        {"no key built in, unsigned", [](Json& d) { d.erase("signature"); }, "", ""},
        {"missing", [](Json& d) { d.erase("signed_release"); d.erase("signature"); }, publicKey,
         "release demo 1.1 is not signed\r\n"},
        {"another release's",
         [&](Json& d) {
             d["signed_release"] = v10Doc["signed_release"];
             d["signature"] = v10Doc["signature"];
         },
         publicKey, "release demo 1.1 comes with the signature of demo 1.0\r\n"},
        {"tampered signed text",
         [](Json& d) {
             std::string text = d["signed_release"];
             text.replace(text.find("version 1.1"), 11, "version 1.2");
             d["signed_release"] = text;
         },
         publicKey, "release demo 1.1 has no valid signature: the signature does not match\r\n"},
        {"tampered package list",
         [&](Json& d) { d["packages"][0] = v10Doc["packages"][0]; }, publicKey,
         "package core 1.0 (id " + std::to_string(v10[0].Id) +
             ") is not part of the signed release demo 1.1\r\n"},
        {"changed digest",
         [](Json& d) { d["packages"][1]["sha256"] = Sha256Hex("evil\n"); }, publicKey,
         "package tool 1.1: size or digest differ from the signed release\r\n"},
        {"other key", [](Json&) {}, otherKey,
         "release demo 1.1 has no valid signature: the signature does not match\r\n"},
        {"a beta release for stable", [&](Json& d) { d = betaDoc; }, publicKey,
         "release demo 2.0 is signed for channel beta, not stable\r\n"},
    };
    for (const auto& c : cases) {
        HttpTestServer doctored;
        Json doc = v11Doc;
        c.change(doc);
        doctored.Handle("GET", "/api/update/install/demo",
                        [&](const httplib::Request&, httplib::Response& res) {
                            res.set_content(doc.dump(4), "application/json; charset=utf-8");
                        });
        doctored.Handle("GET", "/api/package/download/([0-9]+)",
                        [&](const httplib::Request& req, httplib::Response& res) {
                            int32_t id = std::stoi(req.path.substr(req.path.rfind('/') + 1));
                            res.set_content(StoredBytes(id), "application/octet-stream");
                        });
        fs::remove_all(Dest());
        TRun run = Run(Options(doctored.BaseUrl(), c.key));
        EXPECT_EQ(run.errors, c.error) << c.name;
        if (c.error.empty()) {
            EXPECT_EQ(tmp.Read(Dest() + "/bin/tool"), "tool 2\n") << c.name;
            continue;
        }
        ExpectNothingInstalled(c.name);
        EXPECT_FALSE(fs::exists(Dest() + "/demo.ombrel.progress")) << c.name;
        for (const auto& r : doctored.Requests()) {
            EXPECT_EQ(r.path.find("/api/package/download"), std::string::npos) << c.name;
        }
    }
}

// Behind the static host a swapped package file fails a signed run; so does a swap that the
// server's own documents were changed to match, since the signed digest decides.
TEST_F(PackageTrustTest, SwappedFileBehindTheStaticHostFailsASignedRun) {
    TStaticHost host(FilesDir(Store()));
    const std::string file = Stored(v11[1].Id).StoredFile;
    host.Replace(file, "evil 2\n");
    {
        TRunningServer redirecting(Store(), host.BaseUrl());
        TRun run = Run(Options(redirecting.BaseUrl(), publicKey));
        EXPECT_EQ(run.errors, "package tool 1.1 does not match: SHA-256 " + Sha256Hex("tool 2\n") +
                                  " expected, " + Sha256Hex("evil 2\n") + " received\r\n");
        ExpectNothingInstalled("swapped file");
    }
    // Whoever swapped the file also rewrote the server's index to match it.
    fs::remove_all(Dest());
    for (auto& p : index.Packages) {
        if (p.Id == v11[1].Id) p.Sha256 = Sha256Hex("evil 2\n");
    }
    std::string error;
    ASSERT_TRUE(SaveIndex(Store(), index, error)) << error;
    TRunningServer redirecting(Store(), host.BaseUrl());
    TRun run = Run(Options(redirecting.BaseUrl(), publicKey));
    EXPECT_EQ(run.errors, "package tool 1.1: size or digest differ from the signed release\r\n");
    ExpectNothingInstalled("swapped file and index");
    TRun unsigned_ = Run(Options(redirecting.BaseUrl()));
    EXPECT_TRUE(unsigned_.success) << "without a key the server's word is taken";
}

}  // namespace
}  // namespace ombrel::server
