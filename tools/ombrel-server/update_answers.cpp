#include "tools/ombrel-server/update_answers.h"

#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

#include "io/paths.h"
#include "io/text.h"
#include "tools/ombrel-server/version_compare.h"

namespace ombrel::server {

using Json = nlohmann::ordered_json;

namespace {

// Size and digest of the package file, after every other member, so that engines which do not
// know them read the document as before. Packages of old stores may lack them.
void AddDigests(Json& j, const TStoredPackage& p) {
    if (p.Sha256.empty()) return;
    j["size"] = p.Size;
    j["sha256"] = p.Sha256;
}

// Package inside a version document: installers know it by its full version.
Json VersionPackage(const TStoredPackage& p) {
    Json j = {{"id", p.Id}, {"name", p.Name}, {"version", p.FullVersion()}, {"build", 0}};
    if (!p.Filename.empty()) j["filename"] = p.Filename;
    j["files"] = p.Files;
    j["updated_at"] = p.UpdatedAt;
    AddDigests(j, p);
    return j;
}

// Package document of the information requests: the plain version and the build; with the
// source's size and digest when a source was published.
Json InfoPackage(const TStoredPackage& p) {
    Json j = {{"id", p.Id}, {"name", p.Name}, {"version", p.Version}, {"build", p.Build}};
    if (!p.Filename.empty()) j["filename"] = p.Filename;
    j["files"] = p.Files;
    j["updated_at"] = p.UpdatedAt;
    AddDigests(j, p);
    if (!p.SourceFile.empty() && !p.SourceSha256.empty()) {
        j["source_size"] = p.SourceSize;
        j["source_sha256"] = p.SourceSha256;
    }
    return j;
}

// `release` is the release the answer describes; its signature, when it has one, goes last.
TAnswer VersionDocument(const TRelease& release,
                        const std::vector<const TStoredPackage*>& packages,
                        const std::vector<std::string>& doomedPackages,
                        const std::vector<std::string>& doomedFiles) {
    Json list = Json::array();
    for (const auto* p : packages) list.push_back(VersionPackage(*p));
    Json doc = {{"version", release.Version},
                {"packages", list},
                {"doomed_packages", doomedPackages},
                {"doomed_files", doomedFiles}};
    if (!release.Signature.empty()) {
        doc["signed_release"] = release.SignedText;
        doc["signature"] = release.Signature;
    }
    return TAnswer::Json(doc.dump(4));
}

TAnswer NotFound(std::string text) {
    return TAnswer::Text(404, std::move(text));
}
TAnswer BadBody(const std::string& why) {
    return TAnswer::Text(400, "malformed body: " + why);
}

TAnswer UnknownRelease(const TStoreIndex& index, const std::string& project,
                       const std::string& version, const std::string& channel) {
    if (!index.HasProject(project)) return NotFound("unknown project: " + project);
    if (version.empty()) return NotFound("no release of " + project + " on channel " + channel);
    return NotFound("unknown version " + version + " of " + project);
}

std::string NormalName(const std::string& name) {
    return NormalizeSeparators(name);
}

// Files of the given packages, in package order, each once.
std::vector<std::string> FilesOf(const std::vector<const TStoredPackage*>& packages) {
    std::vector<std::string> files;
    std::set<std::string> seen;
    for (const auto* p : packages) {
        for (const auto& f : p->Installed) {
            if (seen.insert(f.Name).second) files.push_back(f.Name);
        }
    }
    return files;
}

std::vector<std::string> Missing(const std::vector<std::string>& had,
                                 const std::vector<const TStoredPackage*>& now) {
    std::set<std::string> kept;
    for (const auto& f : FilesOf(now)) kept.insert(f);
    std::vector<std::string> gone;
    for (const auto& f : had) {
        if (kept.count(f) == 0) gone.push_back(f);
    }
    return gone;
}

// The members of one element of a request body that an answer needs, as text.
using TElement = std::map<std::string, std::string>;

// Reads a request body, an array of objects, keeping only the members named in `wanted` as
// text (a number as its text, a missing or null member as empty). Read event by event, so a
// large body costs about its own size in memory, never a whole document tree.
class TBodyReader : public nlohmann::json_sax<Json> {
  public:
    explicit TBodyReader(std::set<std::string> wanted) : wanted(std::move(wanted)) {}

    bool Read(const std::string& body, std::vector<TElement>& elements, std::string& why) {
        const bool parsed = Json::sax_parse(body, this);
        if (!parsed) {
            why = "not JSON";
        } else if (!isArray) {
            why = "not a JSON array";
        } else if (!nonObject.empty()) {
            why = nonObject;
        } else if (!badMember.empty()) {
            why = badMember;
        } else {
            elements = std::move(result);
            return true;
        }
        return false;
    }

    bool null() override { return Value(""); }
    bool boolean(bool value) override { return Other(value ? "true" : "false"); }
    bool number_integer(number_integer_t value) override { return Value(Json(value).dump()); }
    bool number_unsigned(number_unsigned_t value) override { return Value(Json(value).dump()); }
    bool number_float(number_float_t value, const string_t&) override {
        return Value(Json(value).dump());
    }
    bool string(string_t& value) override { return Value(value); }
    bool binary(binary_t&) override { return Other("binary"); }
    bool start_object(std::size_t) override {
        if (depth == 1) result.emplace_back();
        if (depth == 2) Other("object");
        ++depth;
        return true;
    }
    bool key(string_t& value) override {
        if (depth == 2) currentKey = value;
        return true;
    }
    bool end_object() override {
        --depth;
        return true;
    }
    bool start_array(std::size_t) override {
        if (depth == 0) isArray = true;
        if (depth == 1 && nonObject.empty()) nonObject = "an element is not a JSON object";
        if (depth == 2) Other("array");
        ++depth;
        return true;
    }
    bool end_array() override {
        --depth;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

  private:
    // A value that is text, or can be taken as text.
    bool Value(const std::string& text) {
        if (depth == 1 && nonObject.empty()) nonObject = "an element is not a JSON object";
        if (depth == 2 && wanted.count(currentKey) != 0) result.back()[currentKey] = text;
        return true;
    }
    // A value that cannot be text: a fault only for a member that is wanted.
    bool Other(const char*) {
        if (depth == 1 && nonObject.empty()) nonObject = "an element is not a JSON object";
        if (depth == 2 && wanted.count(currentKey) != 0 && badMember.empty()) {
            badMember = "member \"" + currentKey + "\" is not text";
        }
        return true;
    }

    std::set<std::string> wanted;
    std::vector<TElement> result;
    int depth = 0;
    bool isArray = false;
    std::string currentKey;
    std::string nonObject;
    std::string badMember;
};

bool ParseBody(const std::string& body, std::set<std::string> wanted,
               std::vector<TElement>& elements, std::string& why) {
    return TBodyReader(std::move(wanted)).Read(body, elements, why);
}

}  // namespace

TAnswer InstallAnswer(const TStoreIndex& index, const std::string& project,
                      const std::string& version, const std::string& channel) {
    const TRelease* release = version.empty()
                                  ? index.HighestRelease(project, channel)
                                  : index.FindInstalledRelease(project, channel, version);
    if (release == nullptr) return UnknownRelease(index, project, version, channel);
    return VersionDocument(*release, index.ReleasePackages(*release), {}, {});
}

TAnswer UpdateAnswer(const TStoreIndex& index, const std::string& project,
                     const std::string& version, const std::string& channel) {
    const TRelease* installed = index.FindInstalledRelease(project, channel, version);
    if (installed == nullptr) return UnknownRelease(index, project, version, channel);
    const TRelease* target = index.HighestRelease(project, channel);
    if (target == nullptr) return UnknownRelease(index, project, "", channel);
    if (target == installed || CompareVersions(target->Version, installed->Version) < 0) {
        return VersionDocument(*installed, {}, {}, {});
    }
    auto before = index.ReleasePackages(*installed);
    auto after = index.ReleasePackages(*target);
    std::map<std::string, std::string> had;  // name -> full version
    for (const auto* p : before) had[p->Name] = p->FullVersion();
    std::set<std::string> names;
    std::vector<const TStoredPackage*> changed;
    for (const auto* p : after) {
        names.insert(p->Name);
        auto it = had.find(p->Name);
        if (it == had.end() || it->second != p->FullVersion()) changed.push_back(p);
    }
    std::vector<std::string> doomedPackages;
    for (const auto* p : before) {
        if (names.count(p->Name) == 0) doomedPackages.push_back(p->Name);
    }
    return VersionDocument(*target, changed, doomedPackages,
                           Missing(FilesOf(before), after));
}

TAnswer ForceAnswer(const TStoreIndex& index, const std::string& project,
                    const std::string& version, const std::string& channel,
                    const std::string& body) {
    std::vector<TElement> elements;
    std::string why;
    if (!ParseBody(body, {"name", "version"}, elements, why)) return BadBody(why);
    std::vector<std::pair<std::string, std::string>> installed;
    for (auto& element : elements) {
        installed.emplace_back(std::move(element["name"]), std::move(element["version"]));
    }
    const TRelease* release = index.FindInstalledRelease(project, channel, version);
    if (release == nullptr) return UnknownRelease(index, project, version, channel);

    auto packages = index.ReleasePackages(*release);
    std::map<std::string, std::string> had(installed.begin(), installed.end());
    std::set<std::string> names;
    std::vector<const TStoredPackage*> needed;
    for (const auto* p : packages) {
        names.insert(p->Name);
        auto it = had.find(p->Name);
        if (it == had.end() || it->second != p->FullVersion()) needed.push_back(p);
    }
    std::vector<std::string> doomedPackages;
    std::vector<const TStoredPackage*> known;
    for (const auto& [name, packageVersion] : installed) {
        if (names.count(name) == 0) doomedPackages.push_back(name);
        if (const auto* p = index.PackageByVersion(name, packageVersion)) known.push_back(p);
    }
    return VersionDocument(*release, needed, doomedPackages,
                           Missing(FilesOf(known), packages));
}

TAnswer RepairAnswer(const TStoreIndex& index, const std::string& project,
                     const std::string& version, const std::string& channel,
                     const std::string& body) {
    std::vector<TElement> elements;
    std::string why;
    if (!ParseBody(body, {"name", "hash"}, elements, why)) return BadBody(why);
    std::map<std::string, std::string> hashes;  // normalised name -> lowercase MD5
    for (auto& element : elements) {
        hashes[NormalName(element["name"])] = LowerAscii(Trim(element["hash"]));
        element.clear();
    }
    elements = {};
    const TRelease* release = index.FindInstalledRelease(project, channel, version);
    if (release == nullptr) return UnknownRelease(index, project, version, channel);

    std::vector<const TStoredPackage*> damaged;
    for (const auto* p : index.ReleasePackages(*release)) {
        for (const auto& f : p->Installed) {
            auto it = hashes.find(f.Name);
            if (it == hashes.end() || it->second != f.Md5) {
                damaged.push_back(p);
                break;
            }
        }
    }
    return VersionDocument(*release, damaged, {}, {});
}

TAnswer PackageInfoAnswer(const TStoreIndex& index, const std::string& name) {
    auto packages = index.PackagesNamed(name);
    if (packages.empty()) return NotFound("unknown package: " + name);
    Json list = Json::array();
    for (const auto* p : packages) list.push_back(InfoPackage(*p));
    return TAnswer::Json(list.dump(4));
}

TAnswer PackageInfoAnswer(const TStoreIndex& index, const std::string& name,
                          const std::string& version) {
    const TStoredPackage* p = index.PackageByVersion(name, version);
    if (p == nullptr) {
        if (index.PackagesNamed(name).empty()) return NotFound("unknown package: " + name);
        return NotFound("unknown version " + version + " of package " + name);
    }
    return TAnswer::Json(InfoPackage(*p).dump(4));
}

}  // namespace ombrel::server
