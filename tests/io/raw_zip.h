#pragma once
// Builds zip archives byte by byte, for archives that no honest writer makes: entries that
// share data, names that repeat, directories that point anywhere. Entries are stored (not
// compressed) unless their data are given already deflated.

#include <zlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ombrel::testing {

class RawZip {
  public:
    struct Entry {
        std::string name;
        std::string data;  // as stored
        uint64_t size = 0;  // uncompressed size to declare
        uint32_t crc = 0;
        uint16_t method = 0;
        uint64_t headerOffset = 0;
        uint16_t flags = 0x0800;  // UTF-8 names
        uint8_t host = 0;         // made by MS-DOS
        uint32_t externalAttributes = 0;
        uint16_t dosTime = 0;
        uint16_t dosDate = 0x21;  // 1980-01-01
    };

    // Appends a local header and the data of a stored entry; answers its index.
    size_t AddStored(const std::string& name, const std::string& data) {
        return AddRaw(name, data, data.size(), Crc(data), 0);
    }
    // Appends a local header and data as given, declaring `size` and `crc`.
    size_t AddRaw(const std::string& name, const std::string& stored, uint64_t size, uint32_t crc,
                  uint16_t method) {
        Entry entry{name, stored, size, crc, method, bytes.size()};
        bytes += LocalHeader(entry);
        bytes += stored;
        entries.push_back(entry);
        return entries.size() - 1;
    }
    // Appends a local header and the data of an entry described in full (its offset is set).
    size_t Add(Entry entry) {
        entry.headerOffset = bytes.size();
        bytes += LocalHeader(entry);
        bytes += entry.data;
        entries.push_back(entry);
        return entries.size() - 1;
    }
    // Lists an entry in the central directory once more, at the same place under another name.
    void AddReference(size_t index, const std::string& name) {
        Entry entry = entries.at(index);
        entry.name = name;
        entries.push_back(entry);
    }
    // Lists an entry in the central directory only, wherever it claims to lie.
    void AddListing(const Entry& entry) { entries.push_back(entry); }
    // Appends raw bytes (for example another entry's header and data inside an entry's data).
    void AppendBytes(const std::string& raw) { bytes += raw; }
    uint64_t Size() const { return bytes.size(); }

    // The local header and data an entry would get, for embedding.
    static std::string StoredEntryBytes(const std::string& name, const std::string& data) {
        return LocalHeader(Entry{name, data, data.size(), Crc(data), 0, 0}) + data;
    }

    // Central directory and end record behind everything appended so far.
    std::string Finish() const {
        std::string out = bytes;
        const uint64_t directoryOffset = out.size();
        for (const Entry& e : entries) {
            std::string r;
            Le32(r, 0x02014b50);
            Le16(r, static_cast<uint16_t>(e.host << 8 | 20));
            Le16(r, 20);
            Le16(r, e.flags);
            Le16(r, e.method);
            Le16(r, e.dosTime);
            Le16(r, e.dosDate);
            Le32(r, e.crc);
            Le32(r, static_cast<uint32_t>(e.data.size()));
            Le32(r, static_cast<uint32_t>(e.size));
            Le16(r, static_cast<uint16_t>(e.name.size()));
            Le16(r, 0);
            Le16(r, 0);
            Le16(r, 0);
            Le16(r, 0);
            Le32(r, e.externalAttributes);
            Le32(r, static_cast<uint32_t>(e.headerOffset));
            out += r + e.name;
        }
        const uint64_t directorySize = out.size() - directoryOffset;
        std::string end;
        Le32(end, 0x06054b50);
        Le16(end, 0);
        Le16(end, 0);
        Le16(end, static_cast<uint16_t>(entries.size()));
        Le16(end, static_cast<uint16_t>(entries.size()));
        Le32(end, static_cast<uint32_t>(directorySize));
        Le32(end, static_cast<uint32_t>(directoryOffset));
        Le16(end, 0);
        return out + end;
    }

    static uint32_t Crc(const std::string& data) {
        return static_cast<uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    }

  private:
    static void Le16(std::string& out, uint16_t v) {
        out += static_cast<char>(v & 0xFF);
        out += static_cast<char>(v >> 8);
    }
    static void Le32(std::string& out, uint32_t v) {
        Le16(out, static_cast<uint16_t>(v & 0xFFFF));
        Le16(out, static_cast<uint16_t>(v >> 16));
    }
    static std::string LocalHeader(const Entry& e) {
        std::string h;
        Le32(h, 0x04034b50);
        Le16(h, 20);
        Le16(h, e.flags);
        Le16(h, e.method);
        Le16(h, e.dosTime);
        Le16(h, e.dosDate);
        Le32(h, e.crc);
        Le32(h, static_cast<uint32_t>(e.data.size()));
        Le32(h, static_cast<uint32_t>(e.size));
        Le16(h, static_cast<uint16_t>(e.name.size()));
        Le16(h, 0);
        return h + e.name;
    }

    std::string bytes;
    std::vector<Entry> entries;
};

}  // namespace ombrel::testing
