#include "platform/crypto.h"

#include <vector>

#include "platform/file_chunks.h"

namespace ombrel {

bool ComputeDigest(TDigestAlgorithm algorithm, std::string_view data, std::string& digest,
                   std::string& error) {
    TDigest state(algorithm);
    state.Update(data.data(), data.size());
    return state.Finish(digest, error);
}

std::string Base64Encode(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    auto at = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[k])); };
    size_t i = 0;
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

std::string HexLower(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        text += kHex[c >> 4];
        text += kHex[c & 15];
    }
    return text;
}

bool Base64Decode(std::string_view text, std::string& bytes) {
    bytes.clear();
    if (text.size() % 4 != 0) return false;
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        // Padding only at the very end: "xx==" or "xxx=".
        const size_t padding = last && text[i + 3] == '=' ? (text[i + 2] == '=' ? 2 : 1) : 0;
        uint32_t n = 0;
        for (size_t k = 0; k < 4; ++k) {
            int v = k < 4 - padding ? value(text[i + k]) : 0;
            if (v < 0) return false;
            n = (n << 6) | static_cast<uint32_t>(v);
        }
        out += static_cast<char>((n >> 16) & 0xFF);
        if (padding < 2) out += static_cast<char>((n >> 8) & 0xFF);
        if (padding < 1) out += static_cast<char>(n & 0xFF);
    }
    bytes = std::move(out);
    return true;
}

std::string Sha256Hex(std::string_view bytes) {
    std::string digest, error;
    if (!ComputeDigest(TDigestAlgorithm::Sha256, bytes, digest, error)) return "";
    return HexLower(digest);
}

bool Sha256OfFile(const std::string& path, std::string& hex, uint64_t& size, std::string& error) {
    TDigest digest(TDigestAlgorithm::Sha256);
    uint64_t total = 0;
    std::string reason;
    const bool read = ReadFileChunks(
        path,
        [&](const char* data, size_t n) {
            digest.Update(data, n);
            total += n;
        },
        reason);
    if (!read) {
        error = reason.empty() ? "cannot read " + path : "cannot read " + path + ": " + reason;
        return false;
    }
    std::string bytes;
    if (!digest.Finish(bytes, error)) return false;
    hex = HexLower(bytes);
    size = total;
    return true;
}

bool IsSha256Hex(std::string_view text) {
    if (text.size() != 64) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

}  // namespace ombrel
