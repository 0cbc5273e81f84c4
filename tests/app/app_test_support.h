#pragma once
// Helpers of the app tests: a process message handler that records what reaches it, and
// command-line tools as independent producers of test vectors.

#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "messages/msg.h"
#include "tests/support/test_support.h"

namespace ombrel::testing {

// Records every Msg call and every alert; writes no log file.
class RecordingMsgHandler : public TMsgHandler {
public:
    struct Call {
        TMsgInfo info;
        bool success;
    };
    struct Alerts : IMsgAlerts {
        std::vector<std::string> shown;
        TAnswer ShowAlert(TKind, const std::string& caption, const std::string& mainText,
                          const std::string&, bool) override {
            shown.push_back(caption + ": " + mainText);
            return TAnswer::Ok;
        }
        TAnswer ShowErrorBox(const std::string& text, bool) override {
            shown.push_back("box: " + text);
            return TAnswer::Ok;
        }
    };

    explicit RecordingMsgHandler(std::shared_ptr<Alerts> alerts = std::make_shared<Alerts>())
        : TMsgHandler(alerts), alerts(alerts) {
        DefaultLog.Active = false;
        SetLogInterrupt([this](const TMsgInfo& info, int32_t, bool) { logged.push_back(info); });
    }

    bool Msg(const TMsgInfo& msgInfo, bool success) override {
        calls.push_back({msgInfo, success});
        return TMsgHandler::Msg(msgInfo, success);
    }

    // "<kind>|<sender>|<msg>|<success>" per call.
    std::vector<std::string> Summary() const {
        std::vector<std::string> out;
        for (const auto& c : calls) {
            out.push_back(c.info.msgTypeEn() + "|" + c.info.sender + "|" + c.info.msg + "|" +
                          (c.success ? "true" : "false"));
        }
        return out;
    }

    std::vector<Call> calls;
    std::vector<TMsgInfo> logged;
    std::shared_ptr<Alerts> alerts;
};

// Installs a RecordingMsgHandler as the process's handler for the lifetime of the object.
class ScopedRecordingHandler {
public:
    ScopedRecordingHandler() {
        auto handler = std::make_unique<RecordingMsgHandler>();
        recorder_ = handler.get();
        previous_ = ReplaceMsgHandler(std::move(handler));
    }
    ~ScopedRecordingHandler() { ReplaceMsgHandler(std::move(previous_)); }
    RecordingMsgHandler& operator*() const { return *recorder_; }
    RecordingMsgHandler* operator->() const { return recorder_; }

private:
    RecordingMsgHandler* recorder_;
    std::unique_ptr<TMsgHandler> previous_;
};

// Runs a shell command and answers its standard output; throws when it exits with non-zero.
inline std::string RunCommand(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    int status = ::pclose(pipe);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("command failed: " + command);
    }
    return out;
}

inline std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

inline std::string Unhex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return out;
}

// Independent producers of envelope material, all through command-line tools.
class ExternalCrypto {
public:
    explicit ExternalCrypto(const TempFolder& folder) : folder_(folder) {}

    // Lowercase hex digest of the bytes by sha256sum / md5sum.
    std::string Sha256Hex(const std::string& bytes) { return DigestHex("sha256sum", bytes); }
    std::string Md5Hex(const std::string& bytes) { return DigestHex("md5sum", bytes); }

    // `openssl enc -aes-256-cbc -nopad` over bytes that are already a multiple of 16.
    std::string Encrypt(const std::string& keyHex, const std::string& ivHex,
                        const std::string& plain) {
        std::string in = folder_.Write("enc.in", plain);
        std::string out = folder_ / "enc.out";
        RunCommand("openssl enc -aes-256-cbc -nopad -K " + keyHex + " -iv " + ivHex + " -in '" +
                   in + "' -out '" + out + "'");
        return ReadFileBytes(out);
    }
    std::string Decrypt(const std::string& keyHex, const std::string& ivHex,
                        const std::string& data) {
        std::string in = folder_.Write("dec.in", data);
        std::string out = folder_ / "dec.out";
        RunCommand("openssl enc -d -aes-256-cbc -nopad -K " + keyHex + " -iv " + ivHex +
                   " -in '" + in + "' -out '" + out + "'");
        return ReadFileBytes(out);
    }

    std::string Base64(const std::string& bytes) {
        std::string in = folder_.Write("b64.in", bytes);
        std::string out = RunCommand("base64 -w0 '" + in + "'");
        return out;
    }
    std::string Unbase64(const std::string& text) {
        std::string in = folder_.Write("b64.txt", text);
        return RunCommand("base64 -d '" + in + "'");
    }

    // Version 1 envelope: key and IV from the password bytes, given as Windows-1252.
    std::string EnvelopeV1(const std::string& passwordBytes, const std::string& block) {
        return Base64(Encrypt(Sha256Hex(passwordBytes), Md5Hex(passwordBytes), block));
    }
    // Version 2 envelope with the given IV, password bytes as UTF-8.
    std::string EnvelopeV2(const std::string& passwordBytes, const std::string& iv,
                           const std::string& block) {
        return "$02$" + Base64(iv) + "$" + Base64(Encrypt(Sha256Hex(passwordBytes), Hex(iv), block));
    }

private:
    std::string DigestHex(const char* tool, const std::string& bytes) {
        std::string in = folder_.Write("digest.in", bytes);
        return RunCommand(std::string(tool) + " '" + in + "'").substr(0, tool[0] == 's' ? 64 : 32);
    }

    const TempFolder& folder_;
};

}  // namespace ombrel::testing
