#pragma once
// Fakes for the engine's tests: a scripted server client, a file system service that fails on
// request, and a zip writer for real archives.

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "api/api_client.h"
#include "io/io_system.h"
#include "state/ombrel_file.h"

namespace ombrel::testing {

// Writes a zip archive with the entries in order (a name ending in "/" is a folder); libzip on
// Linux (engine_zip_posix.cpp), the test archive writer on Windows (engine_zip_windows.cpp).
void WriteZip(const std::string& path,
              const std::vector<std::pair<std::string, std::string>>& entries);

// The bytes of a zip archive with these entries.
std::string ZipBytes(const std::vector<std::pair<std::string, std::string>>& entries);

// A server client that answers from tables and records every call as "<METHOD> <resource>".
// A resource missing from the tables fails as a 404 would: an error reported under
// "TApiClient" and recorded.
class FakeApiClient : public IApiClient {
public:
    explicit FakeApiClient(IMessagesPtr messages) : messages(std::move(messages)) {}

    // Answers by resource, e.g. "/api/update/install/App".
    std::map<std::string, std::string> answers;
    // Package files by download resource, e.g. "/api/package/download/3".
    std::map<std::string, std::string> files;
    // Download resources that deliver half of their file, then fail.
    std::set<std::string> broken;
    std::vector<std::string> calls;
    std::vector<std::string> errorTexts;
    // Package list of the last force request; hash list of the last repair request.
    std::vector<TOmbrelFile::TPackage> forcedPackages;
    THashList repairHashes;

    bool Ping() override { return true; }
    bool GetInfoForPackage(const std::string& package, std::string& response) override {
        return Get("GET", "/api/package/info/" + package, response);
    }
    bool GetInfoForPackage(const std::string& package, const std::string& version,
                           std::string& response) override {
        return Get("GET", "/api/package/info/" + package + "/" + version, response);
    }
    bool GetInstallInfoForVersion(const std::string& project, const std::string& version,
                                  std::string& response) override {
        return Get("GET", "/api/update/install/" + project + "/" + version, response);
    }
    bool GetInstallInfoForLatest(const std::string& project, std::string& response) override {
        return Get("GET", "/api/update/install/" + project, response);
    }
    bool GetUpdateInfoForVersion(const std::string& project, const std::string& version,
                                 std::string& response) override {
        return Get("GET", "/api/update/version/" + project + "/" + version, response);
    }
    bool GetVersionInfoForVersion(const std::string& project, const std::string& version,
                                  const TOmbrelFile& ombrelFile, std::string& response) override {
        forcedPackages = ombrelFile.Packages();
        return Get("POST", "/api/update/force/" + project + "/" + version, response);
    }
    bool GetRepairInfoForVersion(const std::string& project, const std::string& version,
                                 const THashList& HashList, std::string& response) override {
        repairHashes = HashList;
        return Get("POST", "/api/update/repair/" + project + "/" + version, response);
    }
    bool DownloadBinaryPackage(int32_t, TBytes&) override {
        throw std::logic_error("the engine streams downloads to files");
    }
    bool DownloadSourcePackage(int32_t, TBytes&) override {
        throw std::logic_error("the engine streams downloads to files");
    }
    std::string ErrorText() override {
        std::string text;
        for (const auto& e : errorTexts) text += e + "\r\n";
        return text;
    }
    bool IsError() override { return !errorTexts.empty(); }
    void ClearErrors() override { errorTexts.clear(); }
    bool DownloadPackageToFile(int32_t packageId, TPackageMode mode,
                               const std::string& path) override {
        const std::string resource =
            (mode == TPackageMode::source ? "/api/package/download/source/"
                                          : "/api/package/download/") +
            std::to_string(packageId);
        calls.push_back("GET " + resource);
        auto it = files.find(resource);
        if (it == files.end()) return Fail(404, "not found");
        const bool cut = broken.count(resource) > 0;
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (f == nullptr) return Fail(0, "cannot write " + path);
        const std::string& content = it->second;
        std::fwrite(content.data(), 1, cut ? content.size() / 2 : content.size(), f);
        std::fclose(f);
        if (cut) {
            errorTexts.push_back("connection failed: transfer closed");
            messages->Error(errorTexts.back(), "TApiClient");
            return false;
        }
        return true;
    }

private:
    bool Get(const std::string& method, const std::string& resource, std::string& response) {
        response.clear();
        calls.push_back(method + " " + resource);
        auto it = answers.find(resource);
        if (it == answers.end()) return Fail(404, "not found");
        response = it->second;
        return true;
    }
    bool Fail(int status, const std::string& body) {
        errorTexts.push_back("request failed (" + std::to_string(status) + "): " + body);
        messages->Error(errorTexts.back(), "TApiClient");
        return false;
    }

    IMessagesPtr messages;
};

// Thrown by FaultyIO in place of a call that changes the disk: the run ends there, as if the
// process had been killed just before that call.
struct SimulatedKill : std::runtime_error {
    SimulatedKill() : std::runtime_error("simulated kill") {}
};

// The real file system service, with a hook that makes chosen calls fail: when `fail` answers
// true for (operation name, path), the call reports "injected failure" under "TIO" and answers
// false. When `kill` answers true for a call that changes the disk, SimulatedKill is thrown
// instead of making the call.
class FaultyIO : public IOInterface {
public:
    explicit FaultyIO(IMessagesPtr messages) : messages(messages), io(messages) {}

    std::function<bool(const std::string& op, const std::string& path)> fail;
    std::function<bool(const std::string& op, const std::string& path)> kill;

    bool DirectoryExists(const std::string& p) override { return io.DirectoryExists(p); }
    bool FileExists(const std::string& p) override { return io.FileExists(p); }
    bool FileDelete(const std::string& p) override {
        return Injected("FileDelete", p) ? false : io.FileDelete(p);
    }
    bool Copyfile(const std::string& s, const std::string& t) override {
        return Injected("Copyfile", t) ? false : io.Copyfile(s, t);
    }
    bool FlushToDisk(const std::string& p) override {
        return Injected("FlushToDisk", p) ? false : io.FlushToDisk(p);
    }
    bool GetFiles(const std::string& p, const TStrings& m, TStrings& f) override {
        return io.GetFiles(p, m, f);
    }
    bool GetFileHashList(const std::string& p, const TStrings& f, THashList& h) override {
        return io.GetFileHashList(p, f, h);
    }
    bool GetLines(const std::string& p, TStrings& l) override {
        l.clear();
        return Injected("GetLines", p) ? false : io.GetLines(p, l);
    }
    bool SetLines(const std::string& p, const TStrings& l) override {
        return Injected("SetLines", p) ? false : io.SetLines(p, l);
    }
    bool AppendLine(const std::string& p, const std::string& l) override {
        return io.AppendLine(p, l);
    }
    bool ByteToFile(const std::string& p, const TBytes& b) override { return io.ByteToFile(p, b); }
    bool ForceDirectory(const std::string& p) override {
        return Injected("ForceDirectory", p) ? false : io.ForceDirectory(p);
    }
    bool ExtractZipFile(const std::string& z, const std::string& e) override {
        return io.ExtractZipFile(z, e);
    }
    bool ExtractZipFolder(const std::string& z, const std::string& e) override {
        Killed("ExtractZipFolder", e);
        return io.ExtractZipFolder(z, e);
    }
    bool CheckUnpackedFolder(const std::string& z, const std::string& e, bool thorough) override {
        return io.CheckUnpackedFolder(z, e, thorough);
    }
    bool DirectoryDeleteIfEmpty(const std::string& p) override {
        Killed("DirectoryDeleteIfEmpty", p);
        // Refused as the platform refuses it: silently.
        if (fail && fail("DirectoryDeleteIfEmpty", p)) return false;
        return io.DirectoryDeleteIfEmpty(p);
    }
    bool CanFileBeOverwritten(const std::string& p) override {
        if (fail && fail("CanFileBeOverwritten", p)) {
            messages->Log("injected failure", "TIO");
            return false;
        }
        return io.CanFileBeOverwritten(p);
    }

private:
    void Killed(const std::string& op, const std::string& path) {
        if (kill && kill(op, path)) throw SimulatedKill();
    }
    bool Injected(const std::string& op, const std::string& path) {
        Killed(op, path);
        if (!fail || !fail(op, path)) return false;
        messages->Error("injected failure", "TIO");
        return true;
    }

    IMessagesPtr messages;
    TIO io;
};

}  // namespace ombrel::testing
