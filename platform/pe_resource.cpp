#include "platform/pe_resource.h"

#include <fmt/format.h>

#include <vector>

namespace ombrel {
namespace {

// Little-endian reads that answer false instead of reading past the end.
bool Read16(std::string_view data, uint64_t offset, uint16_t& value) {
    if (offset > data.size() || data.size() - offset < 2) return false;
    value = static_cast<uint16_t>(static_cast<unsigned char>(data[offset]) |
                                  static_cast<unsigned char>(data[offset + 1]) << 8);
    return true;
}

bool Read32(std::string_view data, uint64_t offset, uint32_t& value) {
    if (offset > data.size() || data.size() - offset < 4) return false;
    value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(data[offset + i]);
    return true;
}

constexpr uint16_t kPe32Magic = 0x10b;
constexpr uint16_t kPe32PlusMagic = 0x20b;
constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kSecurityDirectory = 4;
constexpr uint32_t kSubdirectoryFlag = 0x80000000u;
constexpr uint32_t kNamedEntryFlag = 0x80000000u;

struct TSection {
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawSize = 0;
    uint32_t rawOffset = 0;
};

// The headers of a PE file, as far as resources and the checksum need them.
struct TPeHeaders {
    uint64_t checksumOffset = 0;
    uint32_t resourceRva = 0;
    uint32_t resourceSize = 0;
    uint32_t securitySize = 0;
    std::vector<TSection> sections;
};

// Offset of the PE signature, or 0 when `file` is no PE file.
uint64_t PeSignatureOffset(std::string_view file) {
    uint32_t lfanew = 0;
    if (file.size() < 0x40 || file.substr(0, 2) != "MZ" || !Read32(file, 0x3c, lfanew)) return 0;
    if (lfanew < 0x40 || lfanew > file.size() || file.size() - lfanew < 4) return 0;
    if (file.substr(lfanew, 4) != std::string_view("PE\0\0", 4)) return 0;
    return lfanew;
}

bool ReadHeaders(std::string_view image, TPeHeaders& headers, std::string& error) {
    const uint64_t pe = PeSignatureOffset(image);
    if (pe == 0) {
        error = "not a Windows executable (no MZ header with a PE signature)";
        return false;
    }
    const uint64_t coff = pe + 4;
    uint16_t sectionCount = 0, optionalSize = 0, magic = 0;
    if (!Read16(image, coff + 2, sectionCount) || !Read16(image, coff + 16, optionalSize)) {
        error = "damaged PE file: the file header is cut off";
        return false;
    }
    const uint64_t optional = coff + 20;
    if (!Read16(image, optional, magic) || (magic != kPe32Magic && magic != kPe32PlusMagic)) {
        error = "damaged PE file: no PE32 or PE32+ optional header";
        return false;
    }
    // Both layouts keep CheckSum at 64; the data directories follow the count of them.
    const uint64_t countOffset = optional + (magic == kPe32Magic ? 92 : 108);
    const uint64_t directories = countOffset + 4;
    uint32_t directoryCount = 0;
    if (optionalSize < directories - optional || !Read32(image, countOffset, directoryCount) ||
        optional + optionalSize > image.size()) {
        error = "damaged PE file: the optional header is cut off";
        return false;
    }
    const uint64_t usable = (optionalSize - (directories - optional)) / 8;
    if (directoryCount > usable) directoryCount = static_cast<uint32_t>(usable);
    headers.checksumOffset = optional + 64;
    if (directoryCount > kResourceDirectory) {
        Read32(image, directories + 8 * kResourceDirectory, headers.resourceRva);
        Read32(image, directories + 8 * kResourceDirectory + 4, headers.resourceSize);
    }
    if (directoryCount > kSecurityDirectory) {
        Read32(image, directories + 8 * kSecurityDirectory + 4, headers.securitySize);
    }

    const uint64_t table = optional + optionalSize;
    if (table + 40ull * sectionCount > image.size()) {
        error = "damaged PE file: the section table is cut off";
        return false;
    }
    headers.sections.resize(sectionCount);
    for (uint16_t i = 0; i < sectionCount; ++i) {
        TSection& s = headers.sections[i];
        const uint64_t at = table + 40ull * i;
        Read32(image, at + 8, s.virtualSize);
        Read32(image, at + 12, s.virtualAddress);
        Read32(image, at + 16, s.rawSize);
        Read32(image, at + 20, s.rawOffset);
    }
    return true;
}

// The section whose raw data hold the address `rva`, or null.
const TSection* SectionOf(const TPeHeaders& headers, uint64_t rva) {
    for (const TSection& s : headers.sections) {
        if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize) return &s;
    }
    return nullptr;
}

// Maps `size` bytes at the address `rva` to a file offset; they must lie within one section's
// raw data, which must lie within the file.
bool RvaToOffset(const TPeHeaders& headers, uint64_t fileSize, uint64_t rva, uint64_t size,
                 uint64_t& offset) {
    const TSection* s = SectionOf(headers, rva);
    if (s == nullptr || uint64_t{s->rawOffset} + s->rawSize > fileSize) return false;
    const uint64_t into = rva - s->virtualAddress;
    if (size > s->rawSize - into) return false;
    offset = s->rawOffset + into;
    return true;
}

// A view of the resource section, with every offset checked against its size.
class TResourceTree {
  public:
    TResourceTree(std::string_view section) : iSection(section) {}

    struct TEntry {
        uint32_t name = 0;    // id, or with kNamedEntryFlag the offset of a name string
        uint32_t target = 0;  // with kSubdirectoryFlag a directory, otherwise a data entry
    };

    // The entries of the directory at `offset`.
    bool Entries(uint32_t offset, std::vector<TEntry>& entries) const {
        uint16_t named = 0, ids = 0;
        if (!Read16(iSection, uint64_t{offset} + 12, named) ||
            !Read16(iSection, uint64_t{offset} + 14, ids)) {
            return false;
        }
        entries.clear();
        const uint64_t first = uint64_t{offset} + 16;
        for (uint32_t i = 0; i < uint32_t{named} + ids; ++i) {
            TEntry entry;
            if (!Read32(iSection, first + 8ull * i, entry.name) ||
                !Read32(iSection, first + 8ull * i + 4, entry.target)) {
                return false;
            }
            entries.push_back(entry);
        }
        return true;
    }

    // Whether the name string at `offset` (a length and UTF-16 code units) equals `name`,
    // ignoring the case of ASCII letters.
    bool NameEquals(uint32_t offset, std::string_view name, bool& equal) const {
        uint16_t length = 0;
        if (!Read16(iSection, offset, length)) return false;
        equal = length == name.size();
        for (uint16_t i = 0; i < length; ++i) {
            uint16_t unit = 0;
            if (!Read16(iSection, uint64_t{offset} + 2 + 2ull * i, unit)) return false;
            if (!equal) continue;
            auto lower = [](uint16_t c) -> uint16_t { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
            if (lower(unit) != lower(static_cast<unsigned char>(name[i]))) equal = false;
        }
        return true;
    }

    bool DataEntry(uint32_t offset, uint32_t& rva, uint32_t& size) const {
        return Read32(iSection, offset, rva) && Read32(iSection, uint64_t{offset} + 4, size);
    }

  private:
    std::string_view iSection;
};

}  // namespace

TExecutableKind DetectExecutableKind(std::string_view file) {
    if (file.substr(0, 4) ==
        "\x7f"
        "ELF")
        return TExecutableKind::Elf;
    if (PeSignatureOffset(file) != 0) return TExecutableKind::Pe;
    return TExecutableKind::Unknown;
}

bool FindPeResource(std::string_view image, uint16_t type, std::string_view name,
                    TPeResourceSlot& slot, std::string& error) {
    slot = {};
    error.clear();
    TPeHeaders headers;
    if (!ReadHeaders(image, headers, error)) return false;
    const std::string what = fmt::format("no resource {} of type {}", name, type);
    if (headers.resourceRva == 0 || headers.resourceSize == 0) {
        error = what + " (the file has no resources)";
        return false;
    }
    uint64_t sectionOffset = 0;
    if (!RvaToOffset(headers, image.size(), headers.resourceRva, 16, sectionOffset)) {
        error = "damaged PE file: the resource directory lies outside the file's sections";
        return false;
    }
    // The directory's offsets are relative to its start and stay within its section.
    const TSection* section = SectionOf(headers, headers.resourceRva);
    const uint64_t available = section->rawSize - (headers.resourceRva - section->virtualAddress);
    const TResourceTree tree(image.substr(sectionOffset, available));
    const std::string damaged = "damaged PE file: the resource directory points outside itself";

    // Three levels: type, name, language.
    std::vector<TResourceTree::TEntry> entries;
    if (!tree.Entries(0, entries)) {
        error = damaged;
        return false;
    }
    uint32_t names = 0;
    bool foundType = false;
    for (const auto& entry : entries) {
        if (!(entry.name & kNamedEntryFlag) && entry.name == type &&
            (entry.target & kSubdirectoryFlag)) {
            names = entry.target & ~kSubdirectoryFlag;
            foundType = true;
            break;
        }
    }
    if (!foundType) {
        error = what;
        return false;
    }
    if (!tree.Entries(names, entries)) {
        error = damaged;
        return false;
    }
    uint32_t languages = 0;
    bool foundName = false;
    for (const auto& entry : entries) {
        if (!(entry.name & kNamedEntryFlag)) continue;
        bool equal = false;
        if (!tree.NameEquals(entry.name & ~kNamedEntryFlag, name, equal)) {
            error = damaged;
            return false;
        }
        if (!equal) continue;
        if (!(entry.target & kSubdirectoryFlag)) {
            error = damaged;
            return false;
        }
        languages = entry.target & ~kSubdirectoryFlag;
        foundName = true;
        break;
    }
    if (!foundName) {
        error = what;
        return false;
    }
    if (!tree.Entries(languages, entries)) {
        error = damaged;
        return false;
    }
    if (entries.size() != 1 || (entries[0].target & kSubdirectoryFlag)) {
        error = fmt::format(
            "resource {} of type {} is stored in {} languages; an installer must carry it once",
            name, type, entries.size());
        return false;
    }
    uint32_t dataRva = 0, dataSize = 0;
    if (!tree.DataEntry(entries[0].target, dataRva, dataSize)) {
        error = damaged;
        return false;
    }
    uint64_t dataOffset = 0;
    if (!RvaToOffset(headers, image.size(), dataRva, dataSize, dataOffset)) {
        error = fmt::format(
            "damaged PE file: the data of resource {} lie outside the file's "
            "sections",
            name);
        return false;
    }
    slot.offset = dataOffset;
    slot.size = dataSize;
    slot.checksumOffset = headers.checksumOffset;
    slot.isSigned = headers.securitySize != 0;
    return true;
}

uint32_t PeChecksum(std::string_view image, uint64_t checksumOffset) {
    const uint64_t size = image.size();
    auto byteAt = [&](uint64_t i) -> uint32_t {
        if (i >= size || (i >= checksumOffset && i - checksumOffset < 4)) return 0;
        return static_cast<unsigned char>(image[i]);
    };
    uint64_t sum = 0;
    for (uint64_t i = 0; i < size; i += 2) {
        sum += byteAt(i) | byteAt(i + 1) << 8;
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint32_t>(sum + size);
}

std::string_view TextUpToFirstZero(std::string_view data) {
    const size_t zero = data.find('\0');
    return zero == std::string_view::npos ? data : data.substr(0, zero);
}

}  // namespace ombrel
