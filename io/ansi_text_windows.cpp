#include "io/ansi_text.h"

#include <windows.h>

#include "io/text.h"
#include "platform/win32_text.h"

namespace ombrel {

std::string AnsiToUtf8(std::string_view bytes) {
    if (bytes.empty()) return {};
    if (GetACP() == CP_UTF8) return DecodeText(bytes, TTextEncoding::Utf8);
    const int size = static_cast<int>(bytes.size());
    const int length = MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, nullptr, 0);
    if (length <= 0) return Windows1252ToUtf8(bytes);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, wide.data(), length);
    return Narrow(wide);
}

std::string Utf8ToAnsi(std::string_view text, bool* lossless) {
    // Malformed UTF-8 becomes U+FFFD on the way, which no single-byte code page holds.
    const std::wstring wide = Widen(text);
    const bool wellFormed = Narrow(wide) == text;
    if (GetACP() == CP_UTF8) {
        if (lossless != nullptr) *lossless = wellFormed;
        return Narrow(wide);
    }
    if (wide.empty()) {
        if (lossless != nullptr) *lossless = true;
        return {};
    }
    const int size = static_cast<int>(wide.size());
    BOOL usedDefault = FALSE;
    const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size,
                                           nullptr, 0, "?", &usedDefault);
    if (length <= 0) return Utf8ToWindows1252(text, lossless);
    std::string out(static_cast<size_t>(length), '\0');
    usedDefault = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), size, out.data(), length, "?",
                        &usedDefault);
    if (lossless != nullptr) *lossless = wellFormed && !usedDefault;
    return out;
}

}  // namespace ombrel
