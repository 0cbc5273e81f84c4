#include "platform/resource_trailer.h"

#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace ombrel {
namespace {

using testing::ReadFileBytes;
using testing::TempFolder;

std::string Footer(uint64_t length) { return MakeTrailerFooter(length); }

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ResourceTrailer, FooterLayouts) {
    struct Case {
        const char* name;
        std::string footer;
        uint64_t fileSize;
        TTrailerState state;
        uint64_t programSize;
        uint64_t resourceSize;
    };
    const Case cases[] = {
        {"found", Footer(10), 100, TTrailerState::Found, 74, 10},
        {"empty resource", Footer(0), 16, TTrailerState::Found, 0, 0},
        {"resource fills the file", Footer(84), 100, TTrailerState::Found, 0, 84},
        {"length one too large", Footer(85), 100, TTrailerState::Damaged, 100, 85},
        {"huge length", Footer(~0ull), 100, TTrailerState::Damaged, 100, ~0ull},
        {"no magic", std::string(16, 'x'), 100, TTrailerState::Missing, 100, 0},
        {"magic in other case", std::string(8, '\0') + "ombrins1", 100, TTrailerState::Missing, 100, 0},
        {"too short", "", 3, TTrailerState::Missing, 3, 0},
    };
    for (const auto& c : cases) {
        TTrailerLayout layout = ParseTrailerFooter(c.footer, c.fileSize);
        EXPECT_EQ(layout.state, c.state) << c.name;
        EXPECT_EQ(layout.programSize, c.programSize) << c.name;
        EXPECT_EQ(layout.resourceSize, c.resourceSize) << c.name;
    }
    EXPECT_EQ(Footer(0x0102030405060708ull),
              std::string("\x08\x07\x06\x05\x04\x03\x02\x01OMBRINS1", 16));
}

class TrailerFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        program = folder.Write("program", std::string("\x7F" "ELF program bytes\0\x01", 20));
        ::chmod(program.c_str(), 0750);
    }

    std::string Read(const std::string& file, const std::string& name = "instruction") {
        std::string bytes, error;
        if (!ReadResourceTrailer(file, name, bytes, error)) return "error: " + error;
        return bytes;
    }

    TempFolder folder;
    std::string program;
};

TEST_F(TrailerFileTest, StampedCopyCarriesTheBytesAndKeepsTheMode) {
    std::string out = folder / "stamped";
    std::string error;
    ASSERT_TRUE(WriteResourceTrailer(program, out, "$02$abc", error)) << error;
    EXPECT_EQ(ReadFileBytes(out), ReadFileBytes(program) + "$02$abc" + Footer(7));
    EXPECT_EQ(ModeOf(out), 0750u);
    EXPECT_EQ(Read(out), "$02$abc");
    EXPECT_EQ(Read(out, "INSTRUCTION"), "$02$abc");
    EXPECT_EQ(Read(program), "error: Ressource instruction nicht gefunden");  // the input stays
    EXPECT_EQ(FolderEntries(folder.Path()), (std::vector<std::string>{"program", "stamped"}));
}

TEST_F(TrailerFileTest, RestampingReplacesTheTrailer) {
    std::string once = folder / "once", twice = folder / "twice";
    std::string error;
    ASSERT_TRUE(WriteResourceTrailer(program, once, std::string(300, 'a'), error)) << error;
    ASSERT_TRUE(WriteResourceTrailer(once, twice, "b", error)) << error;
    EXPECT_EQ(ReadFileBytes(twice), ReadFileBytes(program) + "b" + Footer(1));
    // In place, and with an empty resource.
    ASSERT_TRUE(WriteResourceTrailer(twice, twice, "", error)) << error;
    EXPECT_EQ(ReadFileBytes(twice), ReadFileBytes(program) + Footer(0));
    EXPECT_EQ(Read(twice), "");
}

TEST_F(TrailerFileTest, ReadFailuresSayWhatIsWrong) {
    std::string damaged = folder.Write("damaged", "short" + Footer(1000));
    std::string plain = folder.Write("plain", "no trailer here, only program bytes");
    std::string empty = folder.Write("empty", "");
    std::string stamped = folder / "stamped";
    std::string error;
    ASSERT_TRUE(WriteResourceTrailer(program, stamped, "x", error));

    EXPECT_EQ(Read(plain), "error: Ressource instruction nicht gefunden");
    EXPECT_EQ(Read(empty), "error: Ressource instruction nicht gefunden");
    EXPECT_EQ(Read(stamped, "other"), "error: Ressource other nicht gefunden");
    EXPECT_EQ(Read(damaged),
              "error: Ressource instruction ist beschädigt: angegebene Länge 1000, aber nur 5 "
              "Bytes davor");
    std::string missing = Read(folder / "absent");
    EXPECT_EQ(missing.rfind("error: Ressource instruction konnte nicht gelesen werden: ", 0), 0u)
        << missing;
    EXPECT_NE(missing.find("No such file or directory"), std::string::npos) << missing;
    std::string directory = Read(folder.Path());
    EXPECT_EQ(directory.rfind("error: Ressource instruction konnte nicht gelesen werden: ", 0), 0u)
        << directory;
}

TEST_F(TrailerFileTest, FailedStampLeavesNoOutputAndNoTemporaryFile) {
    std::string existing = folder.Write("existing", "keep me");
    std::string damaged = folder.Write("damaged", "short" + Footer(1000));
    std::string error;
    EXPECT_FALSE(WriteResourceTrailer(folder / "absent", folder / "out", "x", error));
    EXPECT_NE(error.find("absent"), std::string::npos) << error;
    EXPECT_FALSE(WriteResourceTrailer(damaged, folder / "out", "x", error));
    EXPECT_NE(error.find("damaged"), std::string::npos) << error;
    EXPECT_FALSE(WriteResourceTrailer(damaged, existing, "x", error));
    EXPECT_FALSE(WriteResourceTrailer(program, folder / "no-folder/out", "x", error));
    EXPECT_EQ(ReadFileBytes(existing), "keep me");
    std::filesystem::create_directory(folder / "target-is-dir");
    EXPECT_FALSE(WriteResourceTrailer(program, folder / "target-is-dir", "x", error));
    for (const auto& name : FolderEntries(folder.Path())) {
        EXPECT_EQ(name.find(".stamp-"), std::string::npos) << name;
    }
}

}  // namespace
}  // namespace ombrel
