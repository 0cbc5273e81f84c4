// The installer's installation folder: the previous installation is kept aside until the run
// succeeded, whatever an interrupted run left is recovered, and a folder that is not the user's
// own alone is refused.

#include "app/installation_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using testing::SetImmutable;
using testing::TempFolder;

class InstallationFolderTest : public ::testing::Test {
  protected:
    std::string Dest() const { return work / "data/ombrel/apps/Demo"; }
    std::string Previous() const { return work / "data/ombrel/apps/.Demo.ombrel-previous"; }
    std::string Obsolete() const { return work / "data/ombrel/apps/.Demo.ombrel-obsolete"; }

    // A folder holding one file "which" with `content`.
    void Installation(const std::string& folder, const std::string& content) const {
        testing::WriteFileBytes(folder + "/which", content);
    }
    std::string Which(const std::string& folder) const {
        return fs::exists(folder + "/which") ? testing::ReadFileBytes(folder + "/which") : "";
    }

    // Runs `command` through the shell as user nobody (uid and gid 65534, no groups).
    static int AsNobody(const std::string& command) {
        return std::system(("setpriv --reuid=65534 --regid=65534 --clear-groups sh -c '" +
                            command + "'")
                               .c_str());
    }

    TempFolder work;
    TInstallationFolder folder{work / "data", Dest()};
};

TEST_F(InstallationFolderTest, ThePreviousInstallationGoesOnlyWhenTheRunSucceeded) {
    for (bool succeeded : {true, false}) {
        SCOPED_TRACE(succeeded ? "success" : "failure");
        fs::remove_all(work / "data");
        Installation(Dest(), "old");
        TInstallationFolder run(work / "data", Dest());
        run.Prepare();
        EXPECT_TRUE(fs::is_empty(Dest())) << "the engine finds an empty folder";
        EXPECT_EQ(Which(Previous()), "old");
        Installation(Dest(), "new");

        std::string error;
        EXPECT_TRUE(succeeded ? run.Commit(error) : run.Rollback(error)) << error;
        EXPECT_EQ(Which(Dest()), succeeded ? "new" : "old");
        EXPECT_FALSE(fs::exists(Previous()));
        EXPECT_FALSE(fs::exists(Obsolete()));
        EXPECT_FALSE(fs::exists(work / "data/ombrel/apps/.Demo.ombrel-setup.lock"));
    }
}

TEST_F(InstallationFolderTest, TheFoldersAboveArePrivateAndAFirstFailedRunLeavesNothing) {
    folder.Prepare();
    for (const char* name : {"data/ombrel", "data/ombrel/apps"}) {
        struct stat st {};
        ASSERT_EQ(::stat((work / name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 07777, 0700u) << name;
    }
    Installation(Dest(), "partial");
    std::string error;
    EXPECT_TRUE(folder.Rollback(error)) << error;
    EXPECT_FALSE(fs::exists(Dest()));
    EXPECT_TRUE(fs::is_empty(work / "data/ombrel/apps"));
}

// What a run killed at each of its steps leaves on disk, and what the next run must take for
// the installation: the previous one unless the run had confirmed the new one.
TEST_F(InstallationFolderTest, WhatAKilledRunLeftIsRecoveredByTheNextRun) {
    struct Case {
        const char* step;
        const char* dest;      // content of the installation folder, "" for none
        const char* previous;  // of .Demo.ombrel-previous
        const char* obsolete;  // of .Demo.ombrel-obsolete
        const char* expected;  // the installation the next run finds (and keeps aside)
    };
    const Case cases[] = {
        {"no run yet", "old", "", "", "old"},
        {"after moving aside", "", "old", "", "old"},
        {"while installing", "partial", "old", "", "old"},
        {"installed, not confirmed", "new", "old", "", "old"},
        {"confirmed, deleting the old one", "new", "", "old", "new"},
        {"rolling back, new one out", "", "old", "partial", "old"},
        {"rolled back, deleting the new one", "old", "", "partial", "old"},
        {"recovering, new one out", "", "old", "partial", "old"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.step);
        fs::remove_all(work / "data");
        fs::create_directories(work / "data/ombrel/apps");
        ::chmod((work / "data/ombrel").c_str(), 0700);
        ::chmod((work / "data/ombrel/apps").c_str(), 0700);
        if (*c.dest) Installation(Dest(), c.dest);
        if (*c.previous) Installation(Previous(), c.previous);
        if (*c.obsolete) Installation(Obsolete(), c.obsolete);

        TInstallationFolder run(work / "data", Dest());
        run.Prepare();
        EXPECT_EQ(Which(Previous()), c.expected);
        EXPECT_TRUE(fs::is_empty(Dest()));
        EXPECT_FALSE(fs::exists(Obsolete()));
        std::string error;
        EXPECT_TRUE(run.Rollback(error)) << error;
        EXPECT_EQ(Which(Dest()), c.expected);
    }
}

TEST_F(InstallationFolderTest, AFolderThatIsNotTheUsersOwnAloneIsRefusedUntouched) {
    const std::string outside = work / "outside";
    Installation(outside, "precious");
    struct Case {
        const char* name;
        std::string path;  // planted at this path
        bool link;         // a link to `outside`, else a folder
        unsigned mode;     // of the planted folder
        bool nobody;       // owned by user nobody
    };
    const Case cases[] = {
        {"installation folder is a link", Dest(), true, 0, false},
        {"apps folder is a link", work / "data/ombrel/apps", true, 0, false},
        {"ombrel folder is a link", work / "data/ombrel", true, 0, false},
        {"installation folder writable by all", Dest(), false, 0777, false},
        {"apps folder writable by all", work / "data/ombrel/apps", false, 0777, false},
        {"installation folder of another user", Dest(), false, 0755, true},
        {"apps folder of another user", work / "data/ombrel/apps", false, 0700, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(work / "data");
        fs::create_directories(fs::path(c.path).parent_path());
        if (c.link) {
            fs::create_directory_symlink(outside, c.path);
        } else {
            Installation(c.path + "/bin", "planted");
            ::chmod(c.path.c_str(), c.mode);
            if (c.nobody) {
                ASSERT_EQ(::chown(c.path.c_str(), 65534, 65534), 0);
            }
        }
        TInstallationFolder run(work / "data", Dest());
        try {
            run.Prepare();
            ADD_FAILURE() << "accepted";
        } catch (const EInstallationFolderError& e) {
            EXPECT_NE(std::string(e.what()).find(c.path), std::string::npos) << e.what();
        }
        EXPECT_EQ(Which(outside), "precious");
        if (c.link) {
            EXPECT_TRUE(fs::is_symlink(c.path));
        } else {
            EXPECT_EQ(Which(c.path + "/bin"), "planted");
        }
        EXPECT_FALSE(fs::exists(fs::symlink_status(Previous())));
    }
}

TEST_F(InstallationFolderTest, WhatAnotherRealUserPlantedInASharedDataFolderIsRefused) {
    // The data folder is shared as /tmp is; user nobody was there first.
    fs::create_directories(work / "data");
    ::chmod(work.Path().c_str(), 0755);
    ::chmod((work / "data").c_str(), 01777);
    ASSERT_EQ(AsNobody("mkdir -p " + Dest() + "/bin && echo planted > " + Dest() +
                       "/bin/run.sh && chmod 755 " + Dest() + "/bin/run.sh"),
              0);
    EXPECT_THROW(folder.Prepare(), EInstallationFolderError);
    EXPECT_EQ(testing::ReadFileBytes(Dest() + "/bin/run.sh"), "planted\n");

    // A link planted in place of our own folder.
    fs::remove_all(work / "data");
    fs::create_directories(work / "data");
    ::chmod((work / "data").c_str(), 01777);
    Installation(work / "outside", "precious");
    ASSERT_EQ(AsNobody("ln -s " + work / "outside" + " " + work / "data/ombrel"), 0);
    EXPECT_THROW(folder.Prepare(), EInstallationFolderError);
    EXPECT_EQ(Which(work / "outside"), "precious");
    EXPECT_FALSE(fs::exists(work / "outside/apps"));

    // A data folder that anyone may write to without the sticky bit.
    fs::remove_all(work / "data");
    fs::create_directories(work / "data");
    ::chmod((work / "data").c_str(), 0777);
    EXPECT_THROW(folder.Prepare(), EInstallationFolderError);
}

TEST_F(InstallationFolderTest, AStepThatFailsIsAnErrorThatNamesTheFolderAndTheReason) {
    Installation(Dest(), "old");
    folder.Prepare();
    // An immutable folder cannot be moved, not even by root.
    if (!SetImmutable(Previous(), true)) GTEST_SKIP() << "no immutable flag here";
    struct Guard {
        std::string path;
        ~Guard() { SetImmutable(path, false); }
    } guard{Previous()};
    std::string error;
    EXPECT_FALSE(folder.Commit(error));
    EXPECT_NE(error.find(Previous()), std::string::npos) << error;
    EXPECT_NE(error.find("Operation not permitted"), std::string::npos) << error;
}

TEST_F(InstallationFolderTest, TwoInstallersNeverWorkOnOneFolderAtOnce) {
    folder.Prepare();
    TInstallationFolder second(work / "data", Dest());
    try {
        second.Prepare();
        ADD_FAILURE() << "a second installer was let in";
    } catch (const EInstallationFolderError& e) {
        EXPECT_NE(std::string(e.what()).find("in use by another installer"), std::string::npos)
            << e.what();
    }
    std::string error;
    EXPECT_TRUE(folder.Commit(error)) << error;
    EXPECT_NO_THROW(second.Prepare());
}

}  // namespace
}  // namespace ombrel
