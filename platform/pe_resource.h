#pragma once
// Windows executables (PE/COFF images) as bytes: telling the kinds of executable apart, finding
// a resource through the image's resource directory, and the image checksum. Pure functions over
// a file's content, the same on every platform, so that installers for Windows can be stamped on
// Linux too. Nothing here searches the content for byte patterns: every position comes from the
// headers, and every header field is checked against the bounds of the file before it is used.

#include <cstdint>
#include <string>
#include <string_view>

namespace ombrel {

// The resource type of raw data (RT_RCDATA) and the name under which installers carry their
// instruction.
inline constexpr uint16_t kRtRcData = 10;
inline constexpr char kPeInstructionName[] = "INSTRUCTION";

enum class TExecutableKind {
    Unknown,
    Elf,  // "\x7f" "ELF" at the start
    Pe,   // "MZ" at the start and "PE\0\0" where the DOS header points
};

// Decides by the headers at the start of `file` (the whole file or at least its first few
// hundred bytes; a PE signature beyond `file` counts as Unknown).
TExecutableKind DetectExecutableKind(std::string_view file);

// Where a resource's data lie in a PE file.
struct TPeResourceSlot {
    uint64_t offset = 0;  // file offset of the first data byte
    uint32_t size = 0;    // bytes of data
    // File offset of the optional header's CheckSum field.
    uint64_t checksumOffset = 0;
    // The image carries an Authenticode signature (a non-empty certificate table), which any
    // change of its bytes would break.
    bool isSigned = false;
};

// Finds the resource of type `type` (an integer id) and name `name` (compared without regard to
// the case of ASCII letters, as Windows compares resource names) in the PE image `image`. The
// resource must exist in exactly one language and its data must lie in the file's raw data.
// Answers false with the reason in English in `error`: not a PE file, a damaged header or
// resource directory, or no such resource.
bool FindPeResource(std::string_view image, uint16_t type, std::string_view name,
                    TPeResourceSlot& slot, std::string& error);

// The PE image checksum of `image` (the sum that Windows' CheckSumMappedFile computes, with the
// CheckSum field at `checksumOffset` counted as zero): 16-bit words added with end-around carry,
// folded to 16 bits, plus the file length.
uint32_t PeChecksum(std::string_view image, uint64_t checksumOffset);

// The bytes of a fixed-size resource up to its first zero byte (all of them when there is none):
// the text that an installer's instruction resource holds.
std::string_view TextUpToFirstZero(std::string_view data);

}  // namespace ombrel
