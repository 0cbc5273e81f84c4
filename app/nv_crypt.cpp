#include "app/nv_crypt.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>
#include <stdexcept>

#include "messages/msg.h"

namespace ombrel {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

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

std::string OpenSslError(const char* fallback) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return fallback;
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    return buffer;
}

bool Digest(const EVP_MD* md, std::string_view data, TByteString& digest) {
    digest.clear();
    if (data.empty()) return true;
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), out, &length, md, nullptr) != 1) {
        ERR_clear_error();
        return false;
    }
    digest.assign(reinterpret_cast<const char*>(out), length);
    return true;
}

struct CipherContextDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

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
    if (input.empty()) return true;
    std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter> ctx(EVP_CIPHER_CTX_new());
    if (!ctx) {
        error = OpenSslError("Cannot create a cipher context");
        return false;
    }
    auto* k = reinterpret_cast<const unsigned char*>(key.data());
    auto* v = reinterpret_cast<const unsigned char*>(iv.data());
    if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, k, v, encrypt ? 1 : 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
        error = OpenSslError("Cannot initialise AES-256-CBC");
        return false;
    }
    TByteString buffer(input.size() + 16, '\0');
    int written = 0;
    int final = 0;
    auto* out = reinterpret_cast<unsigned char*>(buffer.data());
    if (EVP_CipherUpdate(ctx.get(), out, &written,
                         reinterpret_cast<const unsigned char*>(input.data()),
                         static_cast<int>(input.size())) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), out + written, &final) != 1) {
        error = OpenSslError("AES-256-CBC failed");
        return false;
    }
    buffer.resize(static_cast<size_t>(written + final));
    output = std::move(buffer);
    return true;
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

std::string EncodeBase64(std::string_view bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    auto at = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[k])); };
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t n = (at(i) << 16) | (at(i + 1) << 8) | at(i + 2);
        text += kAlphabet[(n >> 18) & 63];
        text += kAlphabet[(n >> 12) & 63];
        text += kAlphabet[(n >> 6) & 63];
        text += kAlphabet[n & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest == 1) {
        uint32_t n = at(i) << 16;
        text += kAlphabet[(n >> 18) & 63];
        text += kAlphabet[(n >> 12) & 63];
        text += "==";
    } else if (rest == 2) {
        uint32_t n = (at(i) << 16) | (at(i + 1) << 8);
        text += kAlphabet[(n >> 18) & 63];
        text += kAlphabet[(n >> 12) & 63];
        text += kAlphabet[(n >> 6) & 63];
        text += '=';
    }
    return text;
}

bool HashSHA256(std::string_view data, TByteString& digest) {
    return Digest(EVP_sha256(), data, digest);
}

bool HashMD5(std::string_view data, TByteString& digest) { return Digest(EVP_md5(), data, digest); }

bool DecryptAES256CBCRaw(std::string_view key, std::string_view iv, std::string_view data,
                         TByteString& plain, std::string& error) {
    return RunCipher(false, key, iv, data, plain, error);
}

bool EncryptAES256CBCRaw(std::string_view key, std::string_view iv, std::string_view plain,
                         TByteString& data, std::string& error) {
    return RunCipher(true, key, iv, plain, data, error);
}

bool RandomBytes(size_t count, TByteString& bytes) {
    bytes.assign(count, '\0');
    if (count == 0) return true;
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) {
        ERR_clear_error();
        bytes.clear();
        return false;
    }
    return true;
}

}  // namespace ombrel
