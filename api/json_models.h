#pragma once
// JSON.Models: the documents exchanged with the update server, and their reading and writing.

#include <cstdint>
#include <string>
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
};

// A release: the answer to install, update, force and repair requests; also the progress file.
struct TVersionResponse {
    std::string Version;                        // "version"
    std::vector<TPackage> Packages;             // "packages"
    std::vector<std::string> PackagesToDelete;  // "doomed_packages"
    std::vector<std::string> FilesToDelete;     // "doomed_files"
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

// Text given for a value that is not a JSON object.
inline constexpr char kNotAnObject[] = "Der Eingabewert ist kein gültiges Objekt";

TReadResult ReadVersionDocument(const std::string& text, TVersionResponse& document,
                                std::string& errorText);
TReadResult ReadPackageDocument(const std::string& text, TPackage& document,
                                std::string& errorText);
// Reads a JSON array of package documents in order. On failure, `packages` keeps the elements
// read before the failing one, errorText says why, and the answer is false.
bool ReadPackageArray(const std::string& text, std::vector<TPackage>& packages,
                      std::string& errorText);

// Request bodies: a JSON array, four-blank indentation, CR LF between lines, no line break
// after the last line. Empty lists give "[" CR LF "]".
std::string WriteRequestPackages(const std::vector<TRequestPackage>& packages);
std::string WriteRequestFiles(const std::vector<TRequestFile>& files);

// The progress file's text: members in declaration order, empty strings and empty arrays left
// out at every level, "build" always 0, "updated_at" never written. Lines separated by CR LF,
// none after the last; an empty document is "{" CR LF "}".
std::string WriteProgressDocument(const TVersionResponse& document);

// Quotes and escapes a string as the writers above do: \" \\ \/ \b \t \n \f \r; every other
// character (other control characters and non-ASCII included) is written unchanged.
std::string QuoteJsonString(const std::string& text);

}  // namespace ombrel::json
