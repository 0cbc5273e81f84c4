#include "platform/crypto.h"

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

}  // namespace ombrel
