#include "platform/process_launcher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/support/test_support.h"

namespace ombrel {
namespace {

using testing::ReadFileBytes;
using testing::TempFolder;

// Writes, as one file that appears at once: the number of arguments, each argument, the working
// folder and the session id of the process that ran it.
const char kRecorder[] =
    "#!/bin/sh\n"
    "{ echo \"$#\"; for a in \"$@\"; do echo \"$a\"; done; pwd; ps -o sid= -p $$ | tr -d ' '; }"
    " > \"$OMBREL_TEST_MARKER.tmp\"\n"
    "mv \"$OMBREL_TEST_MARKER.tmp\" \"$OMBREL_TEST_MARKER\"\n";

class ProcessLauncherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        marker = folder / "marker";
        ::setenv("OMBREL_TEST_MARKER", marker.c_str(), 1);
    }
    void TearDown() override { ::unsetenv("OMBREL_TEST_MARKER"); }

    std::string WriteScript(const std::string& relative, mode_t mode = 0755) {
        const std::string path = folder.Write(relative, kRecorder);
        ::chmod(path.c_str(), mode);
        return path;
    }

    // The started process runs on its own; the marker appears when it is done.
    std::string WaitForMarker() {
        for (int i = 0; i < 3000 && !std::filesystem::exists(marker); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return std::filesystem::exists(marker) ? ReadFileBytes(marker) : "(no marker)";
    }

    static std::string OwnSession() { return std::to_string(::getsid(0)); }

    TempFolder folder;
    std::string marker;
};

TEST_F(ProcessLauncherTest, StartsTheProgramDirectlyInItsFolderWithoutArgumentsOrShell) {
    // Quotes, blanks and a command substitution are parts of the name, never run.
    const std::string dir = "dir with 'quotes' and $(touch pwned-dir)";
    const std::string program = WriteScript(dir + "/my app $(touch pwned-name) `id`.sh");
    TProcessLauncher launcher;
    ASSERT_TRUE(launcher.StartProgram(program, false)) << launcher.LastError();

    const std::string seen = WaitForMarker();
    const std::string session = seen.substr(seen.rfind('\n', seen.size() - 2) + 1);
    EXPECT_EQ(seen.substr(0, seen.size() - session.size()), "0\n" + folder / dir + "\n");
    EXPECT_NE(session, OwnSession() + "\n") << "the program must run in a session of its own";
    for (const char* name : {"pwned-dir", "pwned-name"}) {
        EXPECT_FALSE(std::filesystem::exists(folder / name)) << name;
        EXPECT_FALSE(std::filesystem::exists(folder / (dir + "/" + name))) << name;
    }
}

TEST_F(ProcessLauncherTest, HelpersReceiveThePathAndStartInItsFolder) {
    struct Case {
        const char* name;
        mode_t programMode;
        bool runAsAdmin;
        std::string arguments;  // before the path, one per line
    };
    const Case cases[] = {
        // Without --keep-cwd, pkexec would start the program in root's home folder.
        {"elevated executable goes through the elevator", 0755, true, "2\n--keep-cwd\n"},
        {"a document goes to the opener", 0644, false, "1\n"},
        {"an elevated document goes to the opener too", 0644, true, "1\n"},
    };
    const std::string elevator = WriteScript("helpers/elevator");
    const std::string opener = WriteScript("helpers/opener");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(marker);
        // The program itself must not run: its content would write the marker with no arguments.
        const std::string program = WriteScript("app/the program $(x)", c.programMode);
        TProcessLauncher launcher(elevator, opener);
        ASSERT_TRUE(launcher.StartProgram(program, c.runAsAdmin)) << launcher.LastError();
        const std::string seen = WaitForMarker();
        EXPECT_EQ(seen.substr(0, seen.find(folder / "app\n")), c.arguments + program + "\n");
        EXPECT_NE(seen.find("\n" + folder / "app\n"), std::string::npos) << seen;
    }
}

TEST_F(ProcessLauncherTest, FailuresAreAnsweredWithTheReason) {
    const std::string program = WriteScript("app/run.sh");
    const std::string document = WriteScript("app/readme.txt", 0644);
    struct Case {
        const char* name;
        std::string path;
        bool runAsAdmin;
        std::string elevator;
        std::string opener;
    };
    const Case cases[] = {
        {"missing program", folder / "app/missing", false, "pkexec", "xdg-open"},
        {"empty path", "", false, "pkexec", "xdg-open"},
        {"missing elevator", program, true, "ombrel-no-such-elevator", "xdg-open"},
        {"missing opener", document, false, "pkexec", "ombrel-no-such-opener"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TProcessLauncher launcher(c.elevator, c.opener);
        EXPECT_FALSE(launcher.StartProgram(c.path, c.runAsAdmin));
        EXPECT_FALSE(launcher.LastError().empty());
    }
    EXPECT_FALSE(std::filesystem::exists(marker));
}

TEST(FindProgramInPathTest, SearchesPathAndTakesNamesWithSlashesAsTheyAre) {
    EXPECT_EQ(FindProgramInPath("sh").back(), 'h');
    EXPECT_NE(FindProgramInPath("sh").find('/'), std::string::npos);
    EXPECT_EQ(FindProgramInPath("/bin/sh"), "/bin/sh");
    EXPECT_EQ(FindProgramInPath("ombrel-no-such-program"), "");
    EXPECT_EQ(FindProgramInPath("/etc/passwd"), "") << "not executable";
    EXPECT_EQ(FindProgramInPath(""), "");
}

}  // namespace
}  // namespace ombrel
