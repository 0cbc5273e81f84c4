// The installation run of TApp against the reference server on 127.0.0.1, with recording
// window callbacks and the plain event loop as UI thread.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "app/norva_go_crypt.h"
#include "ombrel/build_config.h"
#include "platform/ui_dispatcher.h"
#include "tests/support/test_support.h"
#include "tests/tools/ombrel-server/server_test_support.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::SetImmutable;
using testing::TempFolder;

class AppRunTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(work / "data/ombrel/apps");
        fs::create_directories(work / "cache");

        const std::string program = work.Write("release/bin/run.sh", "#!/bin/sh\nexit 0\n");
        ::chmod(program.c_str(), 0755);
        work.Write("release/data/readme.txt", "installed");
        server::testing::PublishOk(work / "store", "Demo", "1.0.0",
                                   {server::testing::FolderPackage("main", work / "release")});
        service = std::make_unique<server::testing::TRunningServer>(work / "store", "", true);
    }

    // A controller whose callbacks record what the window would be shown, as lines
    // "progress|caption|percent", "error|msg|sender" and "done|path|admin".
    std::unique_ptr<TApp> MakeApp(const std::string& instructionJson,
                                  const std::string& host = "") {
        auto record = [this](const std::string& line) {
            calls.push_back(line);
            onUiThread = onUiThread && ui->IsUiThread();
        };
        auto app = std::make_unique<TApp>(
            host.empty() ? service->BaseUrl() : host, "",
            [this, record](const std::string& caption, int32_t percent) {
                record("progress|" + caption + "|" + std::to_string(percent));
                if (progressFailure) throw std::runtime_error(*progressFailure);
            },
            [record](const std::string& path, bool admin) {
                record("done|" + path + "|" + (admin ? "admin" : "user"));
            },
            [record](const std::string& msg, const std::string& sender) {
                record("error|" + msg + "|" + sender);
            },
            nullptr,
            [instructionJson](std::string& bytes, std::string& error) {
                return EncryptEnvelopeV2(ombrel::build::kInstructionPassword, instructionJson,
                                         bytes, error);
            });
        app->SetUiDispatcher(ui);
        EXPECT_TRUE(app->Prepare());
        return app;
    }

    // Starts the run and lets the UI thread deliver its steps until the run is over.
    void Run(TApp& app) {
        app.Execute();
        ASSERT_TRUE(ui->RunUntil([&app] { return !app.IsRunning(); })) << "the run did not finish";
    }

    std::vector<std::string> Lines(const std::string& kind) const {
        std::vector<std::string> result;
        for (const auto& call : calls) {
            if (call.rfind(kind + "|", 0) == 0) result.push_back(call.substr(kind.size() + 1));
        }
        return result;
    }

    std::string Destination(const std::string& app = "Demo") const {
        return work / ("data/ombrel/apps/" + app);
    }

    TempFolder work;
    ScopedEnv data{"XDG_DATA_HOME", work / "data"};
    ScopedEnv cache{"XDG_CACHE_HOME", work / "cache"};
    std::unique_ptr<server::testing::TRunningServer> service;
    std::shared_ptr<TEventLoopDispatcher> ui = std::make_shared<TEventLoopDispatcher>();
    std::vector<std::string> calls;
    bool onUiThread = true;
    std::optional<std::string> progressFailure;
};

TEST_F(AppRunTest, ASuccessfulRunHandsTheProgramToTheDoneCallbackExactlyOnce) {
    for (bool admin : {false, true}) {
        SCOPED_TRACE(admin ? "as administrator" : "as user");
        calls.clear();
        auto app = MakeApp(std::string(R"({"title":"Demo","app":"Demo","startApp":"bin/run.sh",)") +
                           R"("asAdmin":)" + (admin ? "true" : "false") + "}");
        Run(*app);
        EXPECT_EQ(Lines("done"), (std::vector<std::string>{Destination() + "/bin/run.sh|" +
                                                           (admin ? "admin" : "user")}));
        EXPECT_TRUE(Lines("error").empty()) << ::testing::PrintToString(calls);
        EXPECT_FALSE(Lines("progress").empty());
        EXPECT_EQ(calls.back().rfind("done|", 0), 0u) << "done comes last";
        EXPECT_TRUE(onUiThread);
        EXPECT_EQ(work.Read("data/ombrel/apps/Demo/data/readme.txt"), "installed");
    }
}

TEST_F(AppRunTest, AMissingProgramIsReportedWithTheJoinedPath) {
    struct Case {
        const char* startApp;
        std::string path;
    };
    const Case cases[] = {
        {"bin/missing", Destination() + "/bin/missing"},
        {"data", Destination() + "/data"},  // a folder is no program
        {"", Destination()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.startApp);
        calls.clear();
        auto app = MakeApp(std::string(R"({"app":"Demo","startApp":")") + c.startApp + "\"}");
        Run(*app);
        EXPECT_EQ(Lines("error"),
                  (std::vector<std::string>{"Die Anwendung \"" + c.path +
                                            "\" wurde nicht gefunden.|TApp.Execute"}));
        EXPECT_TRUE(Lines("done").empty());
    }
}

TEST_F(AppRunTest, EngineErrorsAreShownAndTheMissingProgramFollows) {
    auto app = MakeApp(R"({"app":"Unknown","startApp":"bin/run.sh"})");
    Run(*app);
    const auto errors = Lines("error");
    ASSERT_GE(errors.size(), 2u) << ::testing::PrintToString(calls);
    EXPECT_EQ(errors.back(), "Die Anwendung \"" + Destination("Unknown") +
                                 "/bin/run.sh\" wurde nicht gefunden."
                                 "|TApp.Execute");
    EXPECT_EQ(errors.front().find("|TApp.Execute"), std::string::npos)
        << "the first errors are the engine's own: " << errors.front();
    EXPECT_TRUE(Lines("done").empty());
}

TEST_F(AppRunTest, AnyErrorDuringTheRunStartsNothing) {
    // Two releases whose second package cannot be installed, while the first one brings the
    // program: "Copy" installs a single file where the first package made a folder, "Gone"
    // has lost the file of its second package on the server.
    const std::string program = work.Write("broken/bin/run.sh", "#!/bin/sh\nexit 0\n");
    ::chmod(program.c_str(), 0755);
    work.Write("broken/data/x/y.txt", "y");
    work.Write("tool.bin", "tool");
    using server::testing::FilePackage;
    using server::testing::FolderPackage;
    server::testing::PublishOk(work / "store", "Copy", "1.0",
                               {FolderPackage("cmain", work / "broken"),
                                FilePackage("ctool", work / "tool.bin", "data/x")});
    server::testing::PublishOk(work / "store", "Gone", "1.0",
                               {FolderPackage("gmain", work / "broken"),
                                FilePackage("gtool", work / "tool.bin", "bin/tool.bin")});
    for (const auto& entry : fs::directory_iterator(work / "store/files")) {
        if (entry.path().filename().string().find("-gtool-") != std::string::npos) {
            fs::remove(entry.path());
        }
    }
    for (const char* name : {"Copy", "Gone"}) {
        SCOPED_TRACE(name);
        calls.clear();
        auto app = MakeApp(std::string(R"({"app":")") + name + R"(","startApp":"bin/run.sh"})");
        Run(*app);
        EXPECT_TRUE(Lines("done").empty()) << ::testing::PrintToString(calls);
        EXPECT_FALSE(Lines("error").empty());
    }
}

TEST_F(AppRunTest, AFailureWhileBuildingTheRunIsReportedOnceAndStartsNothing) {
    const std::string longName(240, 'x');
    fs::create_directories(Destination(longName));  // too long a path to be deleted
    struct Case {
        std::string app;
        bool withDispatcher;
    };
    const Case cases[] = {
        {"bad|name", true},
        {longName, true},
        {"Demo", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.app.substr(0, 20));
        calls.clear();
        auto app = MakeApp(R"({"app":")" + c.app + R"(","startApp":"bin/run.sh"})");
        if (!c.withDispatcher) app->SetUiDispatcher(nullptr);
        app->Execute();
        EXPECT_FALSE(app->IsRunning());
        EXPECT_EQ(ui->RunPending(), 0) << "no step may follow";
        ASSERT_EQ(calls.size(), 1u) << ::testing::PrintToString(calls);
        const std::string prefix =
            "error|Konnte App " + c.app + " nicht Herunterladen/Installieren: ";
        EXPECT_EQ(calls[0].rfind(prefix, 0), 0u) << calls[0];
        EXPECT_TRUE(calls[0].ends_with("|TApp.Execute")) << calls[0];
        EXPECT_GT(calls[0].size(), prefix.size() + std::string("|TApp.Execute").size())
            << "the exception's message is part of the text";
    }
    EXPECT_TRUE(fs::exists(Destination(longName)));
}

TEST_F(AppRunTest, AnOldInstallationWithReadOnlyFilesIsEmptiedButLinksOutsideAreNotFollowed) {
    const std::string dest = Destination();
    std::vector<std::string> locked;
    for (const char* name : {"old.exe", "sub/old.dll"}) {
        const std::string path = work.Write("data/ombrel/apps/Demo/" + std::string(name), "old");
        ::chmod(path.c_str(), 0444);
        if (SetImmutable(path, true)) locked.push_back(path);
    }
    const std::string precious = work.Write("outside/precious.txt", "keep me");
    fs::create_directory_symlink(work / "outside", dest + "/link-out");
    fs::create_symlink(precious, dest + "/sub/file-link");

    auto app = MakeApp(R"({"app":"Demo","startApp":"bin/run.sh"})");
    Run(*app);
    for (const auto& path : locked) SetImmutable(path, false);  // only if the run failed to

    EXPECT_EQ(Lines("done").size(), 1u) << ::testing::PrintToString(calls);
    EXPECT_TRUE(Lines("error").empty()) << ::testing::PrintToString(calls);
    for (const char* gone : {"old.exe", "sub/old.dll", "link-out", "sub/file-link"}) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(dest + "/" + gone))) << gone;
    }
    EXPECT_EQ(work.Read("outside/precious.txt"), "keep me");
    EXPECT_TRUE(fs::exists(dest + "/bin/run.sh"));
}

TEST_F(AppRunTest, AFolderThatIsNotTheRunsOwnIsNeverEmptied) {
    // An empty name makes the folder of installations itself the destination, an absolute one any
    // folder at all; neither belongs to the run, so what is in them stays.
    const std::string elsewhere = work / "elsewhere";
    const std::string keptInTemp = work.Write("data/ombrel/apps/other-program/data.txt", "keep");
    const std::string keptElsewhere = work.Write("elsewhere/data.txt", "keep");
    struct Case {
        std::string app;
        std::string missing;  // the program path of the "wurde nicht gefunden" report
    };
    const Case cases[] = {
        {"", work / "data/ombrel/apps/bin/run.sh"},
        {elsewhere, elsewhere + "/bin/run.sh"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.app);
        calls.clear();
        auto app = MakeApp(R"({"app":")" + c.app + R"(","startApp":"bin/run.sh"})");
        Run(*app);
        const auto errors = Lines("error");
        ASSERT_GE(errors.size(), 2u) << ::testing::PrintToString(calls);
        EXPECT_EQ(errors.front().find("|TApp.Execute"), std::string::npos)
            << "the engine reports first: " << errors.front();
        EXPECT_EQ(errors.back(),
                  "Die Anwendung \"" + c.missing + "\" wurde nicht gefunden.|TApp.Execute");
        EXPECT_TRUE(Lines("done").empty());
        EXPECT_EQ(work.Read("data/ombrel/apps/other-program/data.txt"), "keep");
        EXPECT_EQ(work.Read("elsewhere/data.txt"), "keep");
    }
    EXPECT_TRUE(fs::exists(keptInTemp));
    EXPECT_TRUE(fs::exists(keptElsewhere));
}

TEST_F(AppRunTest, ExceptionsThatWouldEndTheRunSilentlyAreShownAsErrorLines) {
    struct Case {
        const char* name;
        std::string startApp;
        std::optional<std::string> progressFailure;
        std::string expectedError;
    };
    const Case cases[] = {
        // Raised by the window's progress callback, it travels through the engine.
        {"the engine raised", "bin/run.sh", "window gone", "window gone|TApp.Execute"},
        // Path joining refuses the program's name in the completion step.
        {"StartApp refused", "bin/run|x", std::nullopt, "Illegal characters in path.|TApp.Execute"},
        // An exception without a message still ends the run with a line of its own.
        {"no message", "bin/run.sh", "",
         "Die Installation wurde wegen eines unbekannten Fehlers abgebrochen.|TApp.Execute"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        calls.clear();
        progressFailure = c.progressFailure;
        auto app = MakeApp(R"({"app":"Demo","startApp":")" + c.startApp + "\"}");
        Run(*app);
        progressFailure.reset();
        const auto errors = Lines("error");
        ASSERT_EQ(errors.size(), 1u) << ::testing::PrintToString(calls);
        EXPECT_EQ(errors[0], c.expectedError);
        EXPECT_TRUE(Lines("done").empty());
    }
}

TEST_F(AppRunTest, AFailedRunBringsThePreviousInstallationBack) {
    struct Case {
        const char* name;
        std::string app;
        std::string host;
    };
    const Case cases[] = {
        {"server unreachable", "Demo", "http://127.0.0.1:1"},
        {"no such application", "Unknown", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        calls.clear();
        work.Write("data/ombrel/apps/" + c.app + "/bin/run.sh", "previous");
        auto app = MakeApp(R"({"app":")" + c.app + R"(","startApp":"bin/run.sh"})", c.host);
        Run(*app);
        EXPECT_FALSE(Lines("error").empty());
        EXPECT_TRUE(Lines("done").empty());
        EXPECT_EQ(work.Read("data/ombrel/apps/" + c.app + "/bin/run.sh"), "previous");
        EXPECT_EQ(std::distance(fs::directory_iterator(work / "data/ombrel/apps"),
                                fs::directory_iterator()),
                  1)
            << "nothing beside the installation";
        fs::remove_all(Destination(c.app));
    }
}

TEST_F(AppRunTest, AFolderPlantedByAnotherUserIsRefusedAndNothingInItStarts) {
    // The data folder is shared as /tmp is, and user nobody was there first.
    ScopedEnv shared{"XDG_DATA_HOME", work / "shared"};
    fs::create_directories(work / "shared");
    ::chmod(work.Path().c_str(), 0755);
    ::chmod((work / "shared").c_str(), 01777);
    const std::string planted = work / "shared/ombrel/apps/Demo/bin/run.sh";
    ASSERT_EQ(std::system(("setpriv --reuid=65534 --regid=65534 --clear-groups sh -c 'mkdir -p " +
                           work / "shared/ombrel/apps/Demo/bin" + " && echo planted > " +
                           planted + " && chmod 755 " + planted + "'")
                              .c_str()),
              0);
    auto app = MakeApp(R"({"app":"Demo","startApp":"bin/run.sh","asAdmin":true})");
    app->Execute();
    EXPECT_FALSE(app->IsRunning());
    EXPECT_EQ(ui->RunPending(), 0) << "no run may start";
    ASSERT_EQ(calls.size(), 1u) << ::testing::PrintToString(calls);
    EXPECT_EQ(calls[0].rfind("error|Konnte App Demo nicht Herunterladen/Installieren: folder \"" +
                                 work / "shared/ombrel\" belongs to another user",
                             0),
              0u)
        << calls[0];
    EXPECT_EQ(work.Read("shared/ombrel/apps/Demo/bin/run.sh"), "planted\n");
}

}  // namespace
}  // namespace ombrel
