// CanFileBeOverwritten and the probe behind it, with real second processes.

#include "platform/file_usage.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "io/io_system.h"
#include "tests/io/child_process.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::ChildProcess;
using testing::CollectingMessages;
using testing::Hold;
using testing::Level;
using testing::TempFolder;

class FileUsageTest : public ::testing::Test {
protected:
    struct stat StatOf(const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
        return st;
    }

    TempFolder temp;
    std::shared_ptr<CollectingMessages> messages = std::make_shared<CollectingMessages>();
    TIO io{messages};
};

TEST_F(FileUsageTest, AMissingOrFreeFileCanBeOverwritten) {
    EXPECT_TRUE(io.CanFileBeOverwritten(temp / "missing"));
    EXPECT_TRUE(io.CanFileBeOverwritten(temp / "missing/deeper"));
    const std::string path = temp.Write("free.txt", "content");
    const struct stat before = StatOf(path);
    EXPECT_TRUE(io.CanFileBeOverwritten(path));
    // The probe changes nothing.
    const struct stat after = StatOf(path);
    EXPECT_EQ(temp.Read("free.txt"), "content");
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_THAT(messages->reports, IsEmpty());
}

TEST_F(FileUsageTest, AFileHeldOpenByAnotherProcessCannotBeOverwritten) {
    const struct {
        const char* label;
        Hold how;
    } cases[] = {{"reading", Hold::Read}, {"writing", Hold::Write}, {"mapped", Hold::Mapped}};
    const std::string path = temp.Write("held.dat", "content");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        messages->reports.clear();
        {
            ChildProcess child;
            child.HoldOpen(path, c.how);
            EXPECT_FALSE(io.CanFileBeOverwritten(path));
            // Reported as a log line, not as an error.
            ASSERT_EQ(messages->reports.size(), 1u) << messages->Dump();
            EXPECT_EQ(messages->reports[0].level, Level::Log);
            EXPECT_EQ(messages->reports[0].sender, "TIO");
            // It names the file and the process holding it.
            EXPECT_EQ(messages->reports[0].text,
                      "cannot overwrite \"" + path + "\": the file is open in another process: " +
                          child.Name() + " (pid " + std::to_string(child.Pid()) + ")");

            const struct stat st = StatOf(path);
            EXPECT_TRUE(IsOpenedByOtherProcess(st.st_dev, st.st_ino, -1));
        }
        // Once the other process has gone, the file is free again.
        EXPECT_TRUE(io.CanFileBeOverwritten(path)) << messages->Dump();
        EXPECT_EQ(temp.Read("held.dat"), "content");
    }
}

TEST_F(FileUsageTest, ARunningProgramCannotBeOverwritten) {
    const std::string program = temp / "sleeper";
    fs::copy_file("/bin/sleep", program);
    fs::permissions(program, fs::perms(0755));
    ChildProcess child;
    child.Run(program, "30");
    EXPECT_FALSE(io.CanFileBeOverwritten(program));
    EXPECT_THAT(messages->Texts(Level::Log),
                ElementsAre("cannot overwrite \"" + program + "\": Text file busy: sleeper (pid " +
                            std::to_string(child.Pid()) + ")"));
    const struct stat st = StatOf(program);
    EXPECT_TRUE(IsOpenedByOtherProcess(st.st_dev, st.st_ino, -1));
    child.Stop();
    EXPECT_TRUE(io.CanFileBeOverwritten(program));
}

TEST_F(FileUsageTest, ARunOfFilesFindsTheHeldOneAmongMissingFolders) {
    // Files of a run share folders; a folder found missing answers for the files after it in
    // that folder, and only for them.
    const std::string held = temp.Write("sub/held.txt", "x");
    temp.Write("sub/free.txt", "x");
    const std::vector<std::string> run = {
        temp / "gone/a.txt",  temp / "gone/b.txt",     temp / "gone/deeper/c.txt",
        temp / "sub/free.txt", temp / "gone/d.txt",     held,
        temp / "gone/e.txt"};
    const auto pathOf = [&](size_t index) { return run[index]; };
    EXPECT_EQ(io.FirstBlockedFile(run.size(), pathOf), run.size());
    ChildProcess child;
    child.HoldOpen(held, Hold::Read);
    EXPECT_EQ(io.FirstBlockedFile(run.size(), pathOf), 5u) << messages->Dump();
    // A folder made after the run looked is looked at again by the next run.
    const std::string late = temp.Write("gone/b.txt", "x");
    ChildProcess other;
    other.HoldOpen(late, Hold::Read);
    EXPECT_EQ(io.FirstBlockedFile(run.size(), pathOf), 1u) << messages->Dump();
}

TEST_F(FileUsageTest, TheProcessScanLeavesOutTheCallersOwnDescriptor) {
    const std::string path = temp.Write("mine.txt", "x");
    const struct stat st = StatOf(path);
    EXPECT_FALSE(IsOpenedByOtherProcess(st.st_dev, st.st_ino, -1));
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(IsOpenedByOtherProcess(st.st_dev, st.st_ino, fd));
    EXPECT_TRUE(IsOpenedByOtherProcess(st.st_dev, st.st_ino, -1));
    ::close(fd);
}

TEST_F(FileUsageTest, AnImmutableFileCannotBeOverwritten) {
    const std::string path = temp.Write("immutable.txt", "x");
    const std::string quoted = "'" + path + "'";
    if (std::system(("chattr +i " + quoted + " 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "chattr +i is not available on " << temp.Path();
    }
    const bool answer = io.CanFileBeOverwritten(path);
    std::system(("chattr -i " + quoted).c_str());
    EXPECT_FALSE(answer);
    EXPECT_THAT(messages->Texts(Level::Log),
                ElementsAre("cannot overwrite \"" + path + "\": Operation not permitted"));
    EXPECT_EQ(messages->Count(Level::Error), 0u);
}

TEST_F(FileUsageTest, LinksAndFoldersAreNoFilesInUse) {
    const std::string held = temp.Write("held.txt", "x");
    fs::create_symlink(held, temp / "link");
    fs::create_directories(temp / "folder");
    ChildProcess child;
    child.HoldOpen(held, Hold::Read);
    // Copying replaces a link rather than writing through it, so the link's target being
    // in use does not matter.
    EXPECT_TRUE(io.CanFileBeOverwritten(temp / "link"));
    EXPECT_TRUE(io.CanFileBeOverwritten(temp / "folder"));
    EXPECT_THAT(messages->reports, IsEmpty());
}

}  // namespace
}  // namespace ombrel
