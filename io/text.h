#pragma once
// Small text helpers shared by every subsystem. Text is UTF-8 in memory.

#include <string>
#include <string_view>
#include <vector>

namespace ombrel {

// Removes every leading and trailing character whose code is at most U+0020.
std::string Trim(std::string_view text);

// True when nothing is left after Trim. Empty means length zero; a blank text may be non-empty.
bool IsBlank(std::string_view text);

// Lower-cases the ASCII letters A to Z and leaves every other byte as it is.
std::string LowerAscii(std::string_view text);

// Equal after LowerAscii on both sides.
bool SameTextAscii(std::string_view a, std::string_view b);

}  // namespace ombrel

namespace ombrel {

// Encodings of byte input that the system reads as text. Ansi is the system's "ANSI code page"
// (see io/ansi_text.h): the code page Windows answers there, Windows-1252 elsewhere.
enum class TTextEncoding { Ansi, Utf8, Utf16LE, Utf16BE };

// Detects a byte-order mark, testing UTF-8, UTF-16 little-endian and UTF-16 big-endian in this
// order. Answers the encoding and the length of the mark; without a mark `fallback` and 0.
struct TBomResult {
    TTextEncoding encoding;
    size_t bomLength;
};
TBomResult DetectBom(std::string_view bytes, TTextEncoding fallback);

// Turns bytes of the given encoding into UTF-8. Never fails: a malformed sequence (invalid
// UTF-8, an unpaired surrogate, a dangling odd byte of UTF-16) becomes U+FFFD.
std::string DecodeText(std::string_view bytes, TTextEncoding encoding);

// DetectBom, then DecodeText of the bytes after the mark.
std::string DecodeTextWithBom(std::string_view bytes, TTextEncoding fallback);

// Windows-1252 bytes to UTF-8. Every byte maps; the five bytes the code page leaves undefined
// map to the control characters of the same value.
std::string Windows1252ToUtf8(std::string_view bytes);

// UTF-8 to Windows-1252. Characters the code page cannot hold become '?', as do malformed
// sequences; `lossless` (when given) tells whether that happened.
std::string Utf8ToWindows1252(std::string_view text, bool* lossless = nullptr);

// The byte-order mark of UTF-8.
inline constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

// The lines of a text, split at CR LF, CR and LF; a last line without a break is a line, an
// empty text has none.
std::vector<std::string> SplitLines(std::string_view text);

// Splits at CR LF, CR and LF, and joins again with CR LF after every line (the last included).
// An empty text stays empty.
std::string JoinLinesCrLf(std::string_view text);

}  // namespace ombrel
