// ombrel.exe end to end under Wine, against ombrel-server running natively on 127.0.0.1: the
// Windows test stage publishes releases 1.0 and 1.1 of Demo (tests/tools/ombrel/
// windows_store.sh, with 1.0 on the beta channel too), serves them and passes the server's
// address in OMBREL_TEST_SERVER_URL; OMBREL_TEST_CUTTING_SERVER_URL serves the same releases but
// sends downloads on to a host that cuts them short.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace ombrel::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::wstring Wide(const std::string& text) {
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}

// Quoted for the command line as the C runtime splits it.
std::wstring Quoted(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

struct TRun {
    DWORD exitCode = 0;
    std::string output;  // standard error and standard output

    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::istringstream in(output);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
        }
        return lines;
    }
    bool HasLine(const std::string& line) const {
        for (const auto& l : Lines()) {
            if (l == line) return true;
        }
        return false;
    }
    size_t Downloads() const {
        size_t count = 0;
        for (const auto& l : Lines()) count += l.starts_with("log: TOmbrel: download ") ? 1 : 0;
        return count;
    }
};

// Runs a program to its end with its standard error and output captured.
TRun RunProgram(const std::vector<std::string>& argv) {
    std::wstring commandLine;
    for (const auto& argument : argv) {
        if (!commandLine.empty()) commandLine += L' ';
        commandLine += Quoted(Wide(argument));
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) throw std::runtime_error("CreatePipe");
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE null =
        CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
    CloseHandle(writeEnd);
    CloseHandle(null);
    if (!started) {
        CloseHandle(readEnd);
        throw std::runtime_error("cannot start " + argv.at(0));
    }
    TRun run;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        run.output.append(buffer, got);
    }
    CloseHandle(readEnd);
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &run.exitCode);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return run;
}

class OmbrelWindows : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* url = std::getenv("OMBREL_TEST_SERVER_URL");
        ASSERT_NE(url, nullptr) << "OMBREL_TEST_SERVER_URL names no server: run the suite "
                                   "through scripts/test-stages/40-windows.sh, which starts one";
        server = url;
        // The package cache below the test's own folder.
        SetEnvironmentVariableW(L"LOCALAPPDATA", Wide(Native(tmp / "cache")).c_str());
    }

    // Paths as a Windows user gives them, with "\\".
    static std::string Native(std::string path) {
        std::replace(path.begin(), path.end(), '/', '\\');
        return path;
    }
    std::string Dest() const { return Native(tmp / "dest"); }
    // The server's folder of the package cache, named without the ':' that Windows names cannot
    // hold.
    std::string Cache() const {
        std::string folder = server.substr(server.find("://") + 3);
        folder[folder.find(':')] = '_';
        return Native(tmp / "cache/ombrel/" + folder);
    }
    std::string Read(const std::string& path) const {
        return ReadFileBytes(fs::path(Wide(path)).string());
    }

    // The executable, its Linux path (as CTest passes it) reached through Wine's Z: drive.
    static std::string OmbrelExe() {
        std::string bin = BinDir();
        if (bin.starts_with("/")) bin = "Z:" + bin;
        return bin + "/ombrel.exe";
    }

    TRun Ombrel(std::vector<std::string> args) const {
        std::vector<std::string> argv = {OmbrelExe(), "--server", server, "--dest", Dest()};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv);
    }

    // The installed files, relative with "/", with their contents; state files left out.
    std::map<std::string, std::string> Installed() const {
        std::map<std::string, std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(fs::path(Wide(Dest())))) {
            if (!e.is_regular_file()) continue;
            std::string name = fs::relative(e.path(), fs::path(Wide(Dest()))).generic_string();
            if (name.starts_with("Demo.ombrel")) continue;
            files[name] = ReadFileBytes(e.path().string());
        }
        return files;
    }

    std::map<std::string, std::string> Release1Files() const {
        return {{"Demo.exe", "demo 1.0"},
                {"readme.txt", "read me"},
                {"sub/b.txt", "b"},
                {"lib/core.dll", "core 1.0"},
                {"extra.dat", "extra"}};
    }
    std::map<std::string, std::string> Release11Files() const {
        return {{"Demo.exe", "demo 1.1"}, {"sub/b.txt", "b"}, {"lib/core.dll", "core 1.0"}};
    }

    TempFolder tmp;
    std::string server;
};

TEST_F(OmbrelWindows, InstallUpdateAndAnUpToDateRun) {
    TRun r = Ombrel({"--app", "Demo", "--version", "1.0"});
    ASSERT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_EQ(Installed(), Release1Files());
    EXPECT_EQ(r.Downloads(), 3u) << r.output;
    for (const char* cached : {"Demo.1.0.zip", "Demo.1.0/sub/b.txt", "Lib.1.0.zip"}) {
        EXPECT_TRUE(fs::exists(fs::path(Wide(Cache() + "/" + cached)))) << cached;
    }
    ASSERT_FALSE(r.Lines().empty());
    EXPECT_THAT(r.Lines().back(), HasSubstr("log: ombrel: installed Demo 1.0 in " + Dest() + ":"));
    // Paths in the reports are Windows paths throughout.
    for (const auto& line : r.Lines()) {
        if (line.starts_with("log: TOmbrel: store ") ||
            line.starts_with("log: TOmbrel: extracting ") ||
            line.starts_with("log: IO.CopyBuffer: copy ")) {
            EXPECT_EQ(line.find('/'), std::string::npos) << line;
        }
    }

    TRun update = Ombrel({"--app", "Demo"});
    ASSERT_EQ(update.exitCode, 0u) << update.output;
    EXPECT_TRUE(update.HasLine("log: TOmbrel: mode: update")) << update.output;
    EXPECT_EQ(Installed(), Release11Files());
    // Lib 1.0 is in the cache already.
    EXPECT_EQ(update.Downloads(), 1u) << update.output;

    TRun again = Ombrel({"--app", "Demo"});
    EXPECT_EQ(again.exitCode, 0u) << again.output;
    EXPECT_EQ(again.Downloads(), 0u) << again.output;
    ASSERT_FALSE(again.Lines().empty());
    EXPECT_THAT(again.Lines().back(), HasSubstr("is up to date"));
}

TEST_F(OmbrelWindows, ForceGoesBackToAnOlderVersionAndAChannelHasItsOwnPackages) {
    ASSERT_EQ(Ombrel({"--app", "Demo"}).exitCode, 0u);
    EXPECT_EQ(Installed(), Release11Files());

    TRun force = Ombrel({"--app", "Demo", "--version", "1.0"});
    ASSERT_EQ(force.exitCode, 0u) << force.output;
    EXPECT_TRUE(force.HasLine("log: TOmbrel: mode: force version 1.0")) << force.output;
    EXPECT_EQ(Installed(), Release1Files());
    EXPECT_THAT(Read(Dest() + "/Demo.ombrel"), HasSubstr(":version 1.0\r\n"));

    TRun beta = Ombrel({"--app", "Demo", "--channel", "beta", "--verbose"});
    ASSERT_EQ(beta.exitCode, 0u) << beta.output;
    EXPECT_TRUE(beta.HasLine("log: TOmbrel: forcing version 1.0 for update-channel option beta"))
        << beta.output;
    EXPECT_EQ(beta.Downloads(), 1u) << beta.output;
    EXPECT_EQ(Read(Dest() + "/lib/core.dll"), "core beta");
}

TEST_F(OmbrelWindows, StoppedBeforeTheCopyThenContinued) {
    TRun stopped = Ombrel({"--app", "Demo", "--stop-before-copy"});
    ASSERT_EQ(stopped.exitCode, 0u) << stopped.output;
    EXPECT_TRUE(fs::exists(fs::path(Wide(Dest() + "/Demo.ombrel.progress"))));
    EXPECT_FALSE(fs::exists(fs::path(Wide(Dest() + "/Demo.ombrel"))));

    TRun resumed = Ombrel({"--app", "Demo"});
    ASSERT_EQ(resumed.exitCode, 0u) << resumed.output;
    EXPECT_TRUE(resumed.HasLine("log: TOmbrel: mode: continue")) << resumed.output;
    EXPECT_EQ(resumed.Downloads(), 0u) << resumed.output;
    EXPECT_EQ(Installed(), Release11Files());
    EXPECT_FALSE(fs::exists(fs::path(Wide(Dest() + "/Demo.ombrel.progress"))));
}

TEST_F(OmbrelWindows, AServerGoingAwayMidDownloadLeavesThePlanForTheNextRun) {
    const char* cutting = std::getenv("OMBREL_TEST_CUTTING_SERVER_URL");
    ASSERT_NE(cutting, nullptr);
    TRun broken = RunProgram({OmbrelExe(), "--server", cutting, "--dest", Dest(), "--app", "Demo"});
    EXPECT_EQ(broken.exitCode, 1u) << broken.output;
    EXPECT_THAT(broken.output, HasSubstr("error: TApiClient: "));
    EXPECT_TRUE(Installed().empty());
    EXPECT_TRUE(fs::exists(fs::path(Wide(Dest() + "\\Demo.ombrel.progress"))));
    EXPECT_FALSE(fs::exists(fs::path(Wide(Dest() + "\\Demo.ombrel"))));
    // Nothing half-downloaded carries a package's name.
    std::string folder = std::string(cutting).substr(std::string(cutting).find("://") + 3);
    folder[folder.find(':')] = '_';
    EXPECT_FALSE(
        fs::exists(fs::path(Wide(Native(tmp / "cache/ombrel/" + folder) + "\\Demo.1.1.zip"))));

    TRun resumed = Ombrel({"--app", "Demo"});
    ASSERT_EQ(resumed.exitCode, 0u) << resumed.output;
    EXPECT_TRUE(resumed.HasLine("log: TOmbrel: mode: continue")) << resumed.output;
    EXPECT_EQ(Installed(), Release11Files());
}

TEST_F(OmbrelWindows, ADamagedArchiveInTheCacheIsFetchedAgain) {
    tmp.Write(Cache().substr(tmp.Path().size() + 1) + "/Lib.1.0.zip", "PK but not an archive");
    TRun r = Ombrel({"--app", "Demo", "--version", "1.0"});
    ASSERT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_THAT(r.output, HasSubstr("warning: TOmbrel: cached package " + Cache() +
                                    "\\Lib.1.0.zip does not match (size "));
    EXPECT_EQ(r.Downloads(), 3u) << r.output;
    EXPECT_EQ(Installed(), Release1Files());
}

TEST_F(OmbrelWindows, AFileInUseStopsTheUpdateAndNothingChanges) {
    ASSERT_EQ(Ombrel({"--app", "Demo", "--version", "1.0"}).exitCode, 0u);
    const std::string held = Dest() + "\\Demo.exe";
    HANDLE file = CreateFileW(Wide(held).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    TRun r = Ombrel({"--app", "Demo"});
    CloseHandle(file);
    EXPECT_EQ(r.exitCode, 1u) << r.output;
    EXPECT_THAT(r.output, HasSubstr("error: IO.CopyBuffer: file Demo.exe cannot be overwritten"));
    EXPECT_EQ(Installed(), Release1Files());

    // Once it is let go, the update goes through.
    TRun again = Ombrel({"--app", "Demo"});
    EXPECT_EQ(again.exitCode, 0u) << again.output;
    EXPECT_EQ(Installed(), Release11Files());
}

TEST_F(OmbrelWindows, RepairRestoresAChangedAndADeletedFile) {
    ASSERT_EQ(Ombrel({"--app", "Demo"}).exitCode, 0u);
    tmp.Write("dest/Demo.exe", "changed");
    fs::remove(fs::path(Wide(Dest() + "\\sub\\b.txt")));
    TRun r = Ombrel({"--app", "Demo", "--repair"});
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_EQ(Installed(), Release11Files());
}

TEST_F(OmbrelWindows, PackageAndInfoModes) {
    TRun r = Ombrel({"--package", "Lib", "--version", "1.0"});
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_EQ(Installed(), (std::map<std::string, std::string>{{"lib/core.dll", "core 1.0"}}));

    TRun info = RunProgram({OmbrelExe(), "--server", server, "--info", "--package", "Demo"});
    EXPECT_EQ(info.exitCode, 0u) << info.output;
    EXPECT_TRUE(info.HasLine("log: TOmbrel: Demo 1.0")) << info.output;
    EXPECT_TRUE(info.HasLine("log: TOmbrel: Demo 1.1")) << info.output;
}

TEST_F(OmbrelWindows, FailuresAndUsage) {
    TRun gone = RunProgram(
        {OmbrelExe(), "--server", "http://127.0.0.1:1", "--dest", Dest(), "--app", "Demo"});
    EXPECT_EQ(gone.exitCode, 1u) << gone.output;
    ASSERT_FALSE(gone.Lines().empty());
    EXPECT_THAT(gone.Lines().back(), HasSubstr("log: ombrel: failed after"));

    // The help names the Windows default of the installation folder.
    TRun help = RunProgram({OmbrelExe(), "--help"});
    EXPECT_EQ(help.exitCode, 0u);
    EXPECT_THAT(help.output, HasSubstr("(default: %TEMP%\\<app>, as the installer uses)"));
    EXPECT_THAT(help.output, ::testing::Not(HasSubstr("XDG")));

    TRun usage = RunProgram({OmbrelExe()});
    EXPECT_EQ(usage.exitCode, 2u);
    EXPECT_THAT(usage.output, ::testing::StartsWith("Usage: ombrel --app NAME"));

    TRun caFile = Ombrel({"--app", "Demo", "--ca-file", "C:\\ca.pem"});
    EXPECT_EQ(caFile.exitCode, 2u);
    EXPECT_THAT(caFile.output, HasSubstr("--ca-file"));
    EXPECT_THAT(caFile.output, HasSubstr("system's certificate store"));
}

}  // namespace
}  // namespace ombrel::testing
