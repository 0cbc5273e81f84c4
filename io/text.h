#pragma once
// Small text helpers shared by every subsystem. Text is UTF-8 in memory.

#include <string>
#include <string_view>

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
