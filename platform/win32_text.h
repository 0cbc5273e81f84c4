#pragma once
// Windows only: the conversions at the boundary between our UTF-8 text and the wide-character
// Win32 API, and the texts of Win32 error codes.

#include <string>
#include <string_view>

namespace ombrel {

// UTF-8 to UTF-16. A malformed sequence becomes U+FFFD.
std::wstring Widen(std::string_view text);

// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD.
std::string Narrow(std::wstring_view text);

// The system's text for a Win32 error code (as GetLastError answers it), in UTF-8, without the
// trailing line break and full stop; "error N" when the system has no text.
std::string Win32ErrorText(unsigned long code);

// The system's text for the calling thread's last error.
std::string LastWin32ErrorText();

// A path as the wide-character file API takes it: "/" turned into "\", and an absolute path
// given the "\\?\" prefix (or "\\?\UNC\" for a network path), so that it may be longer than
// 260 characters. A relative path is made absolute against the current folder first; an empty
// path stays empty.
std::wstring Win32Path(std::string_view path);

}  // namespace ombrel
