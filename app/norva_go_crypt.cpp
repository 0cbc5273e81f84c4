#include "app/norva_go_crypt.h"

#include <charconv>
#include <stdexcept>
#include <vector>

#include <fmt/format.h>

#include "io/ansi_text.h"
#include "io/text.h"
#include "messages/msg.h"

namespace ombrel {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal integer with an optional sign, nothing else.
bool ParseDecimal(std::string_view text, int32_t& value) {
    if (text.empty()) return false;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (*first == '+') ++first;
    if (first == last) return false;
    if (*first == '-' ? (first + 1 == last || !IsDigit(first[1])) : !IsDigit(*first)) return false;
    auto [ptr, ec] = std::from_chars(first, last, value);
    return ec == std::errc() && ptr == last;
}

// The CBC step shared by both layouts; throws with the reason.
TByteString DecryptBlocks(const TByteString& key, const TByteString& iv, const TByteString& data) {
    TByteString buffer;
    std::string error;
    if (!DecryptAES256CBCRaw(key, iv, data, buffer, error)) throw std::runtime_error(error);
    if (buffer.empty()) throw std::out_of_range("Range check error: nothing was decrypted");
    return buffer;
}

void Report(TMsgType kind, const std::string& msg, const std::string& sender, bool success) {
    MsgHandler().Msg(TMsgInfo(kind, msg, sender), success);
}

bool PasswordKey(const std::string& passwordBytes, TByteString& key, std::string& error) {
    if (passwordBytes.empty()) {
        error = "The password is empty";
        return false;
    }
    if (!HashSHA256(passwordBytes, key) || key.size() != 32) {
        error = "Cannot derive the key from the password";
        return false;
    }
    return true;
}

}  // namespace

int32_t GetEnvelopeVersion(const std::string& text) {
    if (text.size() < 3 || text[0] != '$') return 1;
    int32_t version = 0;
    if (!ParseDecimal(std::string_view(text).substr(1, 2), version)) return 1;
    return version;
}

bool SplitEnvelope(int32_t version, const std::string& text, TByteString& iv, TByteString& data) {
    iv.clear();
    data.clear();
    std::vector<std::string_view> pieces;
    std::string_view rest(text);
    while (!rest.empty()) {
        size_t end = rest.find('$');
        std::string_view piece = rest.substr(0, end);
        if (!piece.empty()) pieces.push_back(piece);
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    if (pieces.size() != 3) return false;
    int32_t found = 0;
    if (!ParseDecimal(pieces[0], found) || found != version) return false;
    if (!DecodeBase64(pieces[1], iv) || iv.size() != 16) {
        iv.clear();
        return false;
    }
    if (!DecodeBase64(pieces[2], data)) {
        iv.clear();
        return false;
    }
    return true;
}

bool DecryptAES256PKCS7Padding(const TByteString& key, const TByteString& iv,
                               const TByteString& data, std::string& error, TByteString& plain) {
    error.clear();
    plain.clear();
    if (key.size() != 32) return false;
    try {
        TByteString buffer = DecryptBlocks(key, iv, data);
        size_t count = static_cast<unsigned char>(buffer.back());
        if (count > buffer.size()) {
            throw std::out_of_range(fmt::format(
                "Range check error: padding count {} exceeds the {} decrypted bytes", count,
                buffer.size()));
        }
        buffer.resize(buffer.size() - count);
        plain = std::move(buffer);
        return true;
    } catch (const std::exception& e) {
        plain.clear();
        error = std::string("Exception: ") + e.what();
        Report(msgLog, error, "uNorvaGoCrypt.DecryptAES256PKCS7Padding", false);
        return false;
    }
}

bool DecryptAES256CustomPadding(const TByteString& key, const TByteString& iv,
                                const TByteString& data, std::string& error, TByteString& plain) {
    error.clear();
    plain.clear();
    if (key.size() != 32) return false;
    try {
        TByteString buffer = DecryptBlocks(key, iv, data);
        size_t count = static_cast<unsigned char>(buffer.front());
        if (count > buffer.size() - 1) {
            throw std::out_of_range(fmt::format(
                "Range check error: filler count {} exceeds the {} decrypted bytes after it",
                count, buffer.size() - 1));
        }
        plain = buffer.substr(1, buffer.size() - count - 1);
        return true;
    } catch (const std::exception& e) {
        plain.clear();
        error = std::string("Exception: ") + e.what();
        Report(msgLog, error, "uNorvaGoCrypt.DecryptAES256CustomPadding", false);
        return false;
    }
}

std::string AES_256_CBC_DECRYPT_PKCS7_PADDING_UTF8(const std::string& password,
                                                   const std::string& text) {
    try {
        TByteString iv, data;
        if (!SplitEnvelope(2, text, iv, data)) return {};
        if (iv.size() != 16) return {};
        TByteString key;
        if (!HashSHA256(password, key)) return {};
        TByteString plain;
        std::string error;
        if (!DecryptAES256PKCS7Padding(key, iv, data, error, plain)) return {};
        return DecodeTextWithBom(plain, TTextEncoding::Utf8);
    } catch (...) {
        // Only an allocation failure can get here; the routine promises not to throw.
        return {};
    }
}

std::string AES_256_CBC_DECRYPT_CUSTOM_PADDING_ANSI(const std::string& password,
                                                    const std::string& text) {
    try {
        std::string passwordBytes = Utf8ToAnsi(password);
        TByteString iv;
        if (!HashMD5(passwordBytes, iv) || iv.size() != 16) return {};
        TByteString key;
        if (!HashSHA256(passwordBytes, key)) return {};
        TByteString data;
        if (!DecodeBase64(text, data)) return {};
        TByteString plain;
        std::string error;
        if (!DecryptAES256CustomPadding(key, iv, data, error, plain)) plain.clear();
        return AnsiToUtf8(plain);
    } catch (const std::exception& e) {
        try {
            Report(msgLog, e.what(), "uNorvaGoCrypt.AES_256_CBC_DECRYPT_CUSTOM_PADDING_ANSI", false);
        } catch (...) {
        }
        return {};
    }
}

std::string AES_256_CBC_DECRYPT(const std::string& password, const std::string& text) {
    if (text.empty()) return {};
    switch (GetEnvelopeVersion(text)) {
        case 1: return AES_256_CBC_DECRYPT_CUSTOM_PADDING_ANSI(password, text);
        case 2: return AES_256_CBC_DECRYPT_PKCS7_PADDING_UTF8(password, text);
        default: return {};
    }
}

bool EncryptEnvelopeV1(const std::string& password, const std::string& plainText,
                       std::string& envelope, std::string& error) {
    envelope.clear();
    error.clear();
    bool lossless = true;
    std::string passwordBytes = Utf8ToAnsi(password, &lossless);
    if (!lossless) {
        error = "The password holds characters that Windows-1252 cannot encode";
        return false;
    }
    std::string message = Utf8ToAnsi(plainText, &lossless);
    if (!lossless) {
        error = "The text holds characters that Windows-1252 cannot encode "
                "(envelope version 1); use envelope version 2";
        return false;
    }
    TByteString key, iv;
    if (!PasswordKey(passwordBytes, key, error)) return false;
    if (!HashMD5(passwordBytes, iv) || iv.size() != 16) {
        error = "Cannot derive the initialisation vector from the password";
        return false;
    }
    const size_t count = (16 - (1 + message.size()) % 16) % 16;
    TByteString filler;
    if (!RandomBytes(count, filler)) {
        error = "The random number generator failed";
        return false;
    }
    TByteString buffer = static_cast<char>(count) + message + filler;
    TByteString data;
    if (!EncryptAES256CBCRaw(key, iv, buffer, data, error)) return false;
    envelope = EncodeBase64(data);
    return true;
}

bool EncryptEnvelopeV2WithIv(const std::string& password, const std::string& plainText,
                             const TByteString& iv, std::string& envelope, std::string& error) {
    envelope.clear();
    error.clear();
    if (iv.size() != 16) {
        error = "The initialisation vector must be 16 bytes long";
        return false;
    }
    TByteString key;
    if (!PasswordKey(password, key, error)) return false;
    const size_t count = 16 - plainText.size() % 16;
    TByteString buffer = plainText + std::string(count, static_cast<char>(count));
    TByteString data;
    if (!EncryptAES256CBCRaw(key, iv, buffer, data, error)) return false;
    envelope = "$02$" + EncodeBase64(iv) + "$" + EncodeBase64(data);
    return true;
}

bool EncryptEnvelopeV2(const std::string& password, const std::string& plainText,
                       std::string& envelope, std::string& error) {
    TByteString iv;
    if (!RandomBytes(16, iv)) {
        envelope.clear();
        error = "The random number generator failed";
        return false;
    }
    return EncryptEnvelopeV2WithIv(password, plainText, iv, envelope, error);
}

}  // namespace ombrel
