#include "app/app.h"

#include <gtest/gtest.h>

#include "ombrel/build_config.h"
#include "tests/app/app_test_support.h"

namespace ombrel {
namespace {

using testing::ExternalCrypto;
using testing::ScopedRecordingHandler;
using testing::TempFolder;

const std::string kPrefix = "Anweisungen konnten nicht geladen werden: ";
const std::string kSender = "TApp.LoadInstruction";

// Records the callbacks of one controller, in order.
struct Callbacks {
    std::vector<std::string> events;

    TApp::TOnProgress Progress() {
        return [this](const std::string& c, int32_t p) { events.push_back("progress|" + c + "|" + std::to_string(p)); };
    }
    TApp::TOnDone Done() {
        return [this](const std::string& path, bool admin) { events.push_back("done|" + path + "|" + (admin ? "admin" : "user")); };
    }
    TApp::TOnError Error() {
        return [this](const std::string& m, const std::string& s) { events.push_back("error|" + m + "|" + s); };
    }
    TApp::TOnAssignTitle Title() {
        return [this](const std::string& t) { events.push_back("title|" + t); };
    }
};

// Exposes the raising methods that the installation run uses.
class TestApp : public TApp {
public:
    using TApp::TApp;
    using TApp::DoDone;
    using TApp::DoError;
    using TApp::DoProgress;
};

class AppTest : public ::testing::Test {
protected:
    // A version-2 envelope made by openssl under the built-in password.
    std::string EnvelopeV2(const std::string& text) {
        size_t n = 16 - text.size() % 16;
        return openssl.EnvelopeV2(build::kInstructionPassword, "fixed-iv-16bytes",
                                  text + std::string(n, static_cast<char>(n)));
    }
    std::string EnvelopeV1(const std::string& ansiText) {
        size_t n = (16 - (1 + ansiText.size()) % 16) % 16;
        return openssl.EnvelopeV1(build::kInstructionPassword,
                                  static_cast<char>(n) + ansiText + std::string(n, '\0'));
    }

    std::unique_ptr<TestApp> MakeApp(std::string resource, bool found = true) {
        return std::make_unique<TestApp>(
            "https://host.example", "beta", callbacks.Progress(), callbacks.Done(),
            callbacks.Error(), callbacks.Title(),
            [resource, found](std::string& bytes, std::string& error) {
                if (!found) {
                    error = "Ressource instruction nicht gefunden";
                    return false;
                }
                bytes = resource;
                return true;
            });
    }

    TempFolder folder;
    ExternalCrypto openssl{folder};
    ScopedRecordingHandler handler;
    Callbacks callbacks;
};

TEST_F(AppTest, PrepareLoadsTheInstructionAndAssignsTheTitleOnce) {
    const std::string json =
        R"({"title":"Demo Setup","app":"demo","startApp":"bin/demo","asAdmin":true})";
    const std::string resources[] = {
        EnvelopeV2(json),
        "\xEF\xBB\xBF" + EnvelopeV2(json),               // UTF-8 mark
        "\r\n  " + EnvelopeV2(json) + "\r\n\r\n",        // blank lines around it
        EnvelopeV1(json),
    };
    for (const auto& resource : resources) {
        callbacks.events.clear();
        auto app = MakeApp(resource);
        ASSERT_TRUE(app->Prepare()) << resource;
        EXPECT_EQ(callbacks.events, std::vector<std::string>{"title|Demo Setup"});
        ASSERT_NE(app->Instruction(), nullptr);
        EXPECT_EQ(app->Instruction()->App, "demo");
        EXPECT_EQ(app->Instruction()->StartApp, "bin/demo");
        EXPECT_TRUE(app->Instruction()->RunAsAdmin);
        EXPECT_EQ(app->HostName(), "https://host.example");
        EXPECT_EQ(app->UpdateChannel(), "beta");
    }
}

TEST_F(AppTest, AnEmptyTitleIsStillAssigned) {
    auto app = MakeApp(EnvelopeV2(R"({"app":"demo"})"));
    ASSERT_TRUE(app->Prepare());
    EXPECT_EQ(callbacks.events, std::vector<std::string>{"title|"});
    EXPECT_FALSE(app->Instruction()->RunAsAdmin);
    EXPECT_EQ(app->Instruction()->StartApp, "");
}

TEST_F(AppTest, LoadFailuresReachTheErrorCallbackOnly) {
    struct Case {
        const char* name;
        std::string resource;
        bool found;
        std::string message;  // after the prefix; empty: only check that it failed
    };
    const Case cases[] = {
        {"no resource", "", false, "Ressource instruction nicht gefunden"},
        {"empty resource", "", true, "Keine Anweisungen gefunden."},
        {"only blanks and line breaks", " \r\n\t\n ", true, "Keine Anweisungen gefunden."},
        {"array", EnvelopeV2("[1,2]"), true, "Der Eingabewert ist kein gültiges Objekt"},
        {"not json", EnvelopeV2("title=x"), true, "Der Eingabewert ist kein gültiges Objekt"},
        {"wrong member type", EnvelopeV2(R"({"asAdmin":"yes"})"), true,
         "Der Wert von \"asAdmin\" kann nicht in einen Wahrheitswert umgewandelt werden"},
        {"json null", EnvelopeV2("null"), true,
         "Die Anweisungen konnten nicht entschlüsselt werden oder sind leer."},
        {"decrypts to nothing", EnvelopeV2(""), true,
         "Die Anweisungen konnten nicht entschlüsselt werden oder sind leer."},
        {"not base64", "this is not an envelope", true,
         "Die Anweisungen konnten nicht entschlüsselt werden oder sind leer."},
        {"unsupported version", "$07$abc$def", true,
         "Die Anweisungen konnten nicht entschlüsselt werden oder sind leer."},
        {"another password", openssl.EnvelopeV2("other-password-1234!", "fixed-iv-16bytes",
                                                std::string(R"({"app":"demo"})") + std::string(2, '\x02')),
         true, ""},
    };
    for (const auto& c : cases) {
        callbacks.events.clear();
        auto app = MakeApp(c.resource, c.found);
        EXPECT_FALSE(app->Prepare()) << c.name;
        EXPECT_EQ(app->Instruction(), nullptr) << c.name;
        ASSERT_EQ(callbacks.events.size(), 1u) << c.name;
        const std::string& event = callbacks.events[0];
        if (!c.message.empty()) {
            EXPECT_EQ(event, "error|" + kPrefix + c.message + "|" + kSender) << c.name;
        } else {
            EXPECT_EQ(event.rfind("error|" + kPrefix, 0), 0u) << c.name << ": " << event;
            EXPECT_EQ(event.substr(event.size() - kSender.size()), kSender) << c.name;
        }
    }
}

TEST_F(AppTest, EmptyCallbacksAreNotCalled) {
    TestApp app("", "", nullptr, nullptr, nullptr, nullptr,
                [](std::string&, std::string& error) {
                    error = "Ressource instruction nicht gefunden";
                    return false;
                });
    EXPECT_FALSE(app.Prepare());
    app.DoProgress("x", 1);
    app.DoDone("/x");
    app.DoError("x", "y");
}

TEST_F(AppTest, RaisingMethodsPassTheirArgumentsAndDoneAddsRunAsAdmin) {
    auto app = MakeApp(EnvelopeV2(R"({"title":"T","asAdmin":true})"));
    ASSERT_TRUE(app->Prepare());
    app->DoProgress("Start", 0);
    app->DoError("failed", "TOmbrel");
    app->DoDone("/tmp/demo/bin/demo");
    EXPECT_EQ(callbacks.events,
              (std::vector<std::string>{"title|T", "progress|Start|0", "error|failed|TOmbrel",
                                        "done|/tmp/demo/bin/demo|admin"}));
}

}  // namespace
}  // namespace ombrel
