// Finding resources in Windows executables through their resource directory, on hand-made
// images (both PE32 and PE32+, every level of the directory damaged in turn) and on executables
// made by a real linker; and the stamping of the instruction into them.

#include "platform/pe_resource.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/executable_stamp.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace {

using testing::ReadFileBytes;
using testing::TempFolder;
using testing::WriteFileBytes;

void Put16(std::string& image, size_t at, uint32_t value) {
    image[at] = static_cast<char>(value & 0xff);
    image[at + 1] = static_cast<char>(value >> 8 & 0xff);
}

void Put32(std::string& image, size_t at, uint32_t value) {
    Put16(image, at, value & 0xffff);
    Put16(image, at + 2, value >> 16);
}

uint32_t Get32(const std::string& image, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(image[at + i]);
    return value;
}

// A resource of a hand-made image: type id, name (a string, or "#n" for the id n), the number of
// languages it is stored in, and its data.
struct TResource {
    uint16_t type;
    std::string name;
    int languages;
    std::string data;
};

// Fixed places of the hand-made images.
constexpr size_t kPeOffset = 0x80;
constexpr size_t kSectionRaw = 0x400;
constexpr uint32_t kSectionRva = 0x3000;

size_t OptionalSize(bool pe32Plus) {
    return pe32Plus ? 240 : 224;
}
size_t OptionalHeader() {
    return kPeOffset + 24;
}
size_t ChecksumOffset() {
    return OptionalHeader() + 64;
}
size_t DirectoryOffset(bool pe32Plus, int index) {
    return OptionalHeader() + (pe32Plus ? 112 : 96) + 8 * index;
}

// Builds a PE image with one section, ".rsrc", holding a resource directory of three levels
// (type, name, language) for `resources`, each type and name listed once, in the given order.
std::string BuildImage(bool pe32Plus, const std::vector<TResource>& resources,
                       uint32_t certificateSize = 0) {
    // The section: directories first, then data entries, name strings and data.
    std::string section;
    auto reserve = [&](size_t size) {
        const size_t at = section.size();
        section.append(size, '\0');
        return at;
    };
    auto directory = [&](size_t named, size_t ids) {
        const size_t at = reserve(16 + 8 * (named + ids));
        Put16(section, at + 12, static_cast<uint32_t>(named));
        Put16(section, at + 14, static_cast<uint32_t>(ids));
        return at;
    };
    std::vector<uint16_t> types;
    for (const auto& r : resources) {
        if (std::find(types.begin(), types.end(), r.type) == types.end()) types.push_back(r.type);
    }
    const size_t root = directory(0, types.size());
    for (size_t t = 0; t < types.size(); ++t) {
        std::vector<const TResource*> ofType;
        for (const auto& r : resources) {
            if (r.type == types[t]) ofType.push_back(&r);
        }
        size_t named = 0;
        for (const auto* r : ofType) named += r->name[0] != '#';
        const size_t names = directory(named, ofType.size() - named);
        Put32(section, root + 16 + 8 * t, types[t]);
        Put32(section, root + 20 + 8 * t, 0x80000000u | static_cast<uint32_t>(names));
        for (size_t n = 0; n < ofType.size(); ++n) {
            const TResource& r = *ofType[n];
            const size_t languages = directory(0, r.languages);
            const size_t entry = names + 16 + 8 * n;
            if (r.name[0] == '#') {
                Put32(section, entry, static_cast<uint32_t>(std::stoul(r.name.substr(1))));
            } else {
                const size_t string = reserve(2 + 2 * r.name.size());
                Put16(section, string, static_cast<uint32_t>(r.name.size()));
                for (size_t i = 0; i < r.name.size(); ++i) {
                    Put16(section, string + 2 + 2 * i, static_cast<unsigned char>(r.name[i]));
                }
                Put32(section, entry, 0x80000000u | static_cast<uint32_t>(string));
            }
            Put32(section, entry + 4, 0x80000000u | static_cast<uint32_t>(languages));
            for (int l = 0; l < r.languages; ++l) {
                const size_t dataEntry = reserve(16);
                while (section.size() % 8 != 0) section.push_back('\0');
                const size_t data = section.size();
                section += r.data;
                Put32(section, languages + 16 + 8 * l, 1031 + l);
                Put32(section, languages + 20 + 8 * l, static_cast<uint32_t>(dataEntry));
                Put32(section, dataEntry, kSectionRva + static_cast<uint32_t>(data));
                Put32(section, dataEntry + 4, static_cast<uint32_t>(r.data.size()));
            }
        }
    }
    while (section.size() % 0x200 != 0) section.push_back('\0');

    std::string image(kSectionRaw, '\0');
    image[0] = 'M';
    image[1] = 'Z';
    Put32(image, 0x3c, kPeOffset);
    image.replace(kPeOffset, 4, std::string("PE\0\0", 4));
    Put16(image, kPeOffset + 4, pe32Plus ? 0x8664 : 0x14c);
    Put16(image, kPeOffset + 6, 1);
    Put16(image, kPeOffset + 20, static_cast<uint32_t>(OptionalSize(pe32Plus)));
    Put16(image, OptionalHeader(), pe32Plus ? 0x20b : 0x10b);
    Put32(image, OptionalHeader() + (pe32Plus ? 108 : 92), 16);
    Put32(image, DirectoryOffset(pe32Plus, 2), kSectionRva);
    Put32(image, DirectoryOffset(pe32Plus, 2) + 4, static_cast<uint32_t>(section.size()));
    const size_t header = OptionalHeader() + OptionalSize(pe32Plus);
    image.replace(header, 5, ".rsrc");
    Put32(image, header + 8, static_cast<uint32_t>(section.size()));
    Put32(image, header + 12, kSectionRva);
    Put32(image, header + 16, static_cast<uint32_t>(section.size()));
    Put32(image, header + 20, kSectionRaw);
    image += section;
    if (certificateSize != 0) {
        Put32(image, DirectoryOffset(pe32Plus, 4), static_cast<uint32_t>(image.size()));
        Put32(image, DirectoryOffset(pe32Plus, 4) + 4, certificateSize);
        image.append(certificateSize, '\x5a');
    }
    return image;
}

std::string Slot(size_t capacity) {
    return std::string(1, '\0') + "MARK" + std::string(capacity - 5, '\0');
}

// The resource's data as FindPeResource locates them, or "error: ..." .
std::string Locate(const std::string& image, const std::string& name = kPeInstructionName,
                   uint16_t type = kRtRcData) {
    TPeResourceSlot slot;
    std::string error;
    if (!FindPeResource(image, type, name, slot, error)) return "error: " + error;
    EXPECT_LE(slot.offset + slot.size, image.size());
    return image.substr(slot.offset, slot.size);
}

TEST(PeResource, FindsTheResourceByTypeAndNameInBothImageFormats) {
    for (bool pe32Plus : {false, true}) {
        SCOPED_TRACE(pe32Plus ? "PE32+" : "PE32");
        const std::string image = BuildImage(pe32Plus, {{3, "#1", 1, "icon"},
                                                        {kRtRcData, "OTHER", 1, "other data"},
                                                        {kRtRcData, "#7", 1, "numbered"},
                                                        {kRtRcData, "instruction", 1, Slot(64)},
                                                        {24, "#1", 1, "<manifest/>"}});
        EXPECT_EQ(DetectExecutableKind(image), TExecutableKind::Pe);
        EXPECT_EQ(Locate(image), Slot(64));  // names compare without regard to case
        EXPECT_EQ(Locate(image, "Other"), "other data");
        EXPECT_EQ(Locate(image, "OTHER", 3), "error: no resource OTHER of type 3");
        EXPECT_EQ(Locate(image, "INSTRUCTIONS"), "error: no resource INSTRUCTIONS of type 10");
        TPeResourceSlot slot;
        std::string error;
        ASSERT_TRUE(FindPeResource(image, kRtRcData, "INSTRUCTION", slot, error));
        EXPECT_EQ(slot.checksumOffset, ChecksumOffset());
        EXPECT_FALSE(slot.isSigned);
    }
}

TEST(PeResource, RefusesWhatIsNoSingleResourceOfAnIntactImage) {
    struct Case {
        const char* name;
        std::string image;
        std::string error;
    };
    const std::string good = BuildImage(true, {{kRtRcData, "INSTRUCTION", 1, Slot(64)}});
    auto patched = [&](size_t at, uint32_t value) {
        std::string image = good;
        Put32(image, at, value);
        return image;
    };
    const size_t rsrc = kSectionRaw;
    const Case cases[] = {
        {"empty", "", "error: not a Windows executable (no MZ header with a PE signature)"},
        {"text", std::string(200, 'x'),
         "error: not a Windows executable (no MZ header with a PE signature)"},
        {"ELF",
         "\x7f"
         "ELF" +
             std::string(200, '\0'),
         "error: not a Windows executable (no MZ header with a PE signature)"},
        {"DOS header only", good.substr(0, 0x40),
         "error: not a Windows executable (no MZ header with a PE signature)"},
        {"PE offset past the end", patched(0x3c, 0x7fffffff),
         "error: not a Windows executable (no MZ header with a PE signature)"},
        {"cut in the file header", good.substr(0, kPeOffset + 10),
         "error: damaged PE file: the file header is cut off"},
        {"cut in the optional header", good.substr(0, OptionalHeader() + 40),
         "error: damaged PE file: the optional header is cut off"},
        {"unknown optional header", patched(OptionalHeader(), 0x1234),
         "error: damaged PE file: no PE32 or PE32+ optional header"},
        {"cut in the section table", good.substr(0, OptionalHeader() + 240 + 20),
         "error: damaged PE file: the section table is cut off"},
        {"no resources", patched(DirectoryOffset(true, 2) + 4, 0),
         "error: no resource INSTRUCTION of type 10 (the file has no resources)"},
        {"resource directory outside the sections", patched(DirectoryOffset(true, 2), 0x9000),
         "error: damaged PE file: the resource directory lies outside the file's sections"},
        {"section cut off", good.substr(0, rsrc + 0x10),
         "error: damaged PE file: the resource directory lies outside the file's sections"},
        {"type directory beyond the section", patched(rsrc + 20, 0x80000000u | 0xfff0),
         "error: damaged PE file: the resource directory points outside itself"},
        {"too many root entries", patched(rsrc + 12, 0xffff0000u),
         "error: damaged PE file: the resource directory points outside itself"},
        {"data beyond the section", patched(rsrc + 0x60, kSectionRva + 0x7000),
         "error: damaged PE file: the data of resource INSTRUCTION lie outside the file's "
         "sections"},
        {"data longer than the section", patched(rsrc + 0x64, 0x100000),
         "error: damaged PE file: the data of resource INSTRUCTION lie outside the file's "
         "sections"},
        {"two languages", BuildImage(true, {{kRtRcData, "INSTRUCTION", 2, Slot(64)}}),
         "error: resource INSTRUCTION of type 10 is stored in 2 languages; an installer must carry "
         "it once"},
        {"only numbered", BuildImage(true, {{kRtRcData, "#1", 1, Slot(64)}}),
         "error: no resource INSTRUCTION of type 10"},
    };
    // The layout the patches above rely on: root, name and language directories, data entry.
    ASSERT_EQ(Get32(good, rsrc + 0x60), kSectionRva + 0x70);
    for (const auto& c : cases) {
        EXPECT_EQ(Locate(c.image), c.error) << c.name;
    }
}

TEST(PeResource, DamageAnywhereInTheHeadersIsRefusedOrStaysInBounds) {
    // Every byte of the headers and of the directory, set to each of a few values: the answer is
    // a refusal or data within the file, never a read outside it.
    for (bool pe32Plus : {false, true}) {
        const std::string good =
            BuildImage(pe32Plus, {{3, "#1", 1, "icon"}, {kRtRcData, "INSTRUCTION", 1, Slot(64)}});
        const size_t end = kSectionRaw + 0xa0;
        for (size_t at = 0; at < end; ++at) {
            if (at == kPeOffset + 0x140) at = kSectionRaw;  // nothing between the headers
            for (unsigned char value : {0x00, 0x01, 0x7f, 0x80, 0xff}) {
                std::string image = good;
                image[at] = static_cast<char>(value);
                TPeResourceSlot slot;
                std::string error;
                if (FindPeResource(image, kRtRcData, "INSTRUCTION", slot, error)) {
                    EXPECT_LE(slot.offset + slot.size, image.size()) << at << "=" << int(value);
                } else {
                    EXPECT_FALSE(error.empty()) << at << "=" << int(value);
                }
            }
        }
    }
}

TEST(PeResource, ChecksumSkipsItsOwnFieldAndCountsTheLength) {
    struct Case {
        std::string image;
        uint64_t checksumOffset;
        uint32_t checksum;
    };
    const Case cases[] = {
        {"", 0, 0},
        {"\x01\x02", 100, 0x0201 + 2},
        {"\xff\xff\xff\xff", 100, 0xffff + 4},     // end-around carry: 0xffff + 0xffff folds
        {"\x01\x02\x03", 100, 0x0201 + 0x03 + 3},  // an odd last byte counts alone
        {std::string("\x10\x00\xaa\xbb\xcc\xdd\x20\x00", 8), 2, 0x30 + 8},  // its field skipped
        {"\x01\x02\x03", 1, 0x01 + 3},  // a field at an odd offset
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PeChecksum(c.image, c.checksumOffset), c.checksum)
            << ::testing::PrintToString(c.image);
    }
}

TEST(PeResource, TextEndsAtTheFirstZero) {
    EXPECT_EQ(TextUpToFirstZero(std::string("abc\0def", 7)), "abc");
    EXPECT_EQ(TextUpToFirstZero(std::string("\0abc", 4)), "");
    EXPECT_EQ(TextUpToFirstZero("abc"), "abc");
}

TEST(ExecutableKind, IsToldByTheHeaders) {
    const std::pair<std::string, TExecutableKind> cases[] = {
        {"\x7f"
         "ELF\x02\x01\x01",
         TExecutableKind::Elf},
        {BuildImage(false, {}), TExecutableKind::Pe},
        {"MZ" + std::string(100, '\0'), TExecutableKind::Unknown},  // a DOS program
        {"#!/bin/sh\n", TExecutableKind::Unknown},
        {"", TExecutableKind::Unknown},
    };
    for (const auto& [file, kind] : cases) {
        EXPECT_EQ(DetectExecutableKind(file), kind) << ::testing::PrintToString(file);
    }
}

#ifdef OMBREL_PE_FIXTURE_DIR

// Stamping executables that a real linker made.
class PeStampTest : public ::testing::Test {
  protected:
    void SetUp() override {
        probe = folder / "probe.exe";
        std::filesystem::copy_file(std::string(OMBREL_PE_FIXTURE_DIR) + "/pe_probe.exe", probe);
        ::chmod(probe.c_str(), 0755);
        pristine = ReadFileBytes(probe);
    }

    std::string Read(const std::string& file) {
        std::string bytes, error;
        if (!ReadStampedInstruction(file, bytes, error)) return "error: " + error;
        return bytes;
    }

    TPeResourceSlot SlotOf(const std::string& image) {
        TPeResourceSlot slot;
        std::string error;
        EXPECT_TRUE(FindPeResource(image, kRtRcData, kPeInstructionName, slot, error)) << error;
        return slot;
    }

    TempFolder folder;
    std::string probe;
    std::string pristine;
};

TEST_F(PeStampTest, StampsIntoTheSlotAndKeepsEverythingElse) {
    const TPeResourceSlot slot = SlotOf(pristine);
    EXPECT_EQ(slot.size, static_cast<uint32_t>(OMBREL_INSTRUCTION_CAPACITY));
    // The linker wrote the checksum; ours agrees with it.
    EXPECT_EQ(PeChecksum(pristine, slot.checksumOffset), Get32(pristine, slot.checksumOffset));
    EXPECT_EQ(Read(probe), "");  // never stamped

    const std::string out = folder / "stamped.exe";
    std::string error;
    const std::string first(3000, 'a');
    ASSERT_TRUE(StampInstruction(probe, out, first, error)) << error;
    EXPECT_EQ(Read(out), first);
    const std::string image = ReadFileBytes(out);
    ASSERT_EQ(image.size(), pristine.size());
    for (size_t i = 0; i < image.size(); ++i) {
        const bool inSlot = i >= slot.offset && i < slot.offset + slot.size;
        const bool inChecksum = i >= slot.checksumOffset && i < slot.checksumOffset + 4;
        if (!inSlot && !inChecksum && image[i] != pristine[i]) {
            ADD_FAILURE() << "byte " << i << " changed outside the slot";
            break;
        }
    }
    EXPECT_EQ(Get32(image, slot.checksumOffset), PeChecksum(image, slot.checksumOffset));
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    // Restamping in place with a shorter text leaves nothing of the longer one.
    ASSERT_TRUE(StampInstruction(out, out, "short", error)) << error;
    EXPECT_EQ(Read(out), "short");
    const std::string again = ReadFileBytes(out);
    EXPECT_EQ(again.substr(slot.offset + 5, slot.size - 5), std::string(slot.size - 5, '\0'));
    EXPECT_EQ(Get32(again, slot.checksumOffset), PeChecksum(again, slot.checksumOffset));

    // The whole capacity can be used.
    const std::string full(slot.size, 'z');
    ASSERT_TRUE(StampInstruction(probe, out, full, error)) << error;
    EXPECT_EQ(Read(out), full);
}

TEST_F(PeStampTest, RefusalsLeaveNoOutput) {
    const std::string plain = folder / "plain.exe";
    std::filesystem::copy_file(std::string(OMBREL_PE_FIXTURE_DIR) + "/pe_plain.exe", plain);
    const std::string text = folder.Write("notes.txt", "just some text, no program");
    // A signed copy: the certificate table's entry set, a certificate appended.
    std::string signedImage = pristine;
    const TPeResourceSlot slot = SlotOf(pristine);
    const size_t security = slot.checksumOffset - 64 + 112 + 8 * 4;
    Put32(signedImage, security, static_cast<uint32_t>(signedImage.size()));
    Put32(signedImage, security + 4, 16);
    signedImage.append(16, '\x30');
    const std::string signedFile = folder.Write("signed.exe", signedImage);

    struct Case {
        const char* name;
        std::string input;
        std::string bytes;
        std::string error;
    };
    const Case cases[] = {
        {"too large", probe, std::string(slot.size + 1, 'a'),
         "the instruction (16385 bytes) does not fit into the INSTRUCTION resource of \"" + probe +
             "\" (16384 bytes)"},
        {"zero byte", probe, std::string("ab\0cd", 5), "the instruction contains a zero byte"},
        {"no slot", plain, "x",
         "\"" + plain +
             "\" is a Windows executable but no installer: no resource INSTRUCTION of type 10"},
        {"not an executable", text, "x",
         "\"" + text + "\" is neither a Linux (ELF) nor a Windows (PE) executable"},
        {"signed", signedFile, "x",
         "\"" + signedFile + "\" is signed, and stamping would break its signature"},
        {"missing", folder / "absent.exe", "x", "cannot open"},
    };
    for (const auto& c : cases) {
        const std::string out = folder / "out.exe";
        std::string error;
        EXPECT_FALSE(StampInstruction(c.input, out, c.bytes, error)) << c.name;
        EXPECT_EQ(error.substr(0, c.error.size()), c.error) << c.name;
        EXPECT_FALSE(std::filesystem::exists(out)) << c.name;
    }
    // The signed file still shows what it carries; the others are no installers.
    EXPECT_EQ(Read(signedFile), "");
    EXPECT_EQ(Read(text).rfind("error: \"" + text + "\" is neither", 0), 0u);
    EXPECT_EQ(
        Read(plain).rfind("error: \"" + plain + "\" is a Windows executable but no installer", 0),
        0u);
    // An existing output stays as it was.
    const std::string existing = folder.Write("existing.exe", "keep");
    std::string error;
    EXPECT_FALSE(StampInstruction(probe, existing, std::string(slot.size + 1, 'a'), error));
    EXPECT_EQ(ReadFileBytes(existing), "keep");
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
        EXPECT_EQ(entry.path().filename().string().find(".stamp-"), std::string::npos);
    }
}

#endif

}  // namespace
}  // namespace ombrel
