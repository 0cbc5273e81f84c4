#include "app/nv_crypt.h"

#include <memory>
#include <stdexcept>

#include "messages/msg.h"
#include "platform/crypto.h"

namespace ombrel {

namespace {

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Throws std::runtime_error with the reason; DecodeBase64 turns that into its report.
TByteString DecodeBase64OrThrow(std::string_view text) {
    std::string symbols;
    symbols.reserve(text.size());
    size_t padding = 0;
    for (char c : text) {
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        if (Base64Value(c) < 0) {
            throw std::runtime_error("Invalid character in Base64 text");
        }
        if (padding > 0) throw std::runtime_error("Base64 padding in the middle of the text");
        symbols += c;
    }
    if (symbols.size() % 4 == 1 || padding > 2 ||
        (padding > 0 && (symbols.size() + padding) % 4 != 0)) {
        throw std::runtime_error("Invalid length of Base64 text");
    }
    TByteString bytes;
    bytes.reserve(symbols.size() * 3 / 4);
    uint32_t accumulator = 0;
    int bits = 0;
    for (char c : symbols) {
        accumulator = (accumulator << 6) | static_cast<uint32_t>(Base64Value(c));
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes += static_cast<char>((accumulator >> bits) & 0xFF);
        }
    }
    return bytes;
}

bool Digest(TDigestAlgorithm algorithm, std::string_view data, TByteString& digest) {
    digest.clear();
    if (data.empty()) return true;
    std::string error;
    return ComputeDigest(algorithm, data, digest, error);
}

bool RunCipher(bool encrypt, std::string_view key, std::string_view iv, std::string_view input,
               TByteString& output, std::string& error) {
    output.clear();
    error.clear();
    if (key.size() != 32 || iv.size() != 16) {
        error = "AES-256-CBC needs a 32-byte key and a 16-byte initialisation vector";
        return false;
    }
    if (input.size() % 16 != 0) {
        error = encrypt ? "Invalid buffer size for encryption" : "Invalid buffer size for decryption";
        return false;
    }
    return AesCbc256(encrypt, key, iv, input, output, error);
}

}  // namespace

bool DecodeBase64(std::string_view text, TByteString& bytes) {
    bytes.clear();
    try {
        bytes = DecodeBase64OrThrow(text);
        return true;
    } catch (const std::exception& e) {
        bytes.clear();
        MsgHandler().Msg(ErrorInfo(std::string("Exception: ") + e.what(), "uNvCrypt.DecodeBase64"),
                         true);
        return false;
    }
}

std::string EncodeBase64(std::string_view bytes) { return Base64Encode(bytes); }

bool HashSHA256(std::string_view data, TByteString& digest) {
    return Digest(TDigestAlgorithm::Sha256, data, digest);
}

bool HashMD5(std::string_view data, TByteString& digest) { return Digest(TDigestAlgorithm::Md5, data, digest); }

bool DecryptAES256CBCRaw(std::string_view key, std::string_view iv, std::string_view data,
                         TByteString& plain, std::string& error) {
    return RunCipher(false, key, iv, data, plain, error);
}

bool EncryptAES256CBCRaw(std::string_view key, std::string_view iv, std::string_view plain,
                         TByteString& data, std::string& error) {
    return RunCipher(true, key, iv, plain, data, error);
}

bool RandomBytes(size_t count, TByteString& bytes) { return StrongRandomBytes(count, bytes); }

}  // namespace ombrel
