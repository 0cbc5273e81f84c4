#include "api/signed_release.h"

#include <charconv>
#include <string_view>

#include "platform/crypto.h"

namespace ombrel {
namespace {

constexpr std::string_view kHeader = "ombrel-release 1";

bool IsToken(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return false;
    }
    return true;
}

// Decimal without sign or leading zeros (0 itself allowed).
template <typename T>
bool ReadDecimal(std::string_view text, T& value) {
    if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return false;
    if (text.find_first_not_of("0123456789") != std::string_view::npos) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> Split(std::string_view line) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        size_t blank = line.find(' ', start);
        parts.push_back(line.substr(start, blank == std::string_view::npos ? blank : blank - start));
        if (blank == std::string_view::npos) return parts;
        start = blank + 1;
    }
}

}  // namespace

const TSignedPackage* TSignedRelease::PackageById(int32_t id) const {
    for (const auto& p : Packages) {
        if (p.Id == id) return &p;
    }
    return nullptr;
}

bool WriteReleaseText(const TSignedRelease& release, std::string& text, std::string& error) {
    text.clear();
    for (const auto* value : {&release.Project, &release.Channel, &release.Version}) {
        if (!IsToken(*value)) {
            error = "'" + *value + "' cannot be signed: empty, or with a blank or control character";
            return false;
        }
    }
    std::string result = std::string(kHeader) + "\n";
    result += "project " + release.Project + "\n";
    result += "channel " + release.Channel + "\n";
    result += "version " + release.Version + "\n";
    for (const auto& p : release.Packages) {
        if (!IsToken(p.Name) || !IsToken(p.Version) || !IsSha256Hex(p.Sha256) || p.Id <= 0) {
            error = "package " + p.Name + " " + p.Version + " cannot be signed: bad name, "
                    "version, id or digest";
            return false;
        }
        result += "package " + std::to_string(p.Id) + " " + p.Name + " " + p.Version + " " +
                  std::to_string(p.Size) + " " + p.Sha256 + "\n";
    }
    text = std::move(result);
    return true;
}

bool ReadReleaseText(const std::string& text, TSignedRelease& release, std::string& error) {
    release = TSignedRelease();
    TSignedRelease result;
    if (text.empty() || text.back() != '\n') {
        error = "the signed release does not end with a line break";
        return false;
    }
    std::vector<std::string_view> lines;
    std::string_view rest = text;
    while (!rest.empty()) {
        size_t end = rest.find('\n');
        lines.push_back(rest.substr(0, end));
        rest.remove_prefix(end + 1);
    }
    auto bad = [&](size_t n) {
        error = "line " + std::to_string(n + 1) + " of the signed release is malformed";
        return false;
    };
    if (lines.size() < 4 || lines[0] != kHeader) return bad(0);
    const char* keys[] = {"project", "channel", "version"};
    std::string* values[] = {&result.Project, &result.Channel, &result.Version};
    for (size_t i = 0; i < 3; ++i) {
        auto parts = Split(lines[i + 1]);
        if (parts.size() != 2 || parts[0] != keys[i] || !IsToken(parts[1])) return bad(i + 1);
        *values[i] = std::string(parts[1]);
    }
    for (size_t i = 4; i < lines.size(); ++i) {
        auto parts = Split(lines[i]);
        TSignedPackage p;
        if (parts.size() != 6 || parts[0] != "package" || !ReadDecimal(parts[1], p.Id) ||
            p.Id <= 0 || !IsToken(parts[2]) || !IsToken(parts[3]) ||
            !ReadDecimal(parts[4], p.Size) || !IsSha256Hex(parts[5])) {
            return bad(i);
        }
        p.Name = std::string(parts[2]);
        p.Version = std::string(parts[3]);
        p.Sha256 = std::string(parts[5]);
        result.Packages.push_back(std::move(p));
    }
    release = std::move(result);
    return true;
}

bool VerifyReleaseText(const std::string& text, const std::string& signature,
                       const std::string& publicKey, TSignedRelease& release, std::string& error) {
    release = TSignedRelease();
    std::string key, sig;
    if (!Base64Decode(publicKey, key)) {
        error = "the built-in release key is not Base64";
        return false;
    }
    if (!Base64Decode(signature, sig)) {
        error = "the signature is not Base64";
        return false;
    }
    if (!VerifyEcdsaP256(key, text, sig, error)) return false;
    return ReadReleaseText(text, release, error);
}

}  // namespace ombrel
