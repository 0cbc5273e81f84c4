// Folders of an owned tree swapped for links while the file system service works in them: not
// one file outside is read, written or deleted, however the swaps fall.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "io/io_system.h"
#include "tests/io/zip_test_archive.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using ::testing::IsEmpty;
using testing::CollectingMessages;
using testing::Level;
using testing::Stored;
using testing::TempFolder;

// Every file below a folder with its content, links and folders named as such.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
    std::map<std::string, std::string> result;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string relative = fs::relative(it->path(), folder).string();
        if (it->is_symlink()) {
            result[relative] = "link -> " + fs::read_symlink(it->path()).string();
        } else if (it->is_directory()) {
            result[relative] = "folder";
        } else {
            result[relative] = testing::ReadFileBytes(it->path().string());
        }
    }
    return result;
}

class FolderSwapRaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(Dest() + "/sub");
        fs::create_directories(Outside());
        for (int i = 0; i < kFiles; ++i) {
            const std::string name = "/f" + std::to_string(i);
            testing::WriteFileBytes(Outside() + name, "canary " + std::to_string(i));
            testing::WriteFileBytes(Outside() + "/empty" + std::to_string(i) + "/.keep", "");
        }
        testing::WriteFileBytes(temp / "source.txt", "new content");
        testing::WriteZip(temp / "pkg.zip", {Stored("f0", "from the archive"),
                                              Stored("deeper/f1", "from the archive")});
        before = Snapshot(Outside());
    }

    std::string Dest() const { return temp / "dest"; }
    std::string Outside() const { return temp / "outside"; }

    // Swaps dest/sub for a link to the outside folder and back, as fast as it can, until
    // told to stop; answers the number of swaps.
    void StartSwapping() {
        swapper = std::thread([this] {
            const std::string sub = Dest() + "/sub";
            const std::string parked = Dest() + "/sub.parked";
            while (!stop) {
                if (::rename(sub.c_str(), parked.c_str()) != 0) continue;
                if (::symlink(Outside().c_str(), sub.c_str()) == 0) {
                    ++swaps;
                    ::unlink(sub.c_str());
                }
                // Whatever the service made meanwhile under the name goes back into the parked
                // folder's place.
                std::error_code ignored;
                fs::remove_all(sub, ignored);
                ::rename(parked.c_str(), sub.c_str());
            }
        });
    }
    void StopSwapping() {
        stop = true;
        swapper.join();
    }

    static constexpr int kFiles = 40;
    TempFolder temp;
    std::shared_ptr<CollectingMessages> messages = std::make_shared<CollectingMessages>();
    TIO io{messages};
    std::map<std::string, std::string> before;
    std::thread swapper;
    std::atomic<bool> stop{false};
    std::atomic<long> swaps{0};
};

TEST_F(FolderSwapRaceTest, NothingOutsideIsTouched) {
    io.OwnFolder(Dest());
    StartSwapping();
    // At least 1.5 s, and on a busy machine as long as it takes (up to 30 s) for the race to
    // have been run often enough to mean something.
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::milliseconds(1500);
    const auto last = start + std::chrono::seconds(30);
    long operations = 0;
    while (std::chrono::steady_clock::now() < last &&
           (std::chrono::steady_clock::now() < end || swaps.load() <= 100 || operations <= 1000)) {
        for (int i = 0; i < kFiles; ++i) {
            const std::string sub = Dest() + "/sub";
            const std::string name = std::to_string(i);
            io.FileDelete(sub + "/f" + name);
            io.Copyfile(temp / "source.txt", sub + "/f" + name);
            io.SetLines(sub + "/f" + name, {"replaced"});
            io.ByteToFile(sub + "/f" + name, TBytes{'x'});
            io.ForceDirectory(sub + "/empty" + name + "/deeper");
            try {
                io.DirectoryDeleteIfEmpty(sub + "/empty" + name);
            } catch (const fs::filesystem_error&) {
            }
            THashList hashes;
            io.GetFileHashList(sub, {"f" + name}, hashes);
            TStrings lines;
            io.GetLines(sub + "/f" + name, lines);
            TStrings files;
            io.GetFiles(sub, {"*"}, files);
            io.CanFileBeOverwritten(sub + "/f" + name);
            if (i % 8 == 0) io.ExtractZipFile(temp / "pkg.zip", sub);
            operations += 11;
            // On a machine with few cores the swapper needs a chance to run between operations.
            std::this_thread::yield();
        }
    }
    StopSwapping();
    EXPECT_GT(swaps.load(), 0) << "the race was not run";
    EXPECT_GT(operations, 1000);
    EXPECT_EQ(Snapshot(Outside()), before) << "after " << swaps << " swaps";
}

TEST_F(FolderSwapRaceTest, LinksBelowAnOwnedFolderAreNeverFollowed) {
    io.OwnFolder(Dest());
    fs::remove_all(Dest() + "/sub");
    fs::create_directory_symlink(Outside(), Dest() + "/sub");
    const std::string sub = Dest() + "/sub";
    fs::create_symlink(Outside() + "/f1", Dest() + "/file-link");

    EXPECT_FALSE(io.FileDelete(sub + "/f0"));
    EXPECT_FALSE(io.Copyfile(temp / "source.txt", sub + "/f0"));
    EXPECT_FALSE(io.SetLines(sub + "/f0", {"x"}));
    EXPECT_FALSE(io.ByteToFile(sub + "/f0", TBytes{'x'}));
    EXPECT_FALSE(io.ForceDirectory(sub + "/new"));
    EXPECT_FALSE(io.ExtractZipFile(temp / "pkg.zip", sub));
    EXPECT_FALSE(io.ExtractZipFolder(temp / "pkg.zip", sub + "/unpacked"));
    EXPECT_FALSE(io.DirectoryExists(sub));
    EXPECT_FALSE(io.DirectoryExists(sub + "/empty0"));
    EXPECT_FALSE(io.FileExists(sub + "/f0"));
    EXPECT_FALSE(io.DirectoryDeleteIfEmpty(sub));
    TStrings lines;
    EXPECT_FALSE(io.GetLines(sub + "/f0", lines));
    EXPECT_FALSE(io.GetLines(Dest() + "/file-link", lines));
    TStrings files;
    EXPECT_FALSE(io.GetFiles(sub, {"*"}, files));
    THashList hashes;
    EXPECT_TRUE(io.GetFileHashList(Dest(), {"sub/f0", "file-link"}, hashes));
    EXPECT_THAT(hashes, IsEmpty());
    // A link as the last name goes as a link.
    EXPECT_TRUE(io.FileDelete(Dest() + "/file-link"));
    EXPECT_TRUE(io.Copyfile(temp / "source.txt", Dest() + "/sub"));
    EXPECT_EQ(fs::symlink_status(Dest() + "/sub").type(), fs::file_type::regular);

    EXPECT_EQ(Snapshot(Outside()), before);
}

TEST_F(FolderSwapRaceTest, OwnedFolderItselfMayBeALinkTheUserMade) {
    // The named folder is taken as given; only what lies below it is walked without links.
    fs::create_directory_symlink(Dest(), temp / "dest-link");
    io.OwnFolder(temp / "dest-link");
    EXPECT_TRUE(io.DirectoryExists(temp / "dest-link"));
    EXPECT_TRUE(io.ByteToFile(temp / "dest-link/sub/a.txt", TBytes{'a'}));
    EXPECT_TRUE(io.Copyfile(temp / "source.txt", temp / "dest-link/sub/new/b.txt"));
    EXPECT_TRUE(io.ExtractZipFolder(temp / "pkg.zip", temp / "dest-link/unpacked"));
    EXPECT_EQ(testing::ReadFileBytes(Dest() + "/unpacked/deeper/f1"), "from the archive");
    EXPECT_EQ(testing::ReadFileBytes(Dest() + "/sub/new/b.txt"), "new content");
    EXPECT_EQ(messages->Count(Level::Error), 0u) << messages->Dump();
}

}  // namespace
}  // namespace ombrel
