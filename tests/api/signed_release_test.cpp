// The signed release text: its exact form, and what reading it refuses.

#include "api/signed_release.h"

#include <gtest/gtest.h>

#include "platform/crypto.h"

namespace ombrel {
namespace {

const std::string kA = Sha256Hex("a");
const std::string kB = Sha256Hex("b");

TSignedRelease Sample() {
    TSignedRelease release;
    release.Project = "demo";
    release.Channel = "stable";
    release.Version = "1.10";
    release.Packages = {{3, "core", "1.10", 200, kA}, {12, "tool", "1.0.1", 0, kB}};
    return release;
}

TEST(SignedReleaseTest, TextHasTheDocumentedForm) {
    std::string text, error;
    ASSERT_TRUE(WriteReleaseText(Sample(), text, error)) << error;
    EXPECT_EQ(text, "ombrel-release 1\nproject demo\nchannel stable\nversion 1.10\n"
                    "package 3 core 1.10 200 " + kA + "\npackage 12 tool 1.0.1 0 " + kB + "\n");
    TSignedRelease read;
    ASSERT_TRUE(ReadReleaseText(text, read, error)) << error;
    std::string again;
    ASSERT_TRUE(WriteReleaseText(read, again, error));
    EXPECT_EQ(again, text);
    EXPECT_EQ(read.PackageById(12)->Version, "1.0.1");
    EXPECT_EQ(read.PackageById(7), nullptr);

    TSignedRelease blank = Sample();
    blank.Packages[0].Name = "co re";
    EXPECT_FALSE(WriteReleaseText(blank, text, error));
    blank = Sample();
    blank.Channel = "";
    EXPECT_FALSE(WriteReleaseText(blank, text, error));
}

TEST(SignedReleaseTest, ReadingRefusesAnyOtherLayout) {
    std::string good, error;
    ASSERT_TRUE(WriteReleaseText(Sample(), good, error));
    auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const std::string cases[] = {
        "",
        good.substr(0, good.size() - 1),        // no final line break
        replaced("\n", "\r\n"),                  // CR LF
        replaced("ombrel-release 1", "ombrel-release 2"),
        replaced("project demo", "project  demo"),
        replaced("channel stable\n", ""),        // a line missing
        replaced("package 3 ", "package 03 "),   // leading zero
        replaced("package 3 ", "package 0 "),    // no id 0
        replaced(" 200 ", " -200 "),
        replaced(kA, kA.substr(1)),
        replaced(" core ", " core extra "),
        good + "\n",                             // an empty line
    };
    for (const auto& text : cases) {
        TSignedRelease read;
        EXPECT_FALSE(ReadReleaseText(text, read, error)) << text;
        EXPECT_TRUE(read.Project.empty()) << text;
    }
}

TEST(SignedReleaseTest, VerificationNeedsBase64KeyAndSignature) {
    std::string text, error;
    ASSERT_TRUE(WriteReleaseText(Sample(), text, error));
    TSignedRelease read;
    EXPECT_FALSE(VerifyReleaseText(text, "c2ln", "not base64!", read, error));
    EXPECT_EQ(error, "the built-in release key is not Base64");
    EXPECT_FALSE(VerifyReleaseText(text, "%%%", "AAAA", read, error));
    EXPECT_EQ(error, "the signature is not Base64");
}

}  // namespace
}  // namespace ombrel
