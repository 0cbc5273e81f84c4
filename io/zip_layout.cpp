#include "io/zip_layout.h"

#include <algorithm>
#include <cstring>

#include <fmt/printf.h>
#include <zlib.h>

namespace ombrel {
namespace {

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kEnd64LocatorSignature = 0x07064b50;
constexpr uint32_t kEnd64Signature = 0x06064b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr size_t kEndSize = 22;
constexpr size_t kEnd64LocatorSize = 20;
constexpr size_t kEnd64Size = 56;
constexpr size_t kCentralSize = 46;
constexpr size_t kLocalSize = 30;
constexpr size_t kMaxComment = 0xFFFF;
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint16_t kUnicodePathExtraId = 0x7075;

uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint64_t Le64(const unsigned char* p) {
    return static_cast<uint64_t>(Le32(p)) | static_cast<uint64_t>(Le32(p + 4)) << 32;
}

// a + b, or false when it does not fit.
bool Add(uint64_t a, uint64_t b, uint64_t& sum) {
    sum = a + b;
    return sum >= a;
}

const char kDamaged[] = "damaged zip archive: ";

struct TEnd {
    uint64_t count = 0;
    uint64_t directorySize = 0;
    uint64_t directoryOffset = 0;
    uint64_t endOffset = 0;  // where the (ZIP64) end record begins: nothing of the data after it
};

std::string FindEnd(uint64_t fileSize, const TZipReadAt& read, TEnd& end, TZipLayoutFault& fault) {
    fault = TZipLayoutFault::NotAnArchive;
    if (fileSize < kEndSize) return std::string(kDamaged) + "no end of central directory";
    const uint64_t tail = std::min<uint64_t>(fileSize, kEndSize + kMaxComment);
    std::vector<unsigned char> buffer(tail);
    fault = TZipLayoutFault::Unreadable;
    if (!read(fileSize - tail, buffer.data(), buffer.size())) return "cannot read the archive";
    fault = TZipLayoutFault::NotAnArchive;
    // The last record whose comment reaches exactly to the end of the file.
    uint64_t found = UINT64_MAX;
    for (uint64_t i = tail - kEndSize + 1; i-- > 0;) {
        const unsigned char* p = buffer.data() + i;
        if (Le32(p) == kEndSignature && i + kEndSize + Le16(p + 20) == tail) {
            found = i;
            break;
        }
    }
    if (found == UINT64_MAX) return std::string(kDamaged) + "no end of central directory";
    const unsigned char* p = buffer.data() + found;
    fault = TZipLayoutFault::MultiPart;
    if (Le16(p + 4) != 0 || Le16(p + 6) != 0 || Le16(p + 8) != Le16(p + 10)) {
        return "archives in several parts are not supported";
    }
    fault = TZipLayoutFault::Damaged;
    end.count = Le16(p + 10);
    end.directorySize = Le32(p + 12);
    end.directoryOffset = Le32(p + 16);
    end.endOffset = fileSize - tail + found;

    // ZIP64: the locator right before the end record names the real end record.
    if (end.endOffset >= kEnd64LocatorSize) {
        unsigned char locator[kEnd64LocatorSize];
        if (!read(end.endOffset - kEnd64LocatorSize, locator, sizeof locator)) {
            fault = TZipLayoutFault::Unreadable;
            return "cannot read the archive";
        }
        if (Le32(locator) == kEnd64LocatorSignature) {
            const uint64_t offset = Le64(locator + 8);
            unsigned char record[kEnd64Size];
            if (offset > end.endOffset - kEnd64LocatorSize ||
                end.endOffset - kEnd64LocatorSize - offset < kEnd64Size ||
                !read(offset, record, sizeof record) || Le32(record) != kEnd64Signature) {
                return std::string(kDamaged) + "bad ZIP64 end of central directory";
            }
            if (Le32(record + 16) != 0 || Le32(record + 20) != 0 ||
                Le64(record + 24) != Le64(record + 32)) {
                fault = TZipLayoutFault::MultiPart;
                return "archives in several parts are not supported";
            }
            end.count = Le64(record + 32);
            end.directorySize = Le64(record + 40);
            end.directoryOffset = Le64(record + 48);
            end.endOffset = offset;
        }
    }
    uint64_t directoryEnd = 0;
    if (!Add(end.directoryOffset, end.directorySize, directoryEnd) ||
        directoryEnd > end.endOffset) {
        return std::string(kDamaged) + "central directory outside the archive";
    }
    // Every record takes at least its fixed part.
    if (end.count > end.directorySize / kCentralSize) {
        return std::string(kDamaged) + "more entries than the central directory holds";
    }
    return "";
}

// Takes the 64-bit values that a ZIP64 extra field holds for the 32-bit fields set to all ones.
bool ApplyZip64Extra(const unsigned char* extra, size_t length, TZipLayoutEntry& entry,
                     bool sizeIs64, bool compressedIs64, bool offsetIs64) {
    size_t pos = 0;
    while (pos + 4 <= length) {
        const uint16_t id = Le16(extra + pos);
        const uint16_t fieldLength = Le16(extra + pos + 2);
        pos += 4;
        if (fieldLength > length - pos) return false;
        if (id == kZip64ExtraId) {
            const unsigned char* field = extra + pos;
            size_t used = 0;
            const auto take = [&](uint64_t& value) {
                if (used + 8 > fieldLength) return false;
                value = Le64(field + used);
                used += 8;
                return true;
            };
            if (sizeIs64 && !take(entry.size)) return false;
            if (compressedIs64 && !take(entry.compressedSize)) return false;
            if (offsetIs64 && !take(entry.headerOffset)) return false;
            return true;
        }
        pos += fieldLength;
    }
    return !(sizeIs64 || compressedIs64 || offsetIs64);
}

// The name of an Info-ZIP Unicode Path field (version 1, CRC-32 of the stored name, UTF-8
// name), when there is one that belongs to the stored name.
std::string UnicodePath(const unsigned char* extra, size_t length, const std::string& rawName) {
    size_t pos = 0;
    while (pos + 4 <= length) {
        const uint16_t id = Le16(extra + pos);
        const uint16_t fieldLength = Le16(extra + pos + 2);
        pos += 4;
        if (fieldLength > length - pos) return "";
        if (id == kUnicodePathExtraId && fieldLength >= 5 && extra[pos] == 1) {
            const uint32_t crc = static_cast<uint32_t>(
                crc32_z(0, reinterpret_cast<const Bytef*>(rawName.data()), rawName.size()));
            if (Le32(extra + pos + 1) != crc) return "";
            return std::string(reinterpret_cast<const char*>(extra + pos + 5), fieldLength - 5);
        }
        pos += fieldLength;
    }
    return "";
}

std::string ReadDirectory(uint64_t fileSize, const TZipReadAt& read,
                          std::vector<TZipLayoutEntry>& entries, TZipLayoutFault& fault,
                          TEnd& end) {
    entries.clear();
    if (std::string error = FindEnd(fileSize, read, end, fault); !error.empty()) return error;

    std::vector<unsigned char> directory(end.directorySize);
    if (!directory.empty() && !read(end.directoryOffset, directory.data(), directory.size())) {
        fault = TZipLayoutFault::Unreadable;
        return "cannot read the archive";
    }
    fault = TZipLayoutFault::Damaged;
    entries.reserve(end.count);
    size_t pos = 0;
    for (uint64_t i = 0; i < end.count; ++i) {
        if (directory.size() - pos < kCentralSize) {
            return std::string(kDamaged) + "central directory cut short";
        }
        const unsigned char* p = directory.data() + pos;
        if (Le32(p) != kCentralSignature) {
            return std::string(kDamaged) + "bad central directory record";
        }
        const size_t nameLength = Le16(p + 28);
        const size_t extraLength = Le16(p + 30);
        const size_t commentLength = Le16(p + 32);
        const size_t recordLength = kCentralSize + nameLength + extraLength + commentLength;
        if (directory.size() - pos < recordLength) {
            return std::string(kDamaged) + "central directory cut short";
        }
        TZipLayoutEntry entry;
        entry.rawName.assign(reinterpret_cast<const char*>(p + kCentralSize), nameLength);
        entry.compressedSize = Le32(p + 20);
        entry.size = Le32(p + 24);
        entry.headerOffset = Le32(p + 42);
        entry.host = p[5];
        entry.flags = Le16(p + 8);
        entry.method = Le16(p + 10);
        entry.dosTime = Le16(p + 12);
        entry.dosDate = Le16(p + 14);
        entry.crc = Le32(p + 16);
        entry.externalAttributes = Le32(p + 38);
        entry.unicodeName = UnicodePath(p + kCentralSize + nameLength, extraLength, entry.rawName);
        if (!ApplyZip64Extra(p + kCentralSize + nameLength, extraLength, entry,
                             entry.size == 0xFFFFFFFF, entry.compressedSize == 0xFFFFFFFF,
                             entry.headerOffset == 0xFFFFFFFF)) {
            return std::string(kDamaged) + "bad ZIP64 field of " + entry.rawName;
        }
        entries.push_back(std::move(entry));
        pos += recordLength;
    }
    fault = TZipLayoutFault::None;
    return "";
}

}  // namespace

std::string ReadZipDirectory(uint64_t fileSize, const TZipReadAt& read,
                             std::vector<TZipLayoutEntry>& entries, TZipLayoutFault& fault) {
    TEnd end;
    return ReadDirectory(fileSize, read, entries, fault, end);
}

std::string ReadZipLayout(uint64_t fileSize, const TZipReadAt& read,
                          std::vector<TZipLayoutEntry>& entries) {
    TZipLayoutFault fault;
    TEnd end;
    if (std::string error = ReadDirectory(fileSize, read, entries, fault, end); !error.empty()) {
        return error;
    }

    for (TZipLayoutEntry& entry : entries) {
        unsigned char local[kLocalSize];
        uint64_t headerEnd = 0;
        if (!Add(entry.headerOffset, kLocalSize, headerEnd) || headerEnd > end.directoryOffset ||
            !read(entry.headerOffset, local, sizeof local) || Le32(local) != kLocalSignature) {
            return std::string(kDamaged) + "no local header for " + entry.rawName;
        }
        uint64_t dataEnd = 0;
        if (!Add(headerEnd, uint64_t{Le16(local + 26)} + Le16(local + 28), entry.dataOffset) ||
            !Add(entry.dataOffset, entry.compressedSize, dataEnd) ||
            dataEnd > end.directoryOffset) {
            return std::string(kDamaged) + "data of " + entry.rawName + " outside the archive";
        }
    }
    return "";
}

std::string CheckZipLayout(uint64_t fileSize, const TZipReadAt& read, const TZipLimits& limits,
                           std::vector<TZipLayoutEntry>& entries) {
    if (std::string error = ReadZipLayout(fileSize, read, entries); !error.empty()) {
        return error;
    }
    if (entries.size() > limits.maxEntries) {
        return fmt::sprintf("zip archive refused: %d entries, more than %d",
                            static_cast<unsigned long long>(entries.size()),
                            static_cast<unsigned long long>(limits.maxEntries));
    }

    // In the order of their place in the file, each entry must end before the next begins.
    std::vector<const TZipLayoutEntry*> byOffset;
    byOffset.reserve(entries.size());
    for (const auto& entry : entries) byOffset.push_back(&entry);
    std::sort(byOffset.begin(), byOffset.end(), [](const auto* a, const auto* b) {
        return a->headerOffset < b->headerOffset;
    });
    for (size_t i = 1; i < byOffset.size(); ++i) {
        const TZipLayoutEntry& before = *byOffset[i - 1];
        const TZipLayoutEntry& after = *byOffset[i];
        if (before.dataOffset + before.compressedSize > after.headerOffset) {
            return fmt::sprintf("zip archive refused: entries %s and %s overlap", before.rawName,
                                after.rawName);
        }
    }

    uint64_t total = 0;
    for (const auto& entry : entries) {
        if (entry.size > limits.ratioFloor &&
            entry.size / limits.maxRatio > std::max<uint64_t>(entry.compressedSize, 1)) {
            return fmt::sprintf(
                "zip archive refused: %s unpacks to %d bytes from %d, more than %d times as many",
                entry.rawName, static_cast<unsigned long long>(entry.size),
                static_cast<unsigned long long>(entry.compressedSize),
                static_cast<unsigned long long>(limits.maxRatio));
        }
        if (!Add(total, entry.size, total) || total > limits.maxTotalSize) {
            return fmt::sprintf("zip archive refused: it unpacks to more than %d bytes",
                                static_cast<unsigned long long>(limits.maxTotalSize));
        }
    }
    if (total > limits.ratioFloor && total / limits.maxRatio > std::max<uint64_t>(fileSize, 1)) {
        return fmt::sprintf(
            "zip archive refused: it unpacks to %d bytes from %d, more than %d times as many",
            static_cast<unsigned long long>(total), static_cast<unsigned long long>(fileSize),
            static_cast<unsigned long long>(limits.maxRatio));
    }
    return "";
}

}  // namespace ombrel
