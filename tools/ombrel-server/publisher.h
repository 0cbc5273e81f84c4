#pragma once
// `ombrel-server publish`: turns files on disk into a release of the store.

#include <cstdint>
#include <string>
#include <vector>

#include "messages/messages.h"
#include "tools/ombrel-server/release_store.h"

namespace ombrel::server {

enum class TPackageKind {
    Folder,      // a folder, packed into a zip archive at publication
    Archive,     // an existing zip archive, stored as it is
    SingleFile,  // one file, installed under its install name
};

struct TPackageSpec {
    std::string Name;
    TPackageKind Kind = TPackageKind::Folder;
    std::string Path;
    std::string InstallName;              // single files: where the file is installed
    std::vector<std::string> Masks{"*"};  // archives: what is installed from them
    std::string SourcePath;               // optional source: a folder (packed) or a file
};

struct TPublishRequest {
    std::string Store;
    std::string Project;
    std::string Version;
    std::string Channel = kDefaultChannel;
    std::vector<TPackageSpec> Packages;  // in installation order
    bool Replace = false;                // allow replacing a release of the same version
    std::string SignKeyFile;             // when set: sign the release with this private key
};

struct TPublishedPackage {
    int32_t Id = 0;
    std::string Name;
    std::string FullVersion;
    bool Reused = false;  // identical to a stored package, which the release now shares
};

// Names of projects, channels, packages and versions: letters, digits and "._+-", beginning
// with a letter or digit. They end up in URLs and in installers' file names.
bool IsValidName(const std::string& text);

// "NAME=PATH[:MASK,MASK...]": PATH is a folder (packed at publication) or a .zip archive.
// "NAME=FILE[:INSTALLNAME]" with `singleFile`: one file, installed as INSTALLNAME (default: the
// file's own name). The path ends at the last ":"; a path holding ":" itself is given with a
// trailing ":" (empty spec: defaults).
bool ParsePackageArgument(const std::string& argument, bool singleFile, TPackageSpec& spec,
                          std::string& error);
// "NAME=PATH": the source of package NAME, a folder (packed) or any file.
bool ParseSourceArgument(const std::string& argument, std::string& name, std::string& path,
                         std::string& error);

// Publishes one release. Package files are written into the store first and the index last,
// atomically, under the store's publish lock; a server reading the store sees the release
// complete or not at all. A package whose content, masks, install name and source are identical
// to a stored package of the same name is that package: the release shares its id and version.
// Otherwise the package gets a new id and the release version (with a build number after it
// when that version of the package is already taken by other content). Progress lines go to
// Log, problems to Warning and Error, all under the sender "Publisher". False on any error;
// the store is then unchanged.
bool Publish(const TPublishRequest& request, IMessages& messages,
             std::vector<TPublishedPackage>* published = nullptr);

}  // namespace ombrel::server
