#include "app/folder_deletion.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/support/test_support.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using testing::SetImmutable;
using testing::TempFolder;

class FolderDeletionTest : public ::testing::Test {
  protected:
    void TearDown() override {
        // Leave nothing undeletable behind.
        for (const auto& path : immutable) SetImmutable(path, false);
    }

    // A file that even root cannot delete unless the flag is cleared; mode 0444 where the file
    // system has no such flag.
    std::string ReadOnlyFile(const std::string& relative) {
        const std::string path = root.Write(relative, "read-only");
        ::chmod(path.c_str(), 0444);
        if (SetImmutable(path, true)) immutable.push_back(path);
        return path;
    }

    TempFolder root;
    TempFolder outside;
    std::vector<std::string> immutable;
};

TEST_F(FolderDeletionTest, RemovesEverythingButNeverFollowsLinksOutOfTheFolder) {
    const std::string target = root / "install";
    root.Write("install/app.bin", "program");
    root.Write("install/sub/deeper/data.txt", "data");
    ReadOnlyFile("install/sub/locked.txt");
    ReadOnlyFile("install/top-locked.txt");
    fs::create_directories(target + "/read-only-folder");
    root.Write("install/read-only-folder/inside.txt", "x");
    ::chmod((target + "/read-only-folder").c_str(), 0555);
    ::mkfifo((target + "/sub/fifo").c_str(), 0600);

    const std::string outsideFile = outside.Write("keep/file.txt", "precious");
    fs::create_directory_symlink(outside / "keep", target + "/link-to-folder");
    fs::create_symlink(outsideFile, target + "/sub/link-to-file");
    fs::create_symlink(outside / "nothing-here", target + "/dangling");
    // Mode changes made through a link would show on these.
    ::chmod((outside / "keep").c_str(), 0555);
    ::chmod(outsideFile.c_str(), 0444);

    DeleteFolderTree(target);

    EXPECT_FALSE(fs::exists(fs::symlink_status(target)));
    EXPECT_EQ(outside.Read("keep/file.txt"), "precious");
    struct stat st {};
    ASSERT_EQ(::stat((outside / "keep").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0555u);
    ASSERT_EQ(::stat(outsideFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
}

TEST_F(FolderDeletionTest, AFolderThatIsItselfALinkLosesOnlyTheLink) {
    outside.Write("data/file.txt", "precious");
    struct Case {
        const char* name;
        std::string target;
    };
    const Case cases[] = {
        {"link to a folder", outside / "data"},
        {"link to a file", outside / "data/file.txt"},
        {"dangling link", outside / "nothing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string link = root / "install";
        fs::create_symlink(c.target, link);
        ASSERT_TRUE(FolderExistsForDeletion(link));

        DeleteFolderTree(link);

        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
        EXPECT_EQ(outside.Read("data/file.txt"), "precious");
        EXPECT_FALSE(fs::exists(outside / "nothing"));
    }
    EXPECT_FALSE(FolderExistsForDeletion(root / "install"));
    EXPECT_FALSE(FolderExistsForDeletion(root.Write("plain-file", "x")));
    EXPECT_TRUE(FolderExistsForDeletion(root.Path()));
}

TEST_F(FolderDeletionTest, RefusesPathsItMustNotTouch) {
    const std::string file = root.Write("a-file", "content");
    struct Case {
        const char* name;
        std::string path;
    };
    const Case cases[] = {
        {"empty", ""},
        {"relative", "relative/folder"},
        {"invalid character", root / "bad|name"},
        {"control character", root / "bad\tname"},
        {"248 characters", root.Path() + "/" + std::string(247 - root.Path().size(), 'x')},
        {"missing", root / "missing"},
        {"existing file", file},
        {"the running program", fs::canonical("/proc/self/exe").string()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.name == std::string("248 characters") ? 248u : c.path.size(), c.path.size());
        EXPECT_THROW(DeleteFolderTree(c.path), EFolderDeletionError);
    }
    EXPECT_EQ(root.Read("a-file"), "content");
    EXPECT_TRUE(fs::exists("/proc/self/exe"));

    // 247 characters are still accepted, also when some of them take more than one byte.
    const std::string longest = root.Path() + "/" + std::string(246 - root.Path().size(), 'y');
    const std::string umlauts = root.Path() + "/" + std::string(200 - root.Path().size(), 'y') +
                                "\xC3\xA4\xC3\xB6\xC3\xBC" + std::string(43, 'z');
    ASSERT_GE(umlauts.size(), 248u);
    for (const std::string& path : {longest, umlauts}) {
        fs::create_directory(path);
        EXPECT_NO_THROW(DeleteFolderTree(path)) << path.size();
        EXPECT_FALSE(fs::exists(path));
    }
}

TEST_F(FolderDeletionTest, OnlyPlainSubfoldersBelongToARun) {
    const std::string base = root.Path();
    fs::create_directories(base + "/real/inner");
    fs::create_directory_symlink(outside.Path(), base + "/link");
    root.Write("file", "x");
    struct Case {
        std::string path;
        bool plain;
    };
    const Case cases[] = {
        {base + "/Demo", true},
        {base + "//Demo/", true},
        {base + "/real/inner", true},
        {base + "/not/yet/there", true},
        {base + "/link", true},  // the link itself is removed, never followed
        {base, false},
        {base + "/", false},
        {base + "//", false},
        {base + "/.", false},
        {base + "/..", false},
        {base + "/real/../..", false},
        {base + "/./Demo", false},
        {base + "/link/inside", false},
        {base + "/file/inside", false},
        {base + "-sibling/Demo", false},
        {"/etc", false},
        {"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsPlainSubfolderOf(base, c.path), c.plain) << c.path;
        EXPECT_EQ(IsPlainSubfolderOf(base + "/", c.path), c.plain)
            << c.path << " below " << base << "/";
    }
    EXPECT_FALSE(IsPlainSubfolderOf("", base + "/Demo"));
    EXPECT_FALSE(IsPlainSubfolderOf("relative", "relative/Demo"));
}

TEST_F(FolderDeletionTest, EntriesThatCannotBeRemovedStayWithTheirFoldersAndTheWalkGoesOn) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to prepare entries of two owners";
    // Run as an unprivileged user over a tree in which one folder belongs to root.
    const std::string target = root / "install";
    root.Write("install/a.txt", "a");
    root.Write("install/z.txt", "z");
    root.Write("install/sub/mine.txt", "m");
    root.Write("install/sub/roots/keep.txt", "k");
    for (const char* own : {"", "/a.txt", "/z.txt", "/sub", "/sub/mine.txt"}) {
        ASSERT_EQ(::chown((target + own).c_str(), 65534, 65534), 0);
    }
    ::chmod(root.Path().c_str(), 0755);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        try {
            DeleteFolderTree(target);
        } catch (...) {
            ::_exit(3);
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: could not drop rights, 3: raised";

    EXPECT_EQ(root.Read("install/sub/roots/keep.txt"), "k");
    for (const char* gone : {"install/a.txt", "install/z.txt", "install/sub/mine.txt"}) {
        EXPECT_FALSE(fs::exists(root / gone)) << gone;
    }
}

TEST_F(FolderDeletionTest, TheStrictRemovalNamesTheFirstEntryThatStayedAndWhy) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to prepare entries of two owners";
    const std::string target = root / "install";
    root.Write("install/a.txt", "a");
    root.Write("install/sub/roots/keep.txt", "k");
    for (const char* own : {"", "/a.txt", "/sub"}) {
        ASSERT_EQ(::chown((target + own).c_str(), 65534, 65534), 0);
    }
    ::chmod(root.Path().c_str(), 0755);

    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeFds[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        std::string error;
        const bool removed = RemoveFolderTree(target, error);
        (void)!::write(pipeFds[1], error.data(), error.size());
        ::_exit(removed ? 0 : 1);
    }
    ::close(pipeFds[1]);
    std::string error;
    char buffer[512];
    for (ssize_t got; (got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) error.append(buffer, got);
    ::close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << "0: reported success, 2: could not drop rights";
    EXPECT_EQ(error, "cannot remove \"" + target + "/sub/roots/keep.txt\": Permission denied");
    EXPECT_FALSE(fs::exists(root / "install/a.txt")) << "the walk goes on";

    // Nothing there is no failure; a file is refused untouched.
    EXPECT_TRUE(RemoveFolderTree(root / "nothing", error)) << error;
    const std::string file = root.Write("file.txt", "f");
    EXPECT_FALSE(RemoveFolderTree(file, error));
    EXPECT_EQ(root.Read("file.txt"), "f");
}

}  // namespace
}  // namespace ombrel
