#pragma once
// The signed description of a release: what a publisher signs and what the engine checks the
// server's answers and the downloaded files against.
//
// Its text is exactly, each line ended by one LF and nothing else in between:
//
//   ombrel-release 1
//   project <project>
//   channel <channel>
//   version <version>
//   package <id> <name> <version> <size> <sha256>     (one line per package, release order)
//
// with the package id and size in decimal without leading zeros, the full package version
// (with its build) and the SHA-256 of the package file as 64 lowercase hexadecimal digits.
// Project, channel, versions and names are never empty and hold no blank or control character.
// The signature is ECDSA over P-256 with SHA-256 of these bytes, 64 bytes r || s, in Base64.

#include <cstdint>
#include <string>
#include <vector>

namespace ombrel {

struct TSignedPackage {
    int32_t Id = 0;
    std::string Name;
    std::string Version;
    uint64_t Size = 0;
    std::string Sha256;
};

struct TSignedRelease {
    std::string Project;
    std::string Channel;
    std::string Version;
    std::vector<TSignedPackage> Packages;

    // The package of that id, or none.
    const TSignedPackage* PackageById(int32_t id) const;
};

// The text above. False with a reason when a value cannot be written into it (empty, or with a
// blank or control character, or a digest that is not 64 lowercase hexadecimal digits).
bool WriteReleaseText(const TSignedRelease& release, std::string& text, std::string& error);

// Reads a text written by WriteReleaseText; anything else (other layout, CR, extra blanks,
// leading zeros) is refused with a reason.
bool ReadReleaseText(const std::string& text, TSignedRelease& release, std::string& error);

// Checks `signature` (Base64) over `text` under `publicKey` (Base64 of a DER
// SubjectPublicKeyInfo of a P-256 key), then reads the text. False with a reason otherwise.
bool VerifyReleaseText(const std::string& text, const std::string& signature,
                       const std::string& publicKey, TSignedRelease& release, std::string& error);

}  // namespace ombrel
