#include <fmt/format.h>
#include <fmt/printf.h>
#include <windows.h>

#include "platform/file_chunks.h"
#include "platform/file_replace.h"
#include "platform/resource_trailer.h"
#include "platform/win32_text.h"

namespace ombrel {
namespace {

bool ReadWhole(const std::string& file, std::string& bytes, std::string& error) {
    bytes.clear();
    std::string reason;
    if (!ReadFileChunks(
            file, [&](const char* data, size_t n) { bytes.append(data, n); }, reason)) {
        error = fmt::format("{} \"{}\"", bytes.empty() ? "Cannot open" : "Cannot read", file);
        return false;
    }
    return true;
}

TTrailerLayout LayoutOf(const std::string& bytes) {
    const std::string_view view(bytes);
    return ParseTrailerFooter(
        bytes.size() >= kTrailerFooterSize ? view.substr(bytes.size() - kTrailerFooterSize) : "",
        bytes.size());
}

}  // namespace

std::string OwnExecutableFile() {
    std::wstring buffer(32768, L'\0');
    buffer.resize(GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())));
    return Narrow(buffer);
}

bool ReadResourceTrailer(const std::string& file, const std::string& name, std::string& bytes,
                         std::string& error) {
    bytes.clear();
    error.clear();
    const std::string notFound = fmt::sprintf("Ressource %s nicht gefunden", name);
    if (CompareStringOrdinal(Widen(name).c_str(), -1, L"instruction", -1, TRUE) != CSTR_EQUAL) {
        error = notFound;
        return false;
    }
    std::string content, reason;
    if (!ReadWhole(file, content, reason)) {
        error = fmt::sprintf("Ressource %s konnte nicht gelesen werden: %s", name, reason);
        return false;
    }
    const TTrailerLayout layout = LayoutOf(content);
    switch (layout.state) {
        case TTrailerState::Missing:
            error = notFound;
            return false;
        case TTrailerState::Damaged:
            error = fmt::sprintf(
                "Ressource %s ist beschädigt: angegebene Länge %u, aber nur %u Bytes davor", name,
                layout.resourceSize, layout.programSize - kTrailerFooterSize);
            return false;
        case TTrailerState::Found:
            break;
    }
    bytes = content.substr(layout.programSize, layout.resourceSize);
    return true;
}

bool WriteResourceTrailer(const std::string& input, const std::string& output,
                          std::string_view bytes, std::string& error) {
    error.clear();
    std::string content;
    if (!ReadWhole(input, content, error)) return false;
    const TTrailerLayout layout = LayoutOf(content);
    if (layout.state == TTrailerState::Damaged) {
        error = fmt::format(
            "\"{}\" ends in a damaged instruction trailer (length {} larger than the file); "
            "stamp the original program instead",
            input, layout.resourceSize);
        return false;
    }
    content.resize(layout.programSize);
    content.append(bytes);
    content += MakeTrailerFooter(bytes.size());
    return ReplaceFileContent(output, content, input, error);
}

}  // namespace ombrel
