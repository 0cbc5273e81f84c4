#pragma once
// JSON.Models: the documents exchanged with the update server, and their reading and writing.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ombrel::json {

// One package as the server describes it (not the work plan's ombrel::TPackage).
struct TPackage {
    int32_t Id = 0;                  // "id"
    std::string Name;                // "name"
    std::string Version;             // "version"
    int32_t Build = 0;               // "build"
    std::string Filename;            // "filename"
    std::vector<std::string> Files;  // "files"
    std::string UpdatedAt;           // "updated_at"
    // Size and SHA-256 (64 lowercase hexadecimal digits) of the package file; of its source in
    // the source members. Servers that do not record them leave them out.
    std::optional<uint64_t> Size;    // "size"
    std::string Sha256;              // "sha256"
    std::optional<uint64_t> SourceSize;  // "source_size"
    std::string SourceSha256;            // "source_sha256"
};

// A release: the answer to install, update, force and repair requests; also the progress file.
struct TVersionResponse {
    std::string Version;                        // "version"
    std::vector<TPackage> Packages;             // "packages"
    std::vector<std::string> PackagesToDelete;  // "doomed_packages"
    std::vector<std::string> FilesToDelete;     // "doomed_files"
    // The signed description of the release this answer comes from, and its signature in
    // Base64; both empty from servers that do not sign.
    std::string SignedRelease;     // "signed_release"
    std::string ReleaseSignature;  // "signature"
};

// One installed package, as the force request sends it.
struct TRequestPackage {
    std::string name;     // "name"
    std::string version;  // "version"
};

// One installed file and its MD5, as the repair request sends it.
struct TRequestFile {
    std::string filename;  // "name"
    std::string hash;      // "hash"
};

// Outcome of turning text into a document.
enum class TReadResult {
    Document,    // the text was a JSON object whose members fit
    NoDocument,  // the text was empty, blank, or the literal null; no error
    Error,       // anything else; errorText says why
};

// Text given for a value that is not a JSON object (invalid JSON included).
inline constexpr char kNotAnObject[] = "Der Eingabewert ist kein gültiges Objekt";
// Text given by ReadPackageArray for a value that is not a JSON array.
inline constexpr char kNotAnArray[] = "Der Eingabewert ist kein gültiges Array";

// Reading maps the members of one JSON object onto the fields by their keys, in any order;
// unknown members are ignored, missing members and null leave a field empty (0 for integers).
// - String fields take strings, numbers as the text they are written as (2 gives "2", 2.10
//   gives "2.10", 1e3 gives "1e3") and "true"/"false" for truth values.
// - "id" and "build" take integer numbers in 32-bit range; a number with a fraction or out of
//   that range fails. A string gives its decimal value (optional sign, digits only, in range),
//   any other string 0; a truth value gives 0.
// - Array fields take arrays (elements as string fields do); a null element gives the default
//   (an empty string, or an empty package in "packages").
// - An array or object where a scalar is expected, or a scalar where an array or object is
//   expected, fails with a text naming the member: "packages[0].files" is a string where an
//   array is expected.
// - "size" and "source_size" take non-negative integer numbers; "sha256" and "source_sha256"
//   take 64 lowercase hexadecimal digits. Anything else there fails.
// `document` is reset first and filled only when the answer is Document.
TReadResult ReadVersionDocument(const std::string& text, TVersionResponse& document,
                                std::string& errorText);
TReadResult ReadPackageDocument(const std::string& text, TPackage& document,
                                std::string& errorText);
// Reads a JSON array of package documents in order. Text that is not an array (blank text and
// null included) fails with kNotAnArray, an element that is not an object with kNotAnObject.
// On failure, `packages` keeps the elements read before the failing one, errorText says why,
// and the answer is false.
bool ReadPackageArray(const std::string& text, std::vector<TPackage>& packages,
                      std::string& errorText);

// Request bodies: a JSON array, four-blank indentation, CR LF between lines, no line break
// after the last line. Empty lists give "[" CR LF "]".
std::string WriteRequestPackages(const std::vector<TRequestPackage>& packages);
std::string WriteRequestFiles(const std::vector<TRequestFile>& files);
// The same for (name, hash) pairs.
std::string WriteRequestHashes(const std::vector<std::pair<std::string, std::string>>& files);

// The progress file's text: members in declaration order, empty strings and empty arrays left
// out at every level, "build" always 0, "updated_at" and the source and signature members never
// written ("size" only when known). Lines separated by CR LF,
// none after the last; an empty document is "{" CR LF "}". Strings are quoted as
// QuoteJsonString does, except that the control characters it leaves unchanged are written as
// \u00XX, so that the file always reads back.
std::string WriteProgressDocument(const TVersionResponse& document);

// Quotes and escapes a string as the writers above do: \" \\ \/ \b \t \n \f \r; every other
// character (other control characters and non-ASCII included) is written unchanged.
std::string QuoteJsonString(const std::string& text);

}  // namespace ombrel::json
