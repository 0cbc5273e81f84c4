#include "io/text.h"

namespace ombrel {

namespace {
bool IsTrimmed(char c) { return static_cast<unsigned char>(c) <= 0x20; }
}  // namespace

std::string Trim(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsTrimmed(text[begin])) ++begin;
    while (end > begin && IsTrimmed(text[end - 1])) --end;
    return std::string(text.substr(begin, end - begin));
}

bool IsBlank(std::string_view text) {
    for (char c : text) {
        if (!IsTrimmed(c)) return false;
    }
    return true;
}

std::string LowerAscii(std::string_view text) {
    std::string result(text);
    for (char& c : result) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return result;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace ombrel
