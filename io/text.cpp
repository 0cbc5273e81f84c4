#include "io/text.h"

#include <cstdint>

#include "io/ansi_text.h"

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

namespace ombrel {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Windows-1252 bytes 0x80 to 0x9F; the undefined ones keep their own value.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Reads one code point at `pos` and advances past it. A malformed sequence gives U+FFFD and
// advances by one byte, so decoding always makes progress.
char32_t NextUtf8(std::string_view text, size_t& pos, bool& valid) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(pos);
    valid = true;
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    size_t length;
    char32_t cp;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, cp = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, cp = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, cp = lead & 0x07, minimum = 0x10000;
    } else {
        ++pos;
        valid = false;
        return kReplacement;
    }
    if (pos + length > text.size()) {
        ++pos;
        valid = false;
        return kReplacement;
    }
    for (size_t i = 1; i < length; ++i) {
        unsigned char next = byte(pos + i);
        if ((next & 0xC0) != 0x80) {
            ++pos;
            valid = false;
            return kReplacement;
        }
        cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++pos;
        valid = false;
        return kReplacement;
    }
    pos += length;
    return cp;
}

std::string DecodeUtf16(std::string_view bytes, bool bigEndian) {
    std::string out;
    out.reserve(bytes.size());
    auto unit = [&](size_t i) -> char16_t {
        auto a = static_cast<unsigned char>(bytes[i]);
        auto b = static_cast<unsigned char>(bytes[i + 1]);
        return static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
    };
    size_t i = 0;
    while (i + 1 < bytes.size()) {
        char16_t u = unit(i);
        i += 2;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < bytes.size()) {
            char16_t low = unit(i);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                i += 2;
                AppendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (low - 0xDC00));
                continue;
            }
        }
        AppendUtf8(out, u);  // a lone surrogate becomes U+FFFD there
    }
    if (i < bytes.size()) AppendUtf8(out, kReplacement);
    return out;
}

}  // namespace

TBomResult DetectBom(std::string_view bytes, TTextEncoding fallback) {
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return {TTextEncoding::Utf8, 3};
    if (bytes.substr(0, 2) == "\xFF\xFE") return {TTextEncoding::Utf16LE, 2};
    if (bytes.substr(0, 2) == "\xFE\xFF") return {TTextEncoding::Utf16BE, 2};
    return {fallback, 0};
}

std::string DecodeText(std::string_view bytes, TTextEncoding encoding) {
    switch (encoding) {
        case TTextEncoding::Ansi: return AnsiToUtf8(bytes);
        case TTextEncoding::Utf16LE: return DecodeUtf16(bytes, false);
        case TTextEncoding::Utf16BE: return DecodeUtf16(bytes, true);
        case TTextEncoding::Utf8: break;
    }
    std::string out;
    out.reserve(bytes.size());
    size_t pos = 0;
    bool valid;
    while (pos < bytes.size()) {
        size_t start = pos;
        char32_t cp = NextUtf8(bytes, pos, valid);
        if (valid) {
            out.append(bytes.substr(start, pos - start));
        } else {
            AppendUtf8(out, cp);
        }
    }
    return out;
}

std::string DecodeTextWithBom(std::string_view bytes, TTextEncoding fallback) {
    TBomResult bom = DetectBom(bytes, fallback);
    return DecodeText(bytes.substr(bom.bomLength), bom.encoding);
}

std::string Windows1252ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        if (b < 0x80) {
            out += c;
        } else if (b < 0xA0) {
            AppendUtf8(out, kCp1252High[b - 0x80]);
        } else {
            AppendUtf8(out, b);
        }
    }
    return out;
}

std::string Utf8ToWindows1252(std::string_view text, bool* lossless) {
    std::string out;
    out.reserve(text.size());
    bool exact = true;
    size_t pos = 0;
    bool valid;
    while (pos < text.size()) {
        char32_t cp = NextUtf8(text, pos, valid);
        if (!valid) {
            out += '?';
            exact = false;
        } else if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) {
            out += static_cast<char>(cp);
        } else {
            int found = -1;
            for (int i = 0; i < 32; ++i) {
                if (kCp1252High[i] == cp) found = i;
            }
            if (found >= 0) {
                out += static_cast<char>(0x80 + found);
            } else {
                out += '?';
                exact = false;
            }
        }
    }
    if (lossless != nullptr) *lossless = exact;
    return out;
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\r' && c != '\n') continue;
        lines.emplace_back(text.substr(start, i - start));
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

std::string JoinLinesCrLf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16 + 2);
    size_t i = 0;
    while (i < text.size()) {
        size_t end = text.find_first_of("\r\n", i);
        if (end == std::string_view::npos) {
            out.append(text.substr(i));
            out += "\r\n";
            break;
        }
        out.append(text.substr(i, end - i));
        out += "\r\n";
        i = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
    }
    return out;
}

}  // namespace ombrel
