// Work on more than one thread: the engine with its real file system service and server client
// against a server on 127.0.0.1. A run that downloads and unpacks packages on two threads, and
// copies a package's files on two threads, must leave what a run working one step after the
// other leaves, and tell it in the same order.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "api/rest_api_client.h"
#include "engine/command_line_options.h"
#include "engine/ombrel.h"
#include "io/io_system.h"
#include "tests/engine/engine_fakes.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::CollectingMessages;
using testing::Level;
using testing::ZipBytes;

// The file system service as it is, except that it cannot serve a second thread: the engine
// then works one package after the other.
class SingleThreadIO : public TIO {
public:
    using TIO::TIO;
    IOInterfacePtr ForThread(IMessagesPtr) override { return nullptr; }
};

// The file system service as it is, noting the threads its copies run on (its services for other
// threads included).
class ThreadNotingIO : public TIO {
public:
    struct Threads {
        std::mutex mutex;
        std::set<std::thread::id> ids;
        // Archives being unpacked now, the most at any one time, and the threads unpacking.
        int unpacking = 0;
        int mostUnpacking = 0;
        std::set<std::thread::id> unpackers;
        std::condition_variable unpackingChanged;
        bool meet = false;  // hold the first archive until a second one is being unpacked
    };
    ThreadNotingIO(IMessagesPtr messages, std::shared_ptr<Threads> threads)
        : TIO(std::move(messages)), threads(std::move(threads)) {}
    IOInterfacePtr ForThread(IMessagesPtr messages) override {
        auto io = std::make_shared<ThreadNotingIO>(std::move(messages), threads);
        ShareSettings(*io);
        return io;
    }
    bool Copyfile(const std::string& source, const std::string& target) override {
        Note();
        return TIO::Copyfile(source, target);
    }
    bool CopyFiles(size_t count, const TNextCopy& next) override {
        Note();
        return TIO::CopyFiles(count, next);
    }
    // The first archive is unpacked only once a second one is being unpacked too (or, when none
    // comes, after a long while).
    bool ExtractZipFolder(const std::string& archive, const std::string& folder) override {
        {
            std::unique_lock lock(threads->mutex);
            threads->unpackers.insert(std::this_thread::get_id());
            threads->mostUnpacking = std::max(threads->mostUnpacking, ++threads->unpacking);
            threads->unpackingChanged.notify_all();
            if (threads->meet) {
                threads->unpackingChanged.wait_for(
                    lock, 20s, [this] { return threads->mostUnpacking >= 2; });
                threads->meet = false;
            }
        }
        const bool ok = TIO::ExtractZipFolder(archive, folder);
        std::lock_guard lock(threads->mutex);
        --threads->unpacking;
        return ok;
    }
    void Note() {
        std::lock_guard lock(threads->mutex);
        threads->ids.insert(std::this_thread::get_id());
    }

    std::shared_ptr<Threads> threads;
};

// Bytes that do not compress.
std::string Noise(size_t size) {
    std::mt19937_64 random(42);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(random());
    return bytes;
}

// A child process that holds the files open for writing until it is killed.
pid_t HoldOpen(const std::vector<std::string>& paths) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        for (const auto& path : paths) {
            if (::open(path.c_str(), O_WRONLY) < 0) ::_exit(2);
        }
        (void)!::write(ready[1], "r", 1);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char c = 0;
    const ssize_t got = ::read(ready[0], &c, 1);
    ::close(ready[0]);
    if (got != 1) throw std::runtime_error("the files could not be held");
    return pid;
}

// Every file below root (links and folders by name), with its bytes; the completion markers of
// unpacked folders name their archive's modification time and are compared by name only.
std::map<std::string, std::string> Tree(const std::string& root) {
    std::map<std::string, std::string> tree;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string name = fs::relative(it->path(), root).string();
        if (it->is_regular_file() && it->path().filename() != ".ombrel-unpacked") {
            tree[name] = testing::ReadFileBytes(it->path().string());
        } else {
            tree[name] = it->is_directory() ? "<folder>" : "<entry>";
        }
    }
    return tree;
}

class DownloadAheadTest : public ::testing::Test {
protected:
    DownloadAheadTest() {
        // Four archives, two of them installing the same file: the later package wins. The third
        // is the largest.
        Package(1, {{"one/a.txt", "a"}, {"shared.txt", "from one"}});
        Package(2, {{"two/b.txt", std::string(300000, 'b')}, {"two/c.txt", "c"}});
        Package(3, {{"three/d.txt", "d"}, {"three/noise.bin", Noise(20000)},
                    {"shared.txt", "from three"}});
        Package(4, {{"four/e.txt", "e"}});
        server.Handle("GET", "/api/update/install/Demo", [this](const auto&, auto& response) {
            response.set_content(Release(), "application/json");
        });
        server.Handle("POST", "/api/update/repair/Demo/1.0", [this](const auto& request,
                                                                    auto& response) {
            {
                std::lock_guard lock(repairMutex);
                repairBodies.push_back(request.body);
            }
            // A repair installs every package again.
            response.set_content(Release(), "application/json");
        });
        server.Handle("GET", "/api/package/download/([0-9]+)", [this](const auto& request,
                                                                       auto& response) {
            const int id = std::stoi(request.path.substr(request.path.rfind('/') + 1));
            if (onDownload) onDownload(id);
            if (missing == id) {
                response.status = 404;
                return;
            }
            if (slow == id) {
                // A piece every 100 ms, as long as the client takes them.
                response.set_chunked_content_provider(
                    "application/octet-stream",
                    [this, bytes = archives.at(id), at = size_t{0}](
                        size_t, httplib::DataSink& sink) mutable {
                        if (at == bytes.size()) {
                            sink.done();
                            return true;
                        }
                        if (at > 0) server.SleepUnlessStopped(100ms);
                        const size_t piece = std::min<size_t>(2048, bytes.size() - at);
                        at += piece;
                        return sink.write(bytes.data() + at - piece, piece);
                    });
                return;
            }
            response.set_content(archives.at(id), "application/octet-stream");
        });
    }

    // Version 1.0 with every archive as a package; with `sized`, each with its size, and the
    // largest is worked on first.
    std::string Release() const {
        std::string packages;
        for (const auto& [id, bytes] : archives) {
            if (!packages.empty()) packages += ",";
            packages += "{\"id\": " + std::to_string(id) + ", \"name\": \"P" +
                        std::to_string(id) + "\", \"version\": \"1.0\", \"files\": [\"*\"]" +
                        (sized ? ", \"size\": " + std::to_string(bytes.size()) : "") + "}";
        }
        return R"({"version": "1.0", "packages": [)" + packages + "]}";
    }

    void Package(int id, const std::vector<std::pair<std::string, std::string>>& entries) {
        archives[id] = ZipBytes(entries);
    }

    struct TRun {
        std::string root;
        std::shared_ptr<CollectingMessages> messages = std::make_shared<CollectingMessages>();
        bool success = false;
        bool repair = false;
    };

    // One run of the engine into root/dest with the cache root/cache; stopped before the copy
    // when `intercept`.
    void Run(TRun& run, bool serial, bool intercept) {
        testing::ScopedEnv cacheHome{"XDG_CACHE_HOME", run.root + "/cache"};
        auto options = std::make_shared<TCommandLineOptions>();
        options->iAppName = "Demo";
        options->iApiUrl = server.BaseUrl();
        options->iDestination = run.root + "/dest";
        options->iRepair = run.repair;
        std::shared_ptr<IMessages> sink = run.messages;
        IOInterfacePtr io = serial ? std::make_shared<SingleThreadIO>(sink)
                                   : IOInterfacePtr(std::make_shared<ThreadNotingIO>(sink, threads));
        auto client = std::make_shared<TApiClient>(options, sink);
        TOmbrel engine(options, io, sink, client);
        if (intercept) engine.OnInterceptBeforePackageCopy([] { return true; });
        engine.Execute();
        run.success = engine.Success();
    }

    // The reports as lines, the run's folder written as "<root>"; of a download's percent
    // only 0 and 100, as those between depend on how the bytes arrive.
    static std::vector<std::string> Story(const TRun& run) {
        std::vector<std::string> lines;
        for (const auto& r : run.messages->reports) {
            std::string line = r.level == Level::Progress
                                   ? "progress|" + r.text + "|" + std::to_string(r.percent)
                                   : std::string(testing::LevelName(r.level)) + "|" + r.sender +
                                         "|" + r.text;
            if (r.level == Level::Progress && r.text.rfind("download ", 0) == 0 &&
                r.percent != 0 && r.percent != 100) {
                continue;
            }
            for (size_t at; (at = line.find(run.root)) != std::string::npos;) {
                line.replace(at, run.root.size(), "<root>");
            }
            lines.push_back(line);
        }
        return lines;
    }

    // A package of many files in a few folders, one of them large; with `shared`, also the
    // file the other packages install.
    void ManyFiles(int id, const std::string& tag, bool shared) {
        std::vector<std::pair<std::string, std::string>> entries;
        for (int i = 0; i < 300; ++i) {
            entries.emplace_back("dir" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".txt",
                                 tag + " " + std::to_string(i));
        }
        entries.emplace(entries.begin() + 150, "dir3/large.bin", std::string(1 << 20, 'L'));
        if (shared) entries.emplace_back("shared.txt", "from " + tag);
        Package(id, entries);
    }

    std::mutex repairMutex;
    std::vector<std::string> repairBodies;
    std::shared_ptr<ThreadNotingIO::Threads> threads = std::make_shared<ThreadNotingIO::Threads>();
    testing::HttpTestServer server;
    std::map<int, std::string> archives;
    std::function<void(int)> onDownload;
    int missing = 0;
    int slow = 0;
    bool sized = false;  // a package sent slowly
    testing::TempFolder serialRoot, aheadRoot;
};

TEST_F(DownloadAheadTest, LeavesTheStateAndTellsTheStoryOfARunOnePackageAfterTheOther) {
    // The third package is the largest: with the sizes known, it is worked on first.
    sized = true;
    TRun serial{serialRoot.Path()}, ahead{aheadRoot.Path()};
    // Stopped before the copy: the plan and the cache are what the downloads left.
    Run(serial, true, true);
    std::mutex asked;
    std::vector<int> order;
    onDownload = [&](int id) {
        std::lock_guard lock(asked);
        order.push_back(id);
    };
    Run(ahead, false, true);
    ASSERT_TRUE(serial.success) << serial.messages->Dump();
    ASSERT_TRUE(ahead.success) << ahead.messages->Dump();
    ASSERT_EQ(order.size(), 4u);
    EXPECT_TRUE(order[0] == 3 || order[1] == 3) << "the largest package is taken first";
    EXPECT_EQ(Story(ahead), Story(serial));
    EXPECT_EQ(testing::ReadFileBytes(aheadRoot / "dest/Demo.ombrel.progress"),
              testing::ReadFileBytes(serialRoot / "dest/Demo.ombrel.progress"));
    EXPECT_EQ(Tree(aheadRoot / "cache"), Tree(serialRoot / "cache"));
    EXPECT_EQ(ahead.messages->Count(Level::Log), serial.messages->Count(Level::Log));

    // Both continue and finish: the same files, manifest and reports.
    TRun serial2{serialRoot.Path()}, ahead2{aheadRoot.Path()};
    Run(serial2, true, false);
    Run(ahead2, false, false);
    ASSERT_TRUE(ahead2.success) << ahead2.messages->Dump();
    EXPECT_EQ(Story(ahead2), Story(serial2));
    const auto files = Tree(aheadRoot / "dest");
    EXPECT_EQ(files, Tree(serialRoot / "dest"));
    EXPECT_EQ(files.at("shared.txt"), "from three");
    EXPECT_EQ(files.count("Demo.ombrel.progress"), 0u);
}

TEST_F(DownloadAheadTest, AFailureEndsTheRunWhereARunOnePackageAfterTheOtherEnds) {
    struct Case {
        const char* name;
        int damaged;  // a package whose archive cannot be unpacked
        int missing;  // a package the server does not have
    };
    const auto served = archives;
    for (const Case& c : {Case{"damaged second archive", 2, 0}, Case{"third missing", 0, 3},
                          Case{"first missing", 0, 1}, Case{"last missing", 0, 4}})
    for (const bool withSizes : {false, true}) {
        SCOPED_TRACE(std::string(c.name) + (withSizes ? ", sizes known" : ""));
        sized = withSizes;
        archives = served;
        if (c.damaged) archives[c.damaged] = "PK\x03\x04 this is no archive";
        missing = c.missing;
        testing::TempFolder serialCase, aheadCase;
        TRun serial{serialCase.Path()}, ahead{aheadCase.Path()};
        Run(serial, true, false);
        Run(ahead, false, false);
        EXPECT_GT(serial.messages->Count(Level::Error), 0u);
        EXPECT_EQ(ahead.success, serial.success);
        EXPECT_EQ(Story(ahead), Story(serial));
        EXPECT_EQ(Tree(aheadCase / "dest"), Tree(serialCase / "dest"));
    }
}

// Reports only when the sink gets them: the unpacking of the first package is held in its first
// report until the server has been asked for the second package (or, when that never comes, for
// a long while). A run one package after the other asks for it only after the unpacking.
class HoldingMessages : public CollectingMessages {
public:
    void Progress(const std::string& caption, int32_t percent) override {
        CollectingMessages::Progress(caption, percent);
        if (held || caption.rfind("extract ", 0) != 0) return;
        held = true;
        std::unique_lock lock(mutex);
        secondAskedWhileHeld = asked.wait_for(lock, 30s, [this] { return secondAsked; });
    }
    void SecondAsked() {
        {
            std::lock_guard lock(mutex);
            secondAsked = true;
        }
        asked.notify_all();
    }

    bool held = false;
    bool secondAskedWhileHeld = false;

private:
    std::mutex mutex;
    std::condition_variable asked;
    bool secondAsked = false;
};

TEST_F(DownloadAheadTest, TheNextPackageDownloadsWhileOneIsUnpacked) {
    auto holding = std::make_shared<HoldingMessages>();
    onDownload = [&holding](int id) {
        if (id == 2) holding->SecondAsked();
    };
    TRun ahead{aheadRoot.Path(), holding};
    Run(ahead, false, false);
    ASSERT_TRUE(ahead.success) << holding->Dump();
    ASSERT_TRUE(holding->held);
    EXPECT_TRUE(holding->secondAskedWhileHeld);
    EXPECT_EQ(testing::ReadFileBytes(aheadRoot / "dest/shared.txt"), "from three");
}

TEST_F(DownloadAheadTest, TwoPackagesAreUnpackedAtTheSameTimeAwayFromTheRunsThread) {
    threads->meet = true;
    TRun serial{serialRoot.Path()}, ahead{aheadRoot.Path()};
    Run(serial, true, false);
    Run(ahead, false, false);
    ASSERT_TRUE(ahead.success) << ahead.messages->Dump();
    EXPECT_EQ(threads->mostUnpacking, 2);
    EXPECT_EQ(threads->unpackers.size(), 2u);
    EXPECT_EQ(threads->unpackers.count(std::this_thread::get_id()), 0u);
    EXPECT_EQ(Story(ahead), Story(serial));
    EXPECT_EQ(Tree(aheadRoot / "dest"), Tree(serialRoot / "dest"));
}

TEST_F(DownloadAheadTest, AFailureStopsTheDownloadOfALaterPackage) {
    // The first package is missing; the second would take 20 s to arrive. The run ends as one
    // working one package after the other ends, without waiting for the second download.
    archives.clear();
    Package(1, {{"one/a.txt", "a"}});
    Package(2, {{"two/noise.bin", Noise(400 * 1024)}});
    missing = 1;
    slow = 2;
    TRun serial{serialRoot.Path()}, ahead{aheadRoot.Path()};
    Run(serial, true, false);
    Run(ahead, false, false);
    EXPECT_EQ(ahead.messages->Count(Level::Error), 1u) << ahead.messages->Dump();
    EXPECT_EQ(Story(ahead), Story(serial));
    EXPECT_EQ(Tree(aheadRoot / "dest"), Tree(serialRoot / "dest"));
    for (const auto& [name, bytes] : Tree(aheadRoot / "cache")) {
        EXPECT_NE(fs::path(name).filename(), "P2.1.0.zip") << "the second download completed";
    }
}

TEST_F(DownloadAheadTest, APackageOfManyFilesIsCopiedOnTwoThreadsAsIfOneAfterTheOther) {
    // Two packages of many files over the same names: the later one wins every file.
    archives.clear();
    ManyFiles(1, "first", true);
    ManyFiles(2, "second", true);
    TRun serial{serialRoot.Path()}, ahead{aheadRoot.Path()};
    Run(serial, true, false);
    Run(ahead, false, false);
    ASSERT_TRUE(serial.success) << serial.messages->Dump();
    ASSERT_TRUE(ahead.success) << ahead.messages->Dump();
    EXPECT_EQ(Story(ahead), Story(serial));
    const auto files = Tree(aheadRoot / "dest");
    EXPECT_EQ(files, Tree(serialRoot / "dest"));
    EXPECT_EQ(files.at("dir2/f9.txt"), "second 9");
    EXPECT_EQ(files.at("shared.txt"), "from second");
    EXPECT_EQ(files.at("dir3/large.bin").size(), 1u << 20);
    EXPECT_EQ(threads->ids.size(), 2u);
    EXPECT_EQ(threads->ids.count(std::this_thread::get_id()), 0u);
}

TEST_F(DownloadAheadTest, ACopyThatFailsHalfwayTellsWhatARunOneFileAfterTheOtherTells) {
    // Where a folder of the package is to go, the installation holds a file: the first file of
    // that folder to be copied ends the run, after the files before it.
    archives.clear();
    ManyFiles(1, "first", false);
    Package(2, {{"late.txt", "never"}});
    TRun serial{serialRoot.Path()}, ahead{aheadRoot.Path()};
    for (const TRun* run : {&serial, &ahead}) {
        fs::create_directories(run->root + "/dest");
        testing::WriteFileBytes(run->root + "/dest/dir4", "in the way");
    }
    Run(serial, true, false);
    Run(ahead, false, false);
    ASSERT_EQ(serial.messages->Count(Level::Error), 1u) << serial.messages->Dump();
    EXPECT_EQ(Story(ahead), Story(serial));
    EXPECT_EQ(testing::ReadFileBytes(aheadRoot / "dest/Demo.ombrel.progress"),
              testing::ReadFileBytes(serialRoot / "dest/Demo.ombrel.progress"));
    EXPECT_FALSE(fs::exists(aheadRoot / "dest/late.txt"));
    // What the serial run copied, the other did too (it may have gone on a little further in
    // that package, which stays in the plan).
    const auto files = Tree(aheadRoot / "dest");
    for (const auto& [name, bytes] : Tree(serialRoot / "dest")) {
        if (name == "Demo.ombrel.progress") continue;
        ASSERT_EQ(files.count(name), 1u) << name;
        EXPECT_EQ(files.at(name), bytes) << name;
    }

    // Without the file in the way, both continue to the same end.
    for (const TRun* run : {&serial, &ahead}) fs::remove(run->root + "/dest/dir4");
    TRun serial2{serialRoot.Path()}, ahead2{aheadRoot.Path()};
    Run(serial2, true, false);
    Run(ahead2, false, false);
    ASSERT_EQ(ahead2.messages->Count(Level::Error), 0u) << ahead2.messages->Dump();
    EXPECT_EQ(Story(ahead2), Story(serial2));
    EXPECT_EQ(Tree(aheadRoot / "dest"), Tree(serialRoot / "dest"));
}

TEST_F(DownloadAheadTest, FilesHeldOpenAreFoundOnTwoThreadsAndToldAsOneThreadTellsThem) {
    // Files of the installation that another program holds, in both halves of the package:
    // only the first is told, and nothing is copied.
    archives.clear();
    ManyFiles(1, "first", false);
    // Every other file is held, so that whatever order the folder lists them in, both halves
    // of the package hold some.
    std::vector<pid_t> holders;
    TRun serial{serialRoot.Path()}, ahead{aheadRoot.Path()};
    for (const TRun* run : {&serial, &ahead}) {
        std::vector<std::string> held;
        for (int i = 0; i < 300; i += 2) {
            held.push_back(run->root + "/dest/dir" + std::to_string(i % 7) + "/f" +
                           std::to_string(i) + ".txt");
            fs::create_directories(fs::path(held.back()).parent_path());
            testing::WriteFileBytes(held.back(), "held");
        }
        holders.push_back(HoldOpen(held));
    }
    struct Release {
        std::vector<pid_t>& pids;
        ~Release() {
            for (pid_t pid : pids) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
        }
    } release{holders};
    Run(serial, true, false);
    Run(ahead, false, false);
    ASSERT_EQ(serial.messages->Count(Level::Error), 1u) << serial.messages->Dump();
    // The holders differ from run to run only in their process numbers.
    const auto withoutPids = [](std::vector<std::string> lines) {
        for (auto& line : lines) line = std::regex_replace(line, std::regex("pid [0-9]+"), "pid N");
        return lines;
    };
    EXPECT_EQ(withoutPids(Story(ahead)), withoutPids(Story(serial)));
    EXPECT_EQ(Tree(aheadRoot / "dest"), Tree(serialRoot / "dest"));
    EXPECT_FALSE(fs::exists(aheadRoot / "dest/dir1/f1.txt"));
}

TEST_F(DownloadAheadTest, ARepairHashesOnTwoThreadsAndAsksWhatOneThreadAsks) {
    archives.clear();
    ManyFiles(1, "first", false);
    TRun serial{serialRoot.Path()}, ahead{aheadRoot.Path()};
    Run(serial, true, false);
    Run(ahead, false, false);
    ASSERT_TRUE(ahead.success) << ahead.messages->Dump();
    // Damaged files in both halves, and one gone.
    for (const TRun* run : {&serial, &ahead}) {
        testing::WriteFileBytes(run->root + "/dest/dir0/f0.txt", "damaged");
        testing::WriteFileBytes(run->root + "/dest/dir6/f293.txt", "damaged");
        fs::remove(run->root + "/dest/dir3/f150.txt");
    }
    TRun serial2{serialRoot.Path()}, ahead2{aheadRoot.Path()};
    serial2.repair = ahead2.repair = true;
    Run(serial2, true, false);
    Run(ahead2, false, false);
    ASSERT_TRUE(serial2.success) << serial2.messages->Dump();
    ASSERT_TRUE(ahead2.success) << ahead2.messages->Dump();
    ASSERT_EQ(repairBodies.size(), 2u);
    EXPECT_EQ(repairBodies[1], repairBodies[0]);
    EXPECT_NE(repairBodies[0].find("f293.txt"), std::string::npos);
    EXPECT_EQ(Story(ahead2), Story(serial2));
    const auto files = Tree(aheadRoot / "dest");
    EXPECT_EQ(files, Tree(serialRoot / "dest"));
    EXPECT_EQ(files.at("dir6/f293.txt"), "first 293");
}

}  // namespace
}  // namespace ombrel
