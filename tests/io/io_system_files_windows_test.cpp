// TIO on real files under Windows: listing, hashing, text files, copying, deleting, folders and
// files held by others, with "\" between the names the service joins.

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "io/io_system.h"
#include "tests/io/io_files_test.h"
#include "io/paths.h"
#include "platform/win32_text.h"
#include "tests/io/extract_zip_test.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::Below;
using testing::Level;
using testing::Native;

class IoTest : public IoFilesFixture {
protected:
    static DWORD Attributes(const std::string& path) {
        return GetFileAttributesW(Win32Path(path).c_str());
    }
};

// ---- GetFiles ----------------------------------------------------------------------------

TEST_F(IoTest, GetFilesListsMatchingFilesRecursivelyWithBackslashes) {
    for (const char* name : {"tree/a.txt", "tree/B.TXT", "tree/noext", "tree/sub/c.dll",
                             "tree/sub/deeper/d.Txt", "tree/other/e.bin"}) {
        temp.Write(name, name);
    }
    fs::create_directories(temp / "tree/empty/nested");
    const std::string root = temp / "tree";
    const struct {
        std::vector<std::string> masks;
        std::set<std::string> expected;  // relative names
    } cases[] = {
        {{"*.txt"}, {"a.txt", "B.TXT", "sub/deeper/d.Txt"}},
        {{"*.*"}, {"a.txt", "B.TXT", "noext", "sub/c.dll", "sub/deeper/d.Txt", "other/e.bin"}},
        {{"?.DLL"}, {"sub/c.dll"}},
        {{"[!ab]*"}, {"noext", "sub/c.dll", "sub/deeper/d.Txt", "other/e.bin"}},
        {{"nothing"}, {}},
        {{"sub/*", "*.bin"}, {"sub/c.dll", "sub/deeper/d.Txt", "other/e.bin"}},
        {{"SUB\\DEEPER\\*", "x"}, {"sub/deeper/d.Txt"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.masks));
        messages->reports.clear();
        TStrings files{"stale"};
        ASSERT_TRUE(io.GetFiles(root, c.masks, files)) << ErrorsDump();
        EXPECT_THAT(messages->reports, IsEmpty()) << ErrorsDump();
        std::set<std::string> expected;
        for (const std::string& name : c.expected) expected.insert(Below(root, name));
        EXPECT_EQ(std::set<std::string>(files.begin(), files.end()), expected);
        TStrings names;
        ASSERT_TRUE(io.GetFileNames(root, c.masks, names)) << ErrorsDump();
        std::set<std::string> relative;
        for (const std::string& name : c.expected) relative.insert(Native(name));
        EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), relative);
    }
}

TEST_F(IoTest, GetFilesFailsWithAnErrorAndNoFiles) {
    temp.Write("tree/a.txt", "a");
    const struct {
        const char* label;
        std::string path;
        std::vector<std::string> masks;
        const char* reason = nullptr;
    } cases[] = {
        {"missing folder", temp / "missing", {"*"}, "No such file or directory"},
        {"file as folder", temp / "tree/a.txt", {"*"}, "Not a directory"},
        {"single mask with \\", temp / "tree", {"sub\\*"}},
        {"open set", temp / "tree", {"[ab"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        messages->reports.clear();
        TStrings files{"stale"};
        EXPECT_FALSE(io.GetFiles(c.path, c.masks, files));
        EXPECT_THAT(files, IsEmpty());
        ASSERT_EQ(messages->Count(Level::Error), 1u) << ErrorsDump();
        if (c.reason != nullptr) {
            EXPECT_EQ(messages->reports[0].text,
                      "cannot list folder \"" + c.path + "\": " + c.reason);
        }
    }
}

// ---- Text files, long paths and names beyond ASCII ----------------------------------------

TEST_F(IoTest, TextFilesRoundTripAlsoBeyondTheOldPathLimit) {
    // More than 260 characters in all, and names that the ANSI code page cannot hold.
    std::string deep = temp.Path();
    while (Widen(deep).size() < 300) deep += "\\Verzeichnis-größer-日本";
    const std::string path = deep + "\\zeile.txt";
    ASSERT_TRUE(io.ForceDirectory(deep)) << ErrorsDump();
    ASSERT_TRUE(io.SetLines(path, {"a", "", "größe"})) << ErrorsDump();
    TStrings back;
    ASSERT_TRUE(io.GetLines(path, back)) << ErrorsDump();
    EXPECT_THAT(back, ElementsAre("a", "", "größe"));
    ASSERT_TRUE(io.AppendLine(path, "more"));
    ASSERT_TRUE(io.GetLines(path, back));
    EXPECT_THAT(back, ElementsAre("a", "", "größe", "more"));
    EXPECT_TRUE(io.FileExists(path));
    EXPECT_TRUE(io.DirectoryExists(deep));
    TStrings files;
    ASSERT_TRUE(io.GetFiles(deep, {"*.txt"}, files)) << ErrorsDump();
    EXPECT_THAT(files, ElementsAre(path));
    ASSERT_TRUE(io.Copyfile(path, deep + "\\kopie.txt")) << ErrorsDump();
    EXPECT_TRUE(io.FileDelete(path));
    EXPECT_FALSE(io.FileExists(path));
    EXPECT_THAT(messages->reports, IsEmpty()) << ErrorsDump();
}

TEST_F(IoTest, WritesReplaceTheFileWholeKeepingItsAttributesAndLeaveNoTemporaryFile) {
    const std::string path = temp.Write("state.txt", std::string(5000, 'o'));
    ASSERT_TRUE(io.SetLines(path, {"new"}));
    EXPECT_EQ(temp.Read("state.txt"), "\xEF\xBB\xBFnew\r\n");
    ASSERT_TRUE(SetFileAttributesW(Win32Path(path).c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(io.ByteToFile(path, {'b', 0, 'c'})) << ErrorsDump();
    EXPECT_EQ(temp.Read("state.txt"), std::string("b\0c", 3));
    // A replaced file keeps its read-only and hidden attributes, as it keeps its mode on Linux.
    EXPECT_EQ(Attributes(path) & FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(SetFileAttributesW(Win32Path(path).c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(io.SetLines(path, {"hidden"})) << ErrorsDump();
    EXPECT_EQ(Attributes(path) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY),
              FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(temp.Read("state.txt"), "\xEF\xBB\xBFhidden\r\n");
    EXPECT_THAT(TempLeftovers(temp.Path()), IsEmpty());
    EXPECT_THAT(messages->reports, IsEmpty());
}

// ---- Copyfile ----------------------------------------------------------------------------

TEST_F(IoTest, CopyfileCreatesFoldersKeepsReadOnlyAndTimeAndReplaces) {
    const std::string source = temp.Write("src/tool.exe", "first");
    const auto stamp = fs::last_write_time(source) - std::chrono::hours(50);
    fs::last_write_time(source, stamp);
    ASSERT_TRUE(SetFileAttributesW(Win32Path(source).c_str(), FILE_ATTRIBUTE_READONLY));
    const std::string target = temp / "dest/a/b/tool.exe";

    ASSERT_TRUE(io.Copyfile(source, target)) << ErrorsDump();
    EXPECT_EQ(temp.Read("dest/a/b/tool.exe"), "first");
    EXPECT_NE(Attributes(target) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_EQ(fs::last_write_time(target), stamp);

    ASSERT_TRUE(SetFileAttributesW(Win32Path(source).c_str(), FILE_ATTRIBUTE_NORMAL));
    temp.Write("src/tool.exe", "second, longer");
    ASSERT_TRUE(io.Copyfile(source, target)) << ErrorsDump();
    EXPECT_EQ(temp.Read("dest/a/b/tool.exe"), "second, longer");
    EXPECT_EQ(Attributes(target) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_THAT(TempLeftovers(temp / "dest/a/b"), IsEmpty());
    EXPECT_THAT(messages->reports, IsEmpty());
}

// ---- FileDelete, FileExists, DirectoryExists, ForceDirectory ------------------------------

TEST_F(IoTest, FileDeleteRemovesReadOnlyFilesToo) {
    const std::string readOnly = temp.Write("ro.txt", "r");
    ASSERT_TRUE(SetFileAttributesW(Win32Path(readOnly).c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(io.FileDelete(readOnly)) << ErrorsDump();
    EXPECT_FALSE(fs::exists(readOnly));
    EXPECT_THAT(messages->reports, IsEmpty());
}

TEST_F(IoTest, ExistenceTestsIgnoreCaseAndKnowDrives) {
    temp.Write("file", "x");
    fs::create_directories(temp / "folder");
    ExpectExistence({
        {temp / "FOLDER", false, true},
        {temp / "FILE", true, false},
        {temp.Path().substr(0, 3), false, true},
    });
}

// ---- RenameEntry, RemoveTree, DirectoryDeleteIfEmpty -------------------------------------

TEST_F(IoTest, RenameAndRemoveTreeTakeBackslashesAndReadOnlyFiles) {
    temp.Write("owned/dir/a.part", "a");
    temp.Write("owned/dir/tree/deeper/c.txt", "c");
    const std::string readOnly = temp.Write("owned/dir/tree/ro.txt", "r");
    ASSERT_TRUE(SetFileAttributesW(Win32Path(readOnly).c_str(), FILE_ATTRIBUTE_READONLY));
    io.OwnFolder(temp / "owned");

    EXPECT_FALSE(io.RenameEntry(temp / "owned/dir/a.part", temp / "owned\\dir\\a.zip"));
    EXPECT_EQ(temp.Read("owned/dir/a.zip"), "a");
    EXPECT_FALSE(io.RemoveTree(temp / "owned\\dir\\tree"));
    EXPECT_FALSE(fs::exists(temp / "owned/dir/tree"));
    EXPECT_THAT(messages->reports, IsEmpty());
}

// ---- FlushToDisk ------------------------------------------------------------------------

TEST_F(IoTest, FlushToDiskFlushesAFolderEvenWithAFileThatCannotBeWritten) {
    temp.Write("tree/a.txt", "a");
    temp.Write("tree/sub/b.txt", "b");
    const std::string held = temp.Write("tree/held.dll", "held");
    HANDLE holder = CreateFileW(Win32Path(held).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(io.FlushToDisk(temp / "tree")) << ErrorsDump();
    CloseHandle(holder);
    EXPECT_THAT(messages->reports, IsEmpty());
    EXPECT_FALSE(io.FlushToDisk(temp / "missing"));
    EXPECT_THAT(messages->Texts(Level::Error),
                ElementsAre("cannot flush \"" + temp / "missing" + "\": No such file or directory"));
}

// ---- CanFileBeOverwritten ----------------------------------------------------------------

TEST_F(IoTest, AFileHeldWithoutSharingCannotBeOverwritten) {
    const std::string path = temp.Write("held.dll", "x");
    EXPECT_TRUE(io.CanFileBeOverwritten(path));
    EXPECT_TRUE(io.CanFileBeOverwritten(temp / "missing.dll"));
    EXPECT_TRUE(io.CanFileBeOverwritten(temp.Path()));
    {
        // Held as a loaded library or a running program is: readers share, writers do not.
        HANDLE held = CreateFileW(Win32Path(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        EXPECT_FALSE(io.CanFileBeOverwritten(path));
        CloseHandle(held);
    }
    ASSERT_EQ(messages->Count(Level::Log), 1u) << ErrorsDump();
    EXPECT_THAT(messages->Texts(Level::Log)[0],
                ::testing::StartsWith("cannot overwrite \"" + path +
                                      "\": the file is open in another process"));
    EXPECT_EQ(messages->Count(Level::Error), 0u);
    EXPECT_TRUE(io.CanFileBeOverwritten(path));
}

// A second process started with a command line, ended with everything it started when the
// object goes away.
class ChildProcess {
public:
    explicit ChildProcess(std::wstring commandLine) : iJob(CreateJobObjectW(nullptr, nullptr)) {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (iJob == nullptr ||
            !CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                            CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &startup,
                            &iInfo)) {
            iInfo.hProcess = nullptr;
            return;
        }
        AssignProcessToJobObject(iJob, iInfo.hProcess);
        ResumeThread(iInfo.hThread);
    }
    ~ChildProcess() {
        if (iInfo.hProcess != nullptr) {
            TerminateJobObject(iJob, 0);
            WaitForSingleObject(iInfo.hProcess, 10000);
            CloseHandle(iInfo.hProcess);
            CloseHandle(iInfo.hThread);
        }
        if (iJob != nullptr) CloseHandle(iJob);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool Started() const { return iInfo.hProcess != nullptr; }

private:
    HANDLE iJob;
    PROCESS_INFORMATION iInfo{};
};

// Waits until the file cannot be opened for writing without sharing: the child has it.
bool WaitUntilHeld(const std::string& path) {
    for (int i = 0; i < 200; ++i) {
        HANDLE probe = CreateFileW(Win32Path(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe == INVALID_HANDLE_VALUE && GetFileAttributesW(Win32Path(path).c_str()) !=
                                                 INVALID_FILE_ATTRIBUTES) {
            return true;
        }
        if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);
        Sleep(50);
    }
    return false;
}

TEST_F(IoTest, FilesThatAnotherProcessRunsOrHoldsAreReportedAndStayWhole) {
    wchar_t system[MAX_PATH];
    ASSERT_NE(GetSystemDirectoryW(system, MAX_PATH), 0u);
    const std::string program = temp / "bin/pinger.exe";
    ASSERT_TRUE(io.Copyfile(Narrow(system) + "\\ping.exe", program)) << ErrorsDump();
    const std::string original = temp.Read("bin/pinger.exe");
    const std::string log = temp / "bin/held.log";
    {
        ChildProcess running(L"\"" + Widen(Native(program)) + L"\" -n 30 127.0.0.1");
        ASSERT_TRUE(running.Started());
        ChildProcess writing(L"cmd.exe /c ping -n 30 127.0.0.1 > \"" + Widen(Native(log)) + L"\"");
        ASSERT_TRUE(writing.Started());
        ASSERT_TRUE(WaitUntilHeld(program));
        ASSERT_TRUE(WaitUntilHeld(log));

        EXPECT_FALSE(io.CanFileBeOverwritten(program));
        EXPECT_FALSE(io.CanFileBeOverwritten(log));
        const auto logs = messages->Texts(Level::Log);
        ASSERT_EQ(logs.size(), 2u) << ErrorsDump();
        EXPECT_THAT(logs[0], ::testing::StartsWith("cannot overwrite \"" + program +
                                                   "\": the file is open in another process"));
        EXPECT_THAT(logs[1], ::testing::StartsWith("cannot overwrite \"" + log +
                                                   "\": the file is open in another process"));
        EXPECT_EQ(messages->Count(Level::Error), 0u);

        // Replacing a running program fails, and the program stays whole.
        const std::string update = temp.Write("update.exe", "new program");
        EXPECT_FALSE(io.Copyfile(update, program));
        EXPECT_EQ(messages->Count(Level::Error), 1u) << ErrorsDump();
        EXPECT_EQ(temp.Read("bin/pinger.exe"), original);
        EXPECT_THAT(TempLeftovers(temp / "bin"), IsEmpty());
    }
    // Once they are gone, both may be overwritten.
    messages->reports.clear();
    for (int i = 0; i < 100 && !(io.CanFileBeOverwritten(program) && io.CanFileBeOverwritten(log));
         ++i) {
        messages->reports.clear();
        Sleep(50);
    }
    EXPECT_TRUE(io.CanFileBeOverwritten(program));
    EXPECT_TRUE(io.CanFileBeOverwritten(log));
    EXPECT_TRUE(io.Copyfile(temp / "update.exe", program)) << ErrorsDump();
}

}  // namespace
}  // namespace ombrel
