#include "tools/ombrel-server/file_masks.h"

#include "io/paths.h"
#include "io/text.h"

namespace ombrel::server {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Matches one bracket set starting at mask[i] == '['. Answers false when the set is not closed,
// in which case the '[' is taken literally by the caller.
bool MatchSet(std::string_view mask, size_t& i, char c, bool& matched) {
    size_t j = i + 1;
    bool negate = j < mask.size() && mask[j] == '!';
    if (negate) ++j;
    bool found = false;
    bool first = true;
    while (j < mask.size() && (mask[j] != ']' || first)) {
        first = false;
        char lo = Lower(mask[j]);
        char hi = lo;
        if (j + 2 < mask.size() && mask[j + 1] == '-' && mask[j + 2] != ']') {
            hi = Lower(mask[j + 2]);
            j += 2;
        }
        char lc = Lower(c);
        if (lc >= lo && lc <= hi) found = true;
        ++j;
    }
    if (j >= mask.size()) return false;
    i = j + 1;
    matched = found != negate;
    return true;
}

bool Match(std::string_view mask, size_t mi, std::string_view text, size_t ti) {
    while (mi < mask.size()) {
        char m = mask[mi];
        if (m == '*') {
            while (mi < mask.size() && mask[mi] == '*') ++mi;
            if (mi == mask.size()) return true;
            for (size_t k = ti; k <= text.size(); ++k) {
                if (Match(mask, mi, text, k)) return true;
            }
            return false;
        }
        if (ti == text.size()) return false;
        if (m == '?') {
            ++mi;
            ++ti;
            continue;
        }
        if (m == '[') {
            size_t next = mi;
            bool matched = false;
            if (MatchSet(mask, next, text[ti], matched)) {
                if (!matched) return false;
                mi = next;
                ++ti;
                continue;
            }
        }
        if (Lower(m) != Lower(text[ti])) return false;
        ++mi;
        ++ti;
    }
    return ti == text.size();
}

std::string_view BareName(std::string_view name) {
    size_t slash = name.find_last_of("/\\");
    return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

}  // namespace

bool MatchesMask(std::string_view mask, std::string_view text) { return Match(mask, 0, text, 0); }

bool CheckMasks(const std::vector<std::string>& masks, std::string& error) {
    if (masks.empty()) {
        error = "a package needs at least one file mask";
        return false;
    }
    for (const auto& mask : masks) {
        if (IsBlank(mask)) {
            error = "a file mask may not be blank";
            return false;
        }
    }
    if (masks.size() == 1 && masks[0].find_first_of("/\\") != std::string::npos) {
        error = "the single mask '" + masks[0] +
                "' holds a path separator; a single mask is matched against bare file names "
                "(give two or more masks to match relative paths)";
        return false;
    }
    return true;
}

std::vector<std::string> SelectInstalledFiles(const std::vector<std::string>& masks,
                                              const std::vector<std::string>& names) {
    std::vector<std::string> result;
    if (masks.empty()) return result;
    for (const auto& name : names) {
        bool keep = false;
        if (masks.size() == 1) {
            keep = masks[0] == "*.*" || MatchesMask(masks[0], BareName(name));
        } else {
            for (const auto& mask : masks) {
                if (MatchesMask(mask, name)) {
                    keep = true;
                    break;
                }
            }
        }
        if (keep) result.push_back(name);
    }
    return result;
}

bool CleanInstallName(std::string_view name, std::string& cleaned, std::string& error) {
    try {
        cleaned = JoinInside("", name);
        return true;
    } catch (const EPathError& e) {
        error = "unusable file name '" + std::string(name) + "': " + e.what();
        return false;
    }
}

}  // namespace ombrel::server
