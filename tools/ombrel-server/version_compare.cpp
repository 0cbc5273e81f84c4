#include "tools/ombrel-server/version_compare.h"

#include <algorithm>
#include <vector>

namespace ombrel::server {
namespace {

std::vector<std::string_view> SplitParts(std::string_view version) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        size_t dot = version.find('.', start);
        if (dot == std::string_view::npos) {
            parts.push_back(version.substr(start));
            return parts;
        }
        parts.push_back(version.substr(start, dot - start));
        start = dot + 1;
    }
}

bool IsNumeric(std::string_view part) {
    return !part.empty() &&
           std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Numbers of any length, without converting them (no overflow).
int CompareNumbers(std::string_view a, std::string_view b) {
    auto strip = [](std::string_view s) {
        size_t i = s.find_first_not_of('0');
        return i == std::string_view::npos ? std::string_view() : s.substr(i);
    };
    a = strip(a);
    b = strip(b);
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int ComparePart(std::string_view a, std::string_view b) {
    bool numA = IsNumeric(a);
    bool numB = IsNumeric(b);
    if (numA && numB) return CompareNumbers(a, b);
    if (numA != numB) return numA ? 1 : -1;
    int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

int CompareVersions(std::string_view a, std::string_view b) {
    auto partsA = SplitParts(a);
    auto partsB = SplitParts(b);
    size_t common = std::min(partsA.size(), partsB.size());
    for (size_t i = 0; i < common; ++i) {
        int c = ComparePart(partsA[i], partsB[i]);
        if (c != 0) return c;
    }
    if (partsA.size() != partsB.size()) return partsA.size() < partsB.size() ? -1 : 1;
    int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace ombrel::server
