#pragma once
// The embedded instruction resource on Linux: a trailer appended to the executable, made of
// the resource bytes, their length as 8 bytes little-endian, and the 8-byte magic "OMBRINS1".
// The ELF loader ignores bytes after the program, so a stamped executable still runs.

#include <cstdint>
#include <string>
#include <string_view>

namespace ombrel {

inline constexpr char kTrailerMagic[] = "OMBRINS1";
inline constexpr size_t kTrailerFooterSize = 16;  // length + magic
// The one resource a trailer carries; names compare without regard to case.
inline constexpr char kInstructionResourceName[] = "instruction";

enum class TTrailerState {
    Found,    // magic and a length that fits the file
    Missing,  // no magic at the end
    Damaged,  // the magic, but a length larger than what precedes it
};

struct TTrailerLayout {
    TTrailerState state = TTrailerState::Missing;
    // Bytes of the program before the trailer (the whole size when there is none).
    uint64_t programSize = 0;
    uint64_t resourceSize = 0;
};

// Examines the last 16 bytes of content of `fileSize` bytes.
TTrailerLayout ParseTrailerFooter(std::string_view footer, uint64_t fileSize);

// The footer that follows `resourceSize` bytes of resource.
std::string MakeTrailerFooter(uint64_t resourceSize);

// Reads the resource `name` from the trailer of `file`. Answers false with the user-facing
// reason: "Ressource instruction nicht gefunden" when there is no trailer (or `name` is not
// "instruction"), "Ressource instruction ist beschädigt" with details for a damaged one, or
// the system's reason when the file cannot be read.
bool ReadResourceTrailer(const std::string& file, const std::string& name, std::string& bytes,
                         std::string& error);

// The running program's own file.
std::string OwnExecutableFile();

// Writes a copy of `input` to `output` with `bytes` as its trailer, keeping the file mode of
// `input` (its run bit). An existing trailer of `input` is replaced, not stacked; a damaged one
// is refused. The copy is written to a temporary file beside `output`, flushed and renamed, so
// `output` is either the complete new file or untouched. `output` may equal `input`.
bool WriteResourceTrailer(const std::string& input, const std::string& output,
                          std::string_view bytes, std::string& error);

}  // namespace ombrel
