#include "platform/executable_stamp.h"

#include <fmt/format.h>

#include <cstdio>
#include <memory>

#include "platform/file_replace.h"
#include "platform/resource_trailer.h"

namespace ombrel {
namespace {

// Installers are a few megabytes; anything far beyond is no installer of ours.
constexpr uint64_t kMaxInstallerSize = 256ull << 20;

struct TFileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Reads up to `limit` bytes of `file`; `whole` says whether that was all of it.
bool ReadHead(const std::string& file, uint64_t limit, std::string& bytes, bool& whole,
              std::string& error) {
    bytes.clear();
    std::unique_ptr<std::FILE, TFileCloser> in(std::fopen(file.c_str(), "rb"));
    if (!in) {
        error = fmt::format("cannot open \"{}\"", file);
        return false;
    }
    char chunk[1 << 16];
    whole = false;
    while (bytes.size() < limit) {
        const size_t want =
            static_cast<size_t>(std::min<uint64_t>(sizeof chunk, limit - bytes.size()));
        const size_t got = std::fread(chunk, 1, want, in.get());
        bytes.append(chunk, got);
        if (got < want) {
            if (std::ferror(in.get())) {
                error = fmt::format("cannot read \"{}\"", file);
                return false;
            }
            whole = true;
            return true;
        }
    }
    whole = std::fgetc(in.get()) == EOF && !std::ferror(in.get());
    return true;
}

std::string NeitherKind(const std::string& file) {
    return fmt::format("\"{}\" is neither a Linux (ELF) nor a Windows (PE) executable", file);
}

// Reads a whole Windows installer and finds its instruction slot.
bool ReadPeInstaller(const std::string& file, std::string& image, TPeResourceSlot& slot,
                     std::string& error) {
    bool whole = false;
    if (!ReadHead(file, kMaxInstallerSize, image, whole, error)) return false;
    if (!whole) {
        error = fmt::format("\"{}\" is larger than {} MiB, too large for an installer", file,
                            kMaxInstallerSize >> 20);
        return false;
    }
    std::string reason;
    if (!FindPeResource(image, kRtRcData, kPeInstructionName, slot, reason)) {
        error = fmt::format("\"{}\" is a Windows executable but no installer: {}", file, reason);
        return false;
    }
    return true;
}

}  // namespace

bool DetectExecutableFileKind(const std::string& file, TExecutableKind& kind, std::string& error) {
    // The PE signature sits where the DOS header points, normally within the first few hundred
    // bytes; 64 KiB covers any linker's stub.
    std::string head;
    bool whole = false;
    if (!ReadHead(file, 1 << 16, head, whole, error)) return false;
    kind = DetectExecutableKind(head);
    return true;
}

bool ReadStampedInstruction(const std::string& file, std::string& bytes, std::string& error) {
    bytes.clear();
    error.clear();
    TExecutableKind kind = TExecutableKind::Unknown;
    if (!DetectExecutableFileKind(file, kind, error)) return false;
    switch (kind) {
        case TExecutableKind::Elf:
            return ReadResourceTrailer(file, kInstructionResourceName, bytes, error);
        case TExecutableKind::Pe: {
            std::string image;
            TPeResourceSlot slot;
            if (!ReadPeInstaller(file, image, slot, error)) return false;
            bytes = TextUpToFirstZero(std::string_view(image).substr(slot.offset, slot.size));
            return true;
        }
        case TExecutableKind::Unknown:
            break;
    }
    error = NeitherKind(file);
    return false;
}

bool StampInstruction(const std::string& input, const std::string& output, std::string_view bytes,
                      std::string& error) {
    error.clear();
    TExecutableKind kind = TExecutableKind::Unknown;
    if (!DetectExecutableFileKind(input, kind, error)) return false;
    if (kind == TExecutableKind::Elf) return WriteResourceTrailer(input, output, bytes, error);
    if (kind != TExecutableKind::Pe) {
        error = NeitherKind(input);
        return false;
    }

    std::string image;
    TPeResourceSlot slot;
    if (!ReadPeInstaller(input, image, slot, error)) return false;
    if (slot.isSigned) {
        error = fmt::format(
            "\"{}\" is signed, and stamping would break its signature: stamp the unsigned "
            "installer, then sign the stamped copy",
            input);
        return false;
    }
    if (bytes.find('\0') != std::string_view::npos) {
        error =
            "the instruction contains a zero byte, where a Windows installer's instruction "
            "ends; use a text without zero bytes (UTF-8, not UTF-16)";
        return false;
    }
    if (bytes.size() > slot.size) {
        error = fmt::format(
            "the instruction ({} bytes) does not fit into the INSTRUCTION resource of \"{}\" "
            "({} bytes)",
            bytes.size(), input, slot.size);
        return false;
    }
    image.replace(slot.offset, bytes.size(), bytes);
    image.replace(slot.offset + bytes.size(), slot.size - bytes.size(), slot.size - bytes.size(),
                  '\0');
    const uint32_t checksum = PeChecksum(image, slot.checksumOffset);
    for (int i = 0; i < 4; ++i) {
        image[slot.checksumOffset + i] = static_cast<char>(checksum >> (8 * i) & 0xff);
    }
    return ReplaceFileContent(output, image, input, error);
}

}  // namespace ombrel
