// TIO on real files: listing, hashing, text files, copying, deleting and folders.

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "io/io_system.h"
#include "tests/io/io_files_test.h"
#include "io/paths.h"
#include "tests/io/child_process.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::Level;

class IoTest : public IoFilesFixture {};

mode_t ModeOf(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

// ---- GetFiles ----------------------------------------------------------------------------

class GetFilesTest : public IoTest {
protected:
    void SetUp() override {
        for (const char* name : {"tree/a.txt", "tree/B.TXT", "tree/noext", "tree/.hidden",
                                 "tree/sub/c.dll", "tree/sub/deeper/d.Txt", "tree/other/e.bin",
                                 "outside/secret.txt"}) {
            temp.Write(name, name);
        }
        fs::create_directories(Root() + "/empty/nested");
        fs::create_symlink(Root() + "/a.txt", Root() + "/link.txt");
        fs::create_directory_symlink(temp / "outside", Root() + "/linkdir");
    }
    std::string Root() const { return temp / "tree"; }

    // The relative names of the regular files, depth first in directory order, as an
    // independent reference for the listing order.
    static void ReferenceWalk(const fs::path& folder, const std::string& prefix,
                              std::vector<std::string>& names) {
        for (const auto& entry : fs::directory_iterator(folder)) {
            const auto type = entry.symlink_status().type();
            const std::string name = prefix + entry.path().filename().string();
            if (type == fs::file_type::regular) names.push_back(name);
            if (type == fs::file_type::directory) ReferenceWalk(entry.path(), name + "/", names);
        }
    }
};

TEST_F(GetFilesTest, ListsMatchingFilesRecursivelyInDirectoryOrder) {
    std::vector<std::string> order;
    ReferenceWalk(Root(), "", order);

    const struct {
        std::vector<std::string> masks;
        std::set<std::string> expected;  // relative names
    } cases[] = {
        {{"*.txt"}, {"a.txt", "B.TXT", "sub/deeper/d.Txt"}},
        {{"*.*"}, {"a.txt", "B.TXT", "noext", ".hidden", "sub/c.dll", "sub/deeper/d.Txt",
                   "other/e.bin"}},
        {{"*"}, {"a.txt", "B.TXT", "noext", ".hidden", "sub/c.dll", "sub/deeper/d.Txt",
                 "other/e.bin"}},
        {{"?.DLL"}, {"sub/c.dll"}},
        {{"[ab].*"}, {"a.txt", "B.TXT"}},
        {{"[!ab]*"}, {"noext", ".hidden", "sub/c.dll", "sub/deeper/d.Txt", "other/e.bin"}},
        {{".*"}, {".hidden"}},
        {{"nothing"}, {}},
        // Several masks: tested against the relative path, each file once.
        {{"*.txt", "*.dll"}, {"a.txt", "B.TXT", "sub/c.dll", "sub/deeper/d.Txt"}},
        {{"*.TXT", "a*"}, {"a.txt", "B.TXT", "sub/deeper/d.Txt"}},
        {{"*.*", "nothing"}, {"a.txt", "B.TXT", ".hidden", "sub/c.dll", "sub/deeper/d.Txt",
                              "other/e.bin"}},
        {{"sub/*", "*.bin"}, {"sub/c.dll", "sub/deeper/d.Txt", "other/e.bin"}},
        {{"SUB\\DEEPER\\*", "x"}, {"sub/deeper/d.Txt"}},
        {{"?.txt", "?.dll"}, {"a.txt", "B.TXT"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.masks));
        messages->reports.clear();
        TStrings files{"stale"};
        ASSERT_TRUE(io.GetFiles(Root(), c.masks, files)) << ErrorsDump();
        EXPECT_THAT(messages->reports, IsEmpty()) << ErrorsDump();
        std::vector<std::string> expected;
        for (const std::string& name : order) {
            if (c.expected.count(name)) expected.push_back(Root() + "/" + name);
        }
        EXPECT_EQ(files, expected);
        // The same listing by names relative to the folder.
        TStrings names{"stale"};
        ASSERT_TRUE(io.GetFileNames(Root(), c.masks, names)) << ErrorsDump();
        for (auto& name : expected) name.erase(0, Root().size() + 1);
        EXPECT_EQ(names, expected);
    }
}

TEST_F(GetFilesTest, NeverListsOrFollowsLinks) {
    TStrings files;
    ASSERT_TRUE(io.GetFiles(Root(), {"*"}, files));
    for (const std::string& name : files) {
        EXPECT_EQ(name.find("link"), std::string::npos) << name;
        EXPECT_EQ(name.find("secret"), std::string::npos) << name;
    }
    // The folder given may itself be a link.
    fs::create_directory_symlink(Root(), temp / "rootlink");
    ASSERT_TRUE(io.GetFiles(temp / "rootlink", {"*.dll"}, files));
    EXPECT_THAT(files, ElementsAre(temp / "rootlink/sub/c.dll"));
}

TEST_F(GetFilesTest, JoinsNamesWithThePathAsGiven) {
    TStrings files;
    ASSERT_TRUE(io.GetFiles(Root() + "/", {"*.dll"}, files));
    EXPECT_THAT(files, ElementsAre(Root() + "/sub/c.dll"));

    const fs::path previous = fs::current_path();
    fs::current_path(temp.Path());
    const bool ok = io.GetFiles("tree", {"*.dll", "*.bin"}, files);
    fs::current_path(previous);
    ASSERT_TRUE(ok) << ErrorsDump();
    EXPECT_THAT(files, ::testing::UnorderedElementsAre("tree/sub/c.dll", "tree/other/e.bin"));
}

TEST_F(GetFilesTest, FailsWithAnErrorAndNoFiles) {
    const struct {
        const char* label;
        std::string path;
        std::vector<std::string> masks;
        const char* reason = nullptr;  // of a folder that cannot be listed
    } cases[] = {
        {"missing folder", temp / "missing", {"*"}, "No such file or directory"},
        {"file as folder", temp / "tree/a.txt", {"*"}, "Not a directory"},
        {"single mask with /", Root(), {"sub/*"}},
        {"single mask with \\", Root(), {"sub\\*"}},
        {"empty mask", Root(), {""}},
        {"blank mask", Root(), {" \t "}},
        {"invalid character", Root(), {"a|b"}},
        {"open set", Root(), {"[ab"}},
        {"open set among several", Root(), {"*", "[ab"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        messages->reports.clear();
        TStrings files{"stale"};
        EXPECT_FALSE(io.GetFiles(c.path, c.masks, files));
        EXPECT_THAT(files, IsEmpty());
        ASSERT_EQ(messages->Count(Level::Error), 1u) << ErrorsDump();
        EXPECT_EQ(messages->reports[0].sender, "TIO");
        if (c.reason != nullptr) {
            EXPECT_EQ(messages->reports[0].text,
                      "cannot list folder \"" + c.path + "\": " + c.reason);
        }
    }
}

TEST_F(GetFilesTest, NoMasksAnswerFalseSilently) {
    TStrings files{"stale"};
    EXPECT_FALSE(io.GetFiles(Root(), {}, files));
    EXPECT_THAT(files, IsEmpty());
    EXPECT_THAT(messages->reports, IsEmpty());
}

TEST_F(GetFilesTest, AFileNameThatIsNoValidPathFailsTheListing) {
    temp.Write("tree/bad|name.txt", "x");
    TStrings files;
    EXPECT_FALSE(io.GetFiles(Root(), {"*"}, files));
    EXPECT_THAT(files, IsEmpty());
    EXPECT_EQ(messages->Count(Level::Error), 1u) << ErrorsDump();
}

// ---- GetFileHashList ---------------------------------------------------------------------

TEST_F(IoTest, HashesAFileNamedByAnAbsolutePathAsItIs) {
    std::string blocks(10000, '\0');
    for (size_t i = 0; i < blocks.size(); ++i) blocks[i] = static_cast<char>(i % 251);
    const std::string absolute = temp.Write("elsewhere/blocks.bin", blocks);
    THashList hashes;
    ASSERT_TRUE(io.GetFileHashList(temp / "folder", {absolute}, hashes));
    EXPECT_THAT(hashes, ElementsAre(std::pair<std::string, std::string>(
                                        absolute, "bbf1c77538f97ceeb1e03126edaa3594")));
    EXPECT_THAT(messages->reports, IsEmpty()) << ErrorsDump();
}

TEST_F(IoTest, NamesWithAColonStayBelowTheirFolder) {
    // On this platform "a:b.txt" is a file name, not a drive path.
    temp.Write("tree/a:b.txt", "colon");
    TStrings files;
    ASSERT_TRUE(io.GetFiles(temp / "tree", {"*.txt"}, files)) << ErrorsDump();
    EXPECT_THAT(files, ElementsAre(temp / "tree/a:b.txt"));
    THashList hashes;
    ASSERT_TRUE(io.GetFileHashList(temp / "tree", {"a:b.txt"}, hashes));
    ASSERT_EQ(hashes.size(), 1u) << ErrorsDump();
    EXPECT_EQ(hashes[0].first, "a:b.txt");
}

TEST_F(IoTest, HashListReportsAnUnreadableFileAndGoesOn) {
    temp.Write("abc.txt", "abc");
    fs::create_symlink("loop", temp / "loop");  // opening it fails with "too many links"
    THashList hashes;
    EXPECT_TRUE(io.GetFileHashList(temp.Path(), {"loop", "abc.txt"}, hashes));
    ASSERT_EQ(hashes.size(), 1u);
    EXPECT_EQ(hashes[0].first, "abc.txt");
    EXPECT_THAT(messages->Texts(Level::Error),
                ElementsAre("cannot read \"" + temp / "loop" + "\": Too many levels of symbolic links"));
    EXPECT_EQ(messages->reports[0].sender, "TIO");
}

TEST_F(IoTest, HashListLetsAnInvalidNameThrow) {
    temp.Write("abc.txt", "abc");
    THashList hashes;
    EXPECT_THROW(io.GetFileHashList(temp.Path(), {"abc.txt", "a|b"}, hashes), EPathError);
}

// ---- Text files --------------------------------------------------------------------------

TEST_F(IoTest, WritesReplaceTheFileWholeAndLeaveNoTemporaryFile) {
    const std::string path = temp.Write("state.txt", std::string(5000, 'o'));
    fs::permissions(path, fs::perms(0640));
    ASSERT_TRUE(io.SetLines(path, {"new"}));
    EXPECT_EQ(temp.Read("state.txt"), "\xEF\xBB\xBFnew\r\n");
    EXPECT_EQ(ModeOf(path), 0640u);  // a replaced file keeps its mode
    ASSERT_TRUE(io.ByteToFile(path, {'b', 0, 'c'}));
    EXPECT_EQ(temp.Read("state.txt"), std::string("b\0c", 3));
    ASSERT_TRUE(io.ByteToFile(path, {}));
    EXPECT_EQ(temp.Read("state.txt"), "");
    EXPECT_THAT(TempLeftovers(temp.Path()), IsEmpty());
    EXPECT_THAT(messages->reports, IsEmpty());
}

TEST_F(IoTest, WritesReplaceALinkInsteadOfWritingThroughIt) {
    const std::string victim = temp.Write("victim.txt", "precious");
    fs::create_symlink(victim, temp / "link.txt");
    ASSERT_TRUE(io.ByteToFile(temp / "link.txt", {'x'}));
    EXPECT_FALSE(fs::is_symlink(temp / "link.txt"));
    EXPECT_EQ(temp.Read("link.txt"), "x");
    EXPECT_EQ(temp.Read("victim.txt"), "precious");
}

// ---- Copyfile ----------------------------------------------------------------------------

TEST_F(IoTest, CopyfileCreatesFoldersKeepsModeAndTimeAndReplaces) {
    const std::string source = temp.Write("src/tool", "first");
    fs::permissions(source, fs::perms(0750));
    const auto stamp = fs::file_time_type::clock::now() - std::chrono::hours(50);
    fs::last_write_time(source, stamp);
    const std::string target = temp / "dest/a/b/tool";

    ASSERT_TRUE(io.Copyfile(source, target)) << ErrorsDump();
    EXPECT_EQ(temp.Read("dest/a/b/tool"), "first");
    EXPECT_EQ(ModeOf(target), 0750u);
    EXPECT_EQ(fs::last_write_time(target), stamp);

    temp.Write("src/tool", "second, longer");
    ASSERT_TRUE(io.Copyfile(source, target)) << ErrorsDump();
    EXPECT_EQ(temp.Read("dest/a/b/tool"), "second, longer");
    EXPECT_THAT(TempLeftovers(temp / "dest/a/b"), IsEmpty());
    EXPECT_THAT(messages->reports, IsEmpty());
}

TEST_F(IoTest, CopyFilesCopiesARunAsCopyfileDoesOneByOne) {
    // Created with the source's bits: those the umask takes away are set again.
    const mode_t mask = ::umask(022);
    struct Restore {
        mode_t mask;
        ~Restore() { ::umask(mask); }
    } restore{mask};
    const std::vector<std::pair<std::string, unsigned>> files = {
        {"a/1", 0644}, {"a/2", 0775}, {"b/1", 0600}, {"a/3", 0640}, {"b/2", 0755}};
    for (const auto& [name, mode] : files) {
        fs::permissions(temp.Write("src/" + name, "data of " + name), fs::perms(mode));
    }
    temp.Write("dest/a/2", "older and longer than the new one");
    std::vector<std::string> named;
    ASSERT_TRUE(io.CopyFiles(files.size(), [&](size_t i, std::string& source, std::string& target) {
        named.push_back(files[i].first);
        source = temp / ("src/" + files[i].first);
        target = temp / ("dest/" + files[i].first);
        return true;
    })) << ErrorsDump();
    EXPECT_EQ(named.size(), files.size());
    for (const auto& [name, mode] : files) {
        SCOPED_TRACE(name);
        EXPECT_EQ(temp.Read("dest/" + name), "data of " + name);
        EXPECT_EQ(ModeOf(temp / ("dest/" + name)), mode);
    }
    EXPECT_THAT(TempLeftovers(temp / "dest/a"), IsEmpty());
    EXPECT_THAT(messages->reports, IsEmpty());

    // A refusal ends the run there; a failure too, reported as Copyfile reports it.
    named.clear();
    temp.Write("dest/c", "a file where a folder would be");
    const std::vector<std::string> targets = {"x/1", "c/1", "x/2"};
    EXPECT_FALSE(io.CopyFiles(3, [&](size_t i, std::string& source, std::string& target) {
        named.push_back(targets[i]);
        source = temp / "src/a/1";
        target = temp / ("dest/" + targets[i]);
        return true;
    }));
    EXPECT_THAT(named, ElementsAre("x/1", "c/1"));
    EXPECT_THAT(messages->Texts(Level::Error),
                ElementsAre("cannot copy \"" + temp / "src/a/1" + "\" to \"" + temp / "dest/c/1" +
                            "\": Not a directory"));
    messages->reports.clear();
    EXPECT_FALSE(io.CopyFiles(3, [&](size_t i, std::string& source, std::string& target) {
        source = temp / "src/a/1";
        target = temp / ("dest/y/" + std::to_string(i));
        return i < 1;
    }));
    EXPECT_TRUE(fs::exists(temp / "dest/y/0"));
    EXPECT_FALSE(fs::exists(temp / "dest/y/1"));
}

TEST_F(IoTest, CopyFilesNeverFollowsAFolderSwappedForALinkDuringTheRun) {
    io.OwnFolder(temp / "dest");
    temp.Write("src/f", "data");
    fs::create_directories(temp / "dest/sub");
    fs::create_directories(temp / "outside");
    ASSERT_TRUE(io.CopyFiles(3, [&](size_t i, std::string& source, std::string& target) {
        if (i == 1) {
            // After the first file the folder is moved aside and a link to outside takes its
            // place: the rest of the run still goes into the folder it reached.
            fs::rename(temp / "dest/sub", temp / "dest/moved");
            fs::create_directory_symlink(temp / "outside", temp / "dest/sub");
        }
        source = temp / "src/f";
        target = temp / ("dest/sub/" + std::to_string(i));
        return true;
    })) << ErrorsDump();
    EXPECT_TRUE(fs::is_empty(temp / "outside"));
    EXPECT_TRUE(fs::exists(temp / "dest/moved/2"));
    // A new run walks again and meets the link.
    EXPECT_FALSE(io.CopyFiles(1, [&](size_t, std::string& source, std::string& target) {
        source = temp / "src/f";
        target = temp / "dest/sub/3";
        return true;
    }));
    EXPECT_TRUE(fs::is_empty(temp / "outside"));
}

TEST_F(IoTest, CopyfileDropsSetuidAndReplacesALinkAtTheTarget) {
    const std::string source = temp.Write("src/suid", "data");
    fs::permissions(source, fs::perms(04755));
    const std::string victim = temp.Write("victim.txt", "precious");
    fs::create_symlink(victim, temp / "target");
    ASSERT_TRUE(io.Copyfile(source, temp / "target")) << ErrorsDump();
    EXPECT_FALSE(fs::is_symlink(temp / "target"));
    EXPECT_EQ(ModeOf(temp / "target"), 0755u);
    EXPECT_EQ(temp.Read("victim.txt"), "precious");
}

TEST_F(IoTest, CopyfileNeverCreatesTheTargetOfADanglingLink) {
    const std::string source = temp.Write("src/file", "data");
    fs::create_symlink(temp / "elsewhere.txt", temp / "target");
    ASSERT_TRUE(io.Copyfile(source, temp / "target")) << ErrorsDump();
    EXPECT_FALSE(fs::is_symlink(temp / "target"));
    EXPECT_EQ(temp.Read("target"), "data");
    EXPECT_FALSE(fs::exists(temp / "elsewhere.txt"));
}

TEST_F(IoTest, CopyfileReplacesARunningProgram) {
    const std::string program = temp / "bin/sleeper";
    ASSERT_TRUE(io.Copyfile("/bin/sleep", program)) << ErrorsDump();
    testing::ChildProcess child;
    child.Run(program, "30");
    const std::string update = temp.Write("update", "new program");
    EXPECT_TRUE(io.Copyfile(update, program)) << ErrorsDump();
    EXPECT_EQ(temp.Read("bin/sleeper"), "new program");
}

// ---- FileDelete, FileExists, DirectoryExists, ForceDirectory ------------------------------

TEST_F(IoTest, FileDeleteRemovesALinkAsTheLink) {
    const std::string victim = temp.Write("victim.txt", "v");
    fs::create_symlink(victim, temp / "link");
    EXPECT_TRUE(io.FileDelete(temp / "link"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(temp / "link")));
    EXPECT_EQ(temp.Read("victim.txt"), "v");
    EXPECT_THAT(messages->reports, IsEmpty());
}

TEST_F(IoTest, ExistenceTestsOfLinks) {
    temp.Write("file", "x");
    fs::create_directories(temp / "folder");
    fs::create_symlink(temp / "file", temp / "filelink");
    fs::create_directory_symlink(temp / "folder", temp / "folderlink");
    fs::create_symlink(temp / "missing", temp / "dangling");
    fs::create_symlink("loop", temp / "loop");

    ExpectExistence({
        {temp / "filelink", true, false},
        {temp / "folderlink", false, true},
        {temp / "dangling", false, false},
    });

    // A path that cannot be resolved is a failure for DirectoryExists only.
    EXPECT_FALSE(io.FileExists(temp / "loop"));
    EXPECT_THAT(messages->reports, IsEmpty());
    EXPECT_FALSE(io.DirectoryExists(temp / "loop/x"));
    EXPECT_THAT(messages->Texts(Level::Error),
                ElementsAre("cannot look at \"" + temp / "loop/x" +
                            "\": Too many levels of symbolic links"));
}

// ---- RenameEntry, RemoveTree ------------------------------------------------------------

TEST_F(IoTest, RenameAndRemoveTreeStayBelowAnOwnedFolder) {
    temp.Write("owned/dir/a.zip", "a");
    temp.Write("outside/a.part", "outside a");
    temp.Write("outside/tree/b.txt", "outside b");
    fs::create_directory_symlink(temp / "outside", temp / "owned/swapped");
    io.OwnFolder(temp / "owned");

    // Through the swapped folder nothing is reached: the files outside stay as they are.
    EXPECT_TRUE(io.RenameEntry(temp / "owned/swapped/a.part", temp / "owned/dir/stolen"));
    EXPECT_TRUE(io.RenameEntry(temp / "owned/dir/a.zip", temp / "owned/swapped/a.part"));
    EXPECT_TRUE(io.RemoveTree(temp / "owned/swapped/tree"));
    EXPECT_EQ(temp.Read("outside/a.part"), "outside a");
    EXPECT_EQ(temp.Read("outside/tree/b.txt"), "outside b");
    EXPECT_FALSE(fs::exists(temp / "owned/dir/stolen"));
    // The link itself is an entry of the owned folder and goes as a link.
    EXPECT_FALSE(io.RemoveTree(temp / "owned/swapped"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(temp / "owned/swapped")));
    EXPECT_EQ(temp.Read("outside/tree/b.txt"), "outside b");
    EXPECT_THAT(messages->reports, IsEmpty());
}

// ---- DirectoryDeleteIfEmpty --------------------------------------------------------------

TEST_F(IoTest, DirectoryDeleteIfEmptyTreatsLinksAsEntries) {
    fs::create_directories(temp / "outside/empty");
    fs::create_directories(temp / "tree/sub");
    fs::create_directory_symlink(temp / "outside", temp / "tree/sub/link");
    EXPECT_FALSE(io.DirectoryDeleteIfEmpty(temp / "tree"));
    EXPECT_TRUE(fs::is_symlink(temp / "tree/sub/link"));
    EXPECT_TRUE(fs::is_directory(temp / "outside/empty"));

    fs::create_directory_symlink(temp / "outside", temp / "rootlink");
    EXPECT_FALSE(io.DirectoryDeleteIfEmpty(temp / "rootlink"));
    EXPECT_TRUE(fs::is_directory(temp / "outside/empty"));
}

TEST_F(IoTest, DirectoryDeleteIfEmptyAnswersFalseWhenTheRemovalIsRefused) {
    fs::create_directories(temp / "locked/empty");
    const std::string quoted = "'" + temp / "locked" + "'";
    if (std::system(("chattr +i " + quoted + " 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "chattr +i is not available on " << temp.Path();
    }
    const bool answer = io.DirectoryDeleteIfEmpty(temp / "locked/empty");
    std::system(("chattr -i " + quoted).c_str());
    EXPECT_FALSE(answer);
    EXPECT_TRUE(fs::is_directory(temp / "locked/empty"));
    EXPECT_THAT(messages->reports, IsEmpty());
}

TEST_F(IoTest, DirectoryDeleteIfEmptyThrowsAFileSystemErrorForAMissingFolder) {
    EXPECT_THROW(io.DirectoryDeleteIfEmpty(temp / "missing"), fs::filesystem_error);
}

}  // namespace
}  // namespace ombrel
