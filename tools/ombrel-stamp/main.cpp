// ombrel-stamp: writes the encrypted installer instruction into a copy of the installer
// executable, or shows the instruction of a stamped file. A Linux installer (ELF) carries it as a
// trailer, a Windows installer (PE) in its RT_RCDATA resource "INSTRUCTION"; the kind is told by
// the file's headers.
//
//   ombrel-stamp --installer IN --out OUT --title T --app A --start-app S [--as-admin]
//                [--envelope 1|2]
//   ombrel-stamp --installer IN --out OUT --instruction FILE.json [--envelope 1|2]
//   ombrel-stamp --installer IN --out OUT --raw FILE
//   ombrel-stamp --show FILE
//
// The instruction is encrypted under the password built into this build (and so into the
// installers of the same build). Exit status 0 on success, 1 on any failure; a failed stamp
// never leaves an output file behind.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "app/instruction.h"
#include "app/norva_go_crypt.h"
#include "io/paths.h"
#include "io/text.h"
#include "messages/msg.h"
#include "ombrel/build_config.h"
#include "platform/executable_stamp.h"

namespace {

using namespace ombrel;

int Fail(const std::string& message) {
    std::fprintf(stderr, "ombrel-stamp: error: %s\n", message.c_str());
    return 1;
}

void Warn(const std::string& message) {
    std::fprintf(stderr, "ombrel-stamp: warning: %s\n", message.c_str());
}

// The names of a relative path, "/" and "\\" both separating.
std::vector<std::string> PathNames(const std::string& path) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of("/\\", start);
        if (end == std::string::npos) end = path.size();
        names.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

bool IsRooted(const std::string& path) {
    return !path.empty() && (path[0] == '/' || path[0] == '\\' || (path.size() > 1 && path[1] == ':'));
}

// The application names the installation folder below the user's folder of installations, and
// the program lies inside it: neither may be empty, rooted or climb out with "..".
bool CheckInstruction(const TInstruction& instruction, std::string& error) {
    auto check = [&](const char* key, const std::string& value) {
        if (std::string(key) == "startApp" && value.empty()) {
            Warn("\"startApp\" is empty: the installer will find no program to start");
        } else if (IsBlank(value)) {
            error = std::string("\"") + key + "\" is empty";
        } else if (IsRooted(value)) {
            error = std::string("\"") + key + "\" is an absolute path: " + value;
        } else if (HasInvalidPathChars(value)) {
            error = std::string("\"") + key + "\" holds a character that paths may not contain: " +
                    value;
        } else {
            for (const std::string& name : PathNames(value)) {
                if (name == "..") {
                    error = std::string("\"") + key + "\" climbs out of its folder with \"..\": " +
                            value;
                }
            }
        }
        return error.empty();
    };
    return check("app", instruction.App) && check("startApp", instruction.StartApp);
}

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& error) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        error = "\"" + path + "\" does not exist or is not a regular file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read \"" + path + "\"";
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "cannot read \"" + path + "\"";
        return false;
    }
    return true;
}

int Show(const std::string& file) {
    std::string bytes, error;
    if (!ReadStampedInstruction(file, bytes, error)) {
        return Fail(file + ": " + error);
    }
    std::string text = InstructionTextFromBytes(bytes);
    if (text.empty()) return Fail(file + ": Keine Anweisungen gefunden.");
    std::string plain = AES_256_CBC_DECRYPT(build::kInstructionPassword, text);
    if (plain.empty()) {
        return Fail(file + ": the instruction cannot be decrypted with the password of this build");
    }
    std::fwrite(plain.data(), 1, plain.size(), stdout);
    std::fputc('\n', stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Decryption reports go to the process's message handler; show them here instead of
    // leaving a log file in the current directory.
    MsgHandler().SetLogInterrupt([](const TMsgInfo& info, int32_t, bool) {
        std::fprintf(stderr, "ombrel-stamp: %s: %s\n", info.sender.c_str(), info.msg.c_str());
    });

    CLI::App cli{"Writes the encrypted installer instruction into a copy of the installer, "
                 "or shows the instruction of a stamped file."};
    cli.name("ombrel-stamp");
    std::string installer, out, title, app, startApp, instructionFile, rawFile, showFile;
    bool asAdmin = false;
    int envelope = 2;

    auto* oShow = cli.add_option("--show", showFile,
                                 "Print the decrypted instruction of a stamped file and stop");
    auto* oInstaller = cli.add_option("--installer", installer, "The installer executable to copy");
    auto* oOut = cli.add_option("--out", out, "Where the stamped copy is written");
    auto* oTitle = cli.add_option("--title", title, "Caption of the installer window");
    auto* oApp = cli.add_option("--app", app, "Name of the application to install");
    auto* oStart = cli.add_option("--start-app", startApp,
                                  "Program to start, relative to the installation folder");
    auto* oAdmin = cli.add_flag("--as-admin", asAdmin, "Start that program with administrator rights");
    auto* oEnvelope = cli.add_option("--envelope", envelope, "Envelope version, 1 or 2 (default 2)")
                          ->check(CLI::IsMember({1, 2}));
    auto* oInstruction = cli.add_option("--instruction", instructionFile,
                                        "Take the instruction JSON from this file");
    auto* oRaw = cli.add_option("--raw", rawFile,
                                "Embed this file's bytes unchanged as the instruction text");
    oShow->excludes(oInstaller)->excludes(oOut)->excludes(oTitle)->excludes(oApp)
        ->excludes(oStart)->excludes(oAdmin)->excludes(oEnvelope)->excludes(oInstruction)
        ->excludes(oRaw);
    oInstruction->excludes(oTitle)->excludes(oApp)->excludes(oStart)->excludes(oAdmin)
        ->excludes(oRaw);
    oRaw->excludes(oTitle)->excludes(oApp)->excludes(oStart)->excludes(oAdmin)
        ->excludes(oEnvelope);

    try {
        cli.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int code = cli.exit(e);
        return code == 0 ? 0 : 1;
    }

    if (oShow->count() > 0) return Show(showFile);

    if (build::kUsesProjectPassword) {
        Warn("this build uses the project's default instruction password, which is public: "
             "anyone can read and forge this installer's instruction (build with "
             "-DOMBREL_INSTRUCTION_PASSWORD=...)");
    }
    if (build::kUsesProjectApiKey) {
        Warn("this build uses the project's default API key, which is public (build with "
             "-DOMBREL_API_KEY=...)");
    }

    if (oInstaller->count() == 0 || oOut->count() == 0) {
        return Fail("--installer and --out are required (or --show FILE); see --help");
    }
    const bool fields = oTitle->count() + oApp->count() + oStart->count() + oAdmin->count() > 0;
    if (!fields && oInstruction->count() == 0 && oRaw->count() == 0) {
        return Fail("give the instruction: --title, --app and --start-app, or --instruction "
                    "FILE, or --raw FILE");
    }
    if (fields && (oTitle->count() == 0 || oApp->count() == 0 || oStart->count() == 0)) {
        return Fail("--title, --app and --start-app are all required");
    }

    std::string error;
    std::string resource;
    if (oRaw->count() > 0) {
        if (!ReadWholeFile(rawFile, resource, error)) return Fail(error);
    } else {
        std::string plain;
        if (oInstruction->count() > 0) {
            std::string bytes;
            if (!ReadWholeFile(instructionFile, bytes, error)) return Fail(error);
            plain = DecodeTextWithBom(bytes, TTextEncoding::Utf8);
            try {
                auto instruction = InstructionFromJson(plain);
                if (!instruction) {
                    return Fail(instructionFile + ": holds no instruction (empty or null)");
                }
                if (!CheckInstruction(*instruction, error)) return Fail(instructionFile + ": " + error);
            } catch (const EInstructionError& e) {
                return Fail(instructionFile + ": " + e.what());
            }
        } else {
            TInstruction instruction;
            instruction.Title = title;
            instruction.App = app;
            instruction.StartApp = startApp;
            instruction.RunAsAdmin = asAdmin;
            if (!CheckInstruction(instruction, error)) return Fail(error);
            plain = InstructionToJson(instruction);
        }
        bool encrypted = envelope == 1
                             ? EncryptEnvelopeV1(build::kInstructionPassword, plain, resource, error)
                             : EncryptEnvelopeV2(build::kInstructionPassword, plain, resource, error);
        if (!encrypted) return Fail(error);
    }

    if (!StampInstruction(installer, out, resource, error)) return Fail(error);
    std::printf("%s: instruction written (%zu bytes)\n", out.c_str(), resource.size());
    return 0;
}
