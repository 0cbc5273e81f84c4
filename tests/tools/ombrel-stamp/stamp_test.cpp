// ombrel-stamp against real built executables: the stamped copies still run, carry the
// instruction that the real trailer reader and decryption give back, and the failures of a
// missing or damaged trailer reach the controller with their texts.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include <gtest/gtest.h>

#include "app/app.h"
#include "ombrel/build_config.h"
#include "platform/resource_trailer.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

using testing::BinDir;
using testing::ReadFileBytes;
using testing::TempFolder;
using testing::WriteFileBytes;

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

std::string Quote(const std::string& argument) {
    std::string quoted = "'";
    for (char c : argument) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

// Runs a program with arguments in `cwd`, capturing both output streams.
RunResult RunProgram(const TempFolder& folder, const std::string& program,
              const std::vector<std::string>& arguments, const std::string& cwd = "") {
    std::string command = "cd " + Quote(cwd.empty() ? folder.Path() : cwd) + " && " + Quote(program);
    for (const auto& a : arguments) command += " " + Quote(a);
    command += " >" + Quote(folder / ".run.out") + " 2>" + Quote(folder / ".run.err");
    int raw = std::system(command.c_str());
    RunResult result;
    result.status = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
    result.out = ReadFileBytes(folder / ".run.out");
    result.err = ReadFileBytes(folder / ".run.err");
    return result;
}

std::string ProbeProgram() {
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "instruction_probe")
        .string();
}

// Everything the controller's callbacks received for the file.
std::vector<std::string> PrepareFrom(const std::string& file) {
    std::vector<std::string> events;
    TApp app(
        "https://host.example", "", nullptr, nullptr,
        [&](const std::string& m, const std::string& s) { events.push_back("error|" + m + "|" + s); },
        [&](const std::string& t) { events.push_back("title|" + t); },
        [file](std::string& bytes, std::string& error) {
            return ReadResourceTrailer(file, "instruction", bytes, error);
        });
    events.push_back(app.Prepare() ? "prepare|true" : "prepare|false");
    return events;
}

// A JSON string literal of `text` (quotes and backslashes escaped).
std::string JsonString(const std::string& text) {
    std::string json = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') json += '\\';
        json += c;
    }
    return json + "\"";
}

const std::string kLoadError = "error|Anweisungen konnten nicht geladen werden: ";

class StampTest : public ::testing::Test {
protected:
    void SetUp() override {
        stamp = BinDir() + "/ombrel-stamp";
        ASSERT_TRUE(std::filesystem::exists(stamp)) << stamp;
        // A pristine copy of a real executable to stamp.
        original = folder / "original";
        std::filesystem::copy_file(stamp, original);
        ::chmod(original.c_str(), 0755);
    }

    RunResult Stamp(const std::vector<std::string>& arguments) { return RunProgram(folder, stamp, arguments); }

    RunResult StampFields(const std::string& out, const std::string& title,
                          std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments = {"--installer", original, "--out", out, "--title",
                                              title, "--app", "demo", "--start-app", "bin/demo"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return Stamp(arguments);
    }

    std::string TrailerOf(const std::string& file) {
        std::string bytes, error;
        EXPECT_TRUE(ReadResourceTrailer(file, "instruction", bytes, error)) << error;
        return bytes;
    }

    TempFolder folder;
    std::string stamp;
    std::string original;
};

TEST_F(StampTest, StampedExecutableRunsAndShowsItsInstruction) {
    const std::string out = folder / "stamped";
    RunResult r = StampFields(out, "Grüße \"Setup\"", {"--as-admin"});
    ASSERT_EQ(r.status, 0) << r.err;

    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(TrailerOf(out).rfind("$02$", 0), 0u);  // envelope 2 by default

    // The stamped copy is still the working program: it runs and reads its own kind of file.
    RunResult shown = RunProgram(folder, out, {"--show", out});
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.out,
              "{\n    \"title\": \"Grüße \\\"Setup\\\"\",\n    \"app\": \"demo\",\n"
              "    \"startApp\": \"bin/demo\",\n    \"asAdmin\": true\n}\n");

    EXPECT_EQ(PrepareFrom(out),
              (std::vector<std::string>{"title|Grüße \"Setup\"", "prepare|true"}));
}

TEST_F(StampTest, EnvelopeOneCarriesTheSameInstruction) {
    const std::string out = folder / "v1";
    ASSERT_EQ(StampFields(out, "K\xC3\xA4se", {"--envelope", "1"}).status, 0);
    EXPECT_NE(TrailerOf(out)[0], '$');
    RunResult shown = RunProgram(folder, stamp, {"--show", out});
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("\"title\": \"K\xC3\xA4se\""), std::string::npos) << shown.out;
    EXPECT_EQ(PrepareFrom(out), (std::vector<std::string>{"title|K\xC3\xA4se", "prepare|true"}));

    // Text that Windows-1252 cannot hold is refused for envelope 1.
    RunResult refused = StampFields(folder / "v1-check", "\xE2\x9C\x93", {"--envelope", "1"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_FALSE(std::filesystem::exists(folder / "v1-check"));
}

TEST_F(StampTest, RestampingReplacesTheInstruction) {
    const std::string out = folder / "stamped";
    ASSERT_EQ(StampFields(out, "First title, quite a bit longer than the second").status, 0);
    const std::string once = ReadFileBytes(out);
    ASSERT_EQ(RunProgram(folder, stamp, {"--installer", out, "--out", out, "--title", "Second", "--app",
                                  "demo", "--start-app", "bin/demo"})
                  .status,
              0);
    const std::string twice = ReadFileBytes(out);
    const std::string pristine = ReadFileBytes(original);
    EXPECT_EQ(twice.substr(0, pristine.size()), pristine);
    EXPECT_EQ(twice.size(), pristine.size() + TrailerOf(out).size() + kTrailerFooterSize);
    EXPECT_EQ(PrepareFrom(out), (std::vector<std::string>{"title|Second", "prepare|true"}));
    EXPECT_EQ(RunProgram(folder, out, {"--help"}).status, 0);
}

TEST_F(StampTest, InstructionFileIsCheckedAndEmbeddedAsWritten) {
    const std::string json = "\xEF\xBB\xBF{\"title\":\"From file\",\"app\":\"demo\",\"extra\":[1]}";
    const std::string file = folder.Write("instruction.json", json);
    ASSERT_EQ(Stamp({"--installer", original, "--out", folder / "out", "--instruction", file}).status, 0);
    RunResult shown = RunProgram(folder, stamp, {"--show", folder / "out"});
    EXPECT_EQ(shown.out, json.substr(3) + "\n");

    const std::pair<std::string, std::string> bad[] = {
        {"[1,2]", "Der Eingabewert ist kein gültiges Objekt"},
        {"{\"asAdmin\":\"yes\"}", "asAdmin"},
        {"null", "holds no instruction"},
        {"", "holds no instruction"},
    };
    for (const auto& [content, message] : bad) {
        folder.Write("bad.json", content);
        RunResult r = Stamp({"--installer", original, "--out", folder / "bad-out", "--instruction",
                             folder / "bad.json"});
        EXPECT_EQ(r.status, 1) << content;
        EXPECT_NE(r.err.find(message), std::string::npos) << content << ": " << r.err;
        EXPECT_FALSE(std::filesystem::exists(folder / "bad-out")) << content;
    }
}

TEST_F(StampTest, RawResourcesReachTheControllerAsTheyAre) {
    // A good envelope written by the tool, copied out of its trailer, to be re-embedded raw.
    ASSERT_EQ(StampFields(folder / "good", "Raw").status, 0);
    const std::string envelope = TrailerOf(folder / "good");
    struct Case {
        const char* name;
        std::string raw;
        std::vector<std::string> expected;
    };
    const std::string nothing = "Die Anweisungen konnten nicht entschlüsselt werden oder sind leer.";
    const Case cases[] = {
        {"utf-8 mark and line breaks", "\xEF\xBB\xBF\r\n" + envelope + "\r\n", {"title|Raw", "prepare|true"}},
        {"empty", "", {kLoadError + "Keine Anweisungen gefunden.|TApp.LoadInstruction", "prepare|false"}},
        {"blank", " \r\n \n", {kLoadError + "Keine Anweisungen gefunden.|TApp.LoadInstruction", "prepare|false"}},
        {"foreign version", "$03$" + envelope.substr(4), {kLoadError + nothing + "|TApp.LoadInstruction", "prepare|false"}},
        {"damaged base64", envelope.substr(0, envelope.size() - 5) + "!!!!=", {kLoadError + nothing + "|TApp.LoadInstruction", "prepare|false"}},
    };
    for (const auto& c : cases) {
        const std::string raw = folder.Write("raw.bin", c.raw);
        const std::string out = folder / "raw-stamped";
        ASSERT_EQ(Stamp({"--installer", original, "--out", out, "--raw", raw}).status, 0) << c.name;
        EXPECT_EQ(TrailerOf(out), c.raw) << c.name;
        EXPECT_EQ(PrepareFrom(out), c.expected) << c.name;
    }
}

TEST_F(StampTest, MissingAndDamagedTrailers) {
    EXPECT_EQ(PrepareFrom(original),
              (std::vector<std::string>{
                  kLoadError + "Ressource instruction nicht gefunden|TApp.LoadInstruction",
                  "prepare|false"}));
    RunResult shown = RunProgram(folder, stamp, {"--show", original});
    EXPECT_EQ(shown.status, 1);
    EXPECT_NE(shown.err.find("Ressource instruction nicht gefunden"), std::string::npos) << shown.err;

    // The magic is there but the length claims more than the file holds.
    const std::string damaged = folder / "damaged";
    WriteFileBytes(damaged, ReadFileBytes(original) + "xyz" + MakeTrailerFooter(1ull << 40));
    std::vector<std::string> events = PrepareFrom(damaged);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].rfind(kLoadError + "Ressource instruction ist beschädigt", 0), 0u) << events[0];
    EXPECT_EQ(events[1], "prepare|false");
    EXPECT_EQ(RunProgram(folder, stamp, {"--show", damaged}).status, 1);
    // Stamping it is refused rather than guessing where the program ends.
    EXPECT_EQ(Stamp({"--installer", damaged, "--out", folder / "re", "--raw", damaged}).status, 1);
    EXPECT_FALSE(std::filesystem::exists(folder / "re"));
}

TEST_F(StampTest, BadArgumentsFailWithoutOutput) {
    const std::string out = folder / "out";
    const std::string raw = folder.Write("raw.bin", "x");
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--installer", original},
        {"--out", out, "--title", "T", "--app", "A", "--start-app", "S"},
        {"--installer", original, "--out", out},
        {"--installer", original, "--out", out, "--title", "T", "--app", "A"},
        {"--installer", original, "--out", out, "--title", "T", "--app", "A", "--start-app", "S", "--envelope", "3"},
        {"--installer", original, "--out", out, "--raw", raw, "--title", "T"},
        {"--installer", original, "--out", out, "--raw", raw, "--envelope", "1"},
        {"--installer", original, "--out", out, "--instruction", raw, "--app", "A"},
        {"--installer", folder / "absent", "--out", out, "--raw", raw},
        {"--installer", original, "--out", out, "--raw", folder / "absent"},
        {"--installer", original, "--out", out, "--instruction", folder / "absent"},
        {"--installer", original, "--out", folder / "no-such-folder/out", "--raw", raw},
        {"--show", original, "--out", out},
        {"--show", folder / "absent"},
        {"--installer", original, "--out", out, "--raw", raw, "unexpected"},
        {"--unknown"},
    };
    for (const auto& arguments : cases) {
        std::string shown = ::testing::PrintToString(arguments);
        RunResult r = Stamp(arguments);
        EXPECT_EQ(r.status, 1) << shown;
        EXPECT_FALSE(r.err.empty()) << shown;
        EXPECT_FALSE(std::filesystem::exists(out)) << shown;
    }
    // An existing output stays as it was when stamping fails.
    WriteFileBytes(out, "keep");
    EXPECT_EQ(Stamp({"--installer", folder / "absent", "--out", out, "--raw", raw}).status, 1);
    EXPECT_EQ(ReadFileBytes(out), "keep");
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
        EXPECT_EQ(entry.path().filename().string().find(".stamp-"), std::string::npos);
    }
}

TEST_F(StampTest, NamesThatLeaveTheInstallationFolderAreRefusedWithoutOutput) {
    const std::string out = folder / "out";
    struct Case {
        std::string app;
        std::string startApp;
        const char* message;
    };
    const Case cases[] = {
        {"", "bin/run", "\"app\" is empty"},
        {"  ", "bin/run", "\"app\" is empty"},
        {"/opt/demo", "bin/run", "\"app\" is an absolute path"},
        {"\\\\server\\demo", "bin/run", "\"app\" is an absolute path"},
        {"C:demo", "bin/run", "\"app\" is an absolute path"},
        {"..", "bin/run", "\"app\" climbs out"},
        {"demo/../../x", "bin/run", "\"app\" climbs out"},
        {"demo\\..\\..\\x", "bin/run", "\"app\" climbs out"},
        {"de|mo", "bin/run", "\"app\" holds a character"},
        {"demo", "/bin/sh", "\"startApp\" is an absolute path"},
        {"demo", "../../bin/sh", "\"startApp\" climbs out"},
        {"demo", "bin\\..\\..\\sh", "\"startApp\" climbs out"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.app + " " + c.startApp);
        RunResult fields = Stamp({"--installer", original, "--out", out, "--title", "T", "--app",
                                  c.app, "--start-app", c.startApp});
        EXPECT_EQ(fields.status, 1);
        EXPECT_NE(fields.err.find(c.message), std::string::npos) << fields.err;
        EXPECT_FALSE(std::filesystem::exists(out));

        const std::string json = "{\"app\":" + JsonString(c.app) + ",\"startApp\":" +
                                 JsonString(c.startApp) + "}";
        const std::string file = folder.Write("instruction.json", json);
        RunResult fromFile = Stamp({"--installer", original, "--out", out, "--instruction", file});
        EXPECT_EQ(fromFile.status, 1);
        EXPECT_NE(fromFile.err.find(c.message), std::string::npos) << fromFile.err;
        EXPECT_FALSE(std::filesystem::exists(out));
    }
    // Plain nested names are fine.
    EXPECT_EQ(Stamp({"--installer", original, "--out", out, "--title", "T", "--app",
                     "vendor/demo", "--start-app", "bin/./run"})
                  .status,
              0);
}

TEST_F(StampTest, ABuildWithTheProjectsDefaultSecretsSaysSoWhenStamping) {
    RunResult r = StampFields(folder / "out", "T");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("default instruction password") != std::string::npos,
              build::kUsesProjectPassword)
        << r.err;
    EXPECT_EQ(r.err.find("default API key") != std::string::npos, build::kUsesProjectApiKey)
        << r.err;
}

TEST_F(StampTest, StampedProgramLoadsItsOwnInstruction) {
    const std::string probe = ProbeProgram();
    ASSERT_TRUE(std::filesystem::exists(probe)) << probe;
    const std::string copy = folder / "probe";
    std::filesystem::copy_file(probe, copy);
    ::chmod(copy.c_str(), 0755);

    RunResult unstamped = RunProgram(folder, copy, {});
    EXPECT_EQ(unstamped.status, 0);
    EXPECT_EQ(unstamped.out,
              kLoadError + "Ressource instruction nicht gefunden|TApp.LoadInstruction\nprepare|false\n");

    const std::string stamped = folder / "probe-stamped";
    ASSERT_EQ(Stamp({"--installer", copy, "--out", stamped, "--title", "Own", "--app", "demo",
                     "--start-app", "run.sh", "--as-admin"})
                  .status,
              0);
    RunResult r = RunProgram(folder, stamped, {});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "title|Own\ninstruction|Own|demo|run.sh|admin\nprepare|true\n");
    EXPECT_FALSE(std::filesystem::exists(folder / "messages.log"));
}

TEST_F(StampTest, DecryptionFailureOfTheInstallerEndsUpInTheMessageLog) {
    const std::string probe = folder / "probe";
    std::filesystem::copy_file(ProbeProgram(), probe);
    ::chmod(probe.c_str(), 0755);
    // A well-formed version-2 envelope whose ciphertext is 20 bytes long.
    const std::string raw = folder.Write("raw.txt", "$02$MDEyMzQ1Njc4OUFCQ0RFRg==$MDEyMzQ1Njc4OTAxMjM0NTY3ODk=");
    const std::string stamped = folder / "probe-stamped";
    ASSERT_EQ(Stamp({"--installer", probe, "--out", stamped, "--raw", raw}).status, 0);

    const std::string work = folder / "work";
    std::filesystem::create_directory(work);
    WriteFileBytes(work + "/messages.log", "earlier line\r\n");
    RunResult r = RunProgram(folder, stamped, {}, work);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("prepare|false"), std::string::npos);
    EXPECT_EQ(r.err, "");  // a log line, no alert
    const std::string log = ReadFileBytes(work + "/messages.log");
    std::regex line(
        "earlier line\r\n"
        "\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d,LOG,,uNorvaGoCrypt\\.DecryptAES256PKCS7Padding,0,"
        "\"Exception: Invalid buffer size for decryption\"\r\n");
    EXPECT_TRUE(std::regex_match(log, line)) << log;
}

#ifdef OMBREL_PE_FIXTURE_DIR

// Windows installers: the instruction goes into the INSTRUCTION resource of a real linker's
// executable, which the tool recognises by its headers.
class WindowsStampTest : public StampTest {
protected:
    void SetUp() override {
        StampTest::SetUp();
        exe = folder / "setup.exe";
        std::filesystem::copy_file(std::string(OMBREL_PE_FIXTURE_DIR) + "/pe_probe.exe", exe);
    }

    RunResult Show(const std::string& file) { return Stamp({"--show", file}); }

    std::string exe;
};

const char kShownInstruction[] =
    "{\n    \"title\": \"Win Setup\",\n    \"app\": \"demo\",\n    \"startApp\": \"bin\\\\demo.exe\",\n"
    "    \"asAdmin\": false\n}\n";

TEST_F(WindowsStampTest, StampShowAndRestamp) {
    const std::string out = folder / "Demo-Setup.exe";
    RunResult r = Stamp({"--installer", exe, "--out", out, "--title", "Win Setup", "--app", "demo",
                         "--start-app", "bin\\demo.exe"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFileBytes(out).size(), ReadFileBytes(exe).size());
    RunResult shown = Show(out);
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.out, kShownInstruction);

    // Restamped in place, with envelope 1 this time.
    r = Stamp({"--installer", out, "--out", out, "--title", "Zweiter", "--app", "demo",
               "--start-app", "x.exe", "--as-admin", "--envelope", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    shown = Show(out);
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("\"title\": \"Zweiter\""), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("\"asAdmin\": true"), std::string::npos) << shown.out;

    // Never stamped: the slot is empty.
    shown = Show(exe);
    EXPECT_EQ(shown.status, 1);
    EXPECT_NE(shown.err.find("Keine Anweisungen gefunden."), std::string::npos) << shown.err;
}

TEST_F(WindowsStampTest, RefusesWhatDoesNotFitOrIsNoInstaller) {
    const std::string out = folder / "out.exe";
    const std::string big = folder.Write("big.txt", std::string(OMBREL_INSTRUCTION_CAPACITY_FOR_TESTS + 1, 'A'));
    const std::string text = folder.Write("readme.txt", "not a program");
    const std::string plain = folder / "plain.exe";
    std::filesystem::copy_file(std::string(OMBREL_PE_FIXTURE_DIR) + "/pe_plain.exe", plain);
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        std::string error;
    };
    const Case cases[] = {
        {"too large", {"--installer", exe, "--out", out, "--raw", big}, "does not fit into the INSTRUCTION resource"},
        {"not a PE file", {"--installer", text, "--out", out, "--raw", big}, "is neither a Linux (ELF) nor a Windows (PE) executable"},
        {"no slot", {"--installer", plain, "--out", out, "--title", "T", "--app", "A", "--start-app", "S"}, "no resource INSTRUCTION of type 10"},
        {"show a text file", {"--show", text}, "is neither a Linux (ELF) nor a Windows (PE) executable"},
        {"show without slot", {"--show", plain}, "no resource INSTRUCTION of type 10"},
    };
    for (const auto& c : cases) {
        RunResult r = Stamp(c.arguments);
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << c.name << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_FALSE(std::filesystem::exists(out)) << c.name;
    }
}

TEST_F(WindowsStampTest, StampedInstallerCanBeSignedAfterwards) {
    if (std::system("command -v osslsigncode >/dev/null && command -v openssl >/dev/null") != 0) {
        GTEST_SKIP() << "osslsigncode or openssl is not installed";
    }
    const std::string stamped = folder / "stamped.exe";
    const std::string signedFile = folder / "signed.exe";
    ASSERT_EQ(Stamp({"--installer", exe, "--out", stamped, "--title", "Win Setup", "--app", "demo",
                     "--start-app", "bin\\demo.exe"})
                  .status,
              0);
    RunResult key = RunProgram(folder, "openssl",
                               {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                                "-subj", "/CN=Ombrel Test Publisher", "-keyout", "key.pem", "-out",
                                "cert.pem"});
    ASSERT_EQ(key.status, 0) << key.err;
    RunResult sign = RunProgram(folder, "osslsigncode",
                                {"sign", "-certs", "cert.pem", "-key", "key.pem", "-n", "Win Setup",
                                 "-in", stamped, "-out", signedFile});
    ASSERT_EQ(sign.status, 0) << sign.out << sign.err;
    RunResult verify = RunProgram(folder, "osslsigncode",
                                  {"verify", "-CAfile", "cert.pem", "-in", signedFile});
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;
    EXPECT_NE(verify.out.find("Signature verification: ok"), std::string::npos) << verify.out;

    // The signed installer still shows its instruction, and is not stamped again.
    RunResult shown = Show(signedFile);
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_EQ(shown.out, kShownInstruction);
    RunResult again = Stamp({"--installer", signedFile, "--out", folder / "again.exe", "--title",
                             "T", "--app", "A", "--start-app", "S"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("stamp the unsigned installer, then sign the stamped copy"),
              std::string::npos)
        << again.err;
    EXPECT_FALSE(std::filesystem::exists(folder / "again.exe"));
}

#endif

}  // namespace
}  // namespace ombrel
