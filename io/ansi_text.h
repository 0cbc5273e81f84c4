#pragma once
// Text in the system's "ANSI code page": on Windows the code page the system answers
// (GetACP), elsewhere Windows-1252, the code page that stands for it on systems without one.

#include <string>
#include <string_view>

namespace ombrel {

// ANSI bytes to UTF-8. Every byte the code page defines maps.
std::string AnsiToUtf8(std::string_view bytes);

// UTF-8 to ANSI bytes. Characters the code page cannot hold become '?', as do malformed
// sequences; `lossless` (when given) tells whether that happened.
std::string Utf8ToAnsi(std::string_view text, bool* lossless = nullptr);

}  // namespace ombrel
