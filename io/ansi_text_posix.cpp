#include "io/ansi_text.h"

#include "io/text.h"

namespace ombrel {

std::string AnsiToUtf8(std::string_view bytes) { return Windows1252ToUtf8(bytes); }

std::string Utf8ToAnsi(std::string_view text, bool* lossless) {
    return Utf8ToWindows1252(text, lossless);
}

}  // namespace ombrel
