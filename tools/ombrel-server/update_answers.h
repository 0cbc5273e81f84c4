#pragma once
// What the server answers to each request, computed from one view of the store. Free of HTTP,
// so that every rule can be tested on an index alone.

#include <string>

#include "tools/ombrel-server/release_store.h"

namespace ombrel::server {

struct TAnswer {
    int Status = 200;
    std::string Body;
    bool IsJson = true;  // else a short plain text, for errors

    static TAnswer Json(std::string body) { return {200, std::move(body), true}; }
    static TAnswer Text(int status, std::string body) { return {status, std::move(body), false}; }
};

// `channel` is the requested channel, already defaulted (never empty).

// The version document of the highest release on the channel (version empty), or of the named
// release (on the channel, else where an installed version would be found), with all of its
// packages and no doomed packages or files.
TAnswer InstallAnswer(const TStoreIndex& index, const std::string& project,
                      const std::string& version, const std::string& channel);

// From the installed `version` to the highest release on the channel: the packages whose
// version changed or that are new; in "doomed_packages" the packages that left the release; in
// "doomed_files" the files the installed release had and the new one lacks. When the highest
// release is not above the installed one there is nothing to do: the installed version with
// empty lists (updates never go down).
TAnswer UpdateAnswer(const TStoreIndex& index, const std::string& project,
                     const std::string& version, const std::string& channel);

// The named release against what is installed (the installed-packages body): the packages
// that are not installed at their version, the installed packages the release lacks, and the
// files of the installed packages (as far as the store knows them) that the release lacks.
TAnswer ForceAnswer(const TStoreIndex& index, const std::string& project,
                    const std::string& version, const std::string& channel,
                    const std::string& body);

// The packages of the named release holding a file that is missing from the hash body or
// whose MD5 differs. File names compare with "\" and "/" alike, digests without regard to case.
TAnswer RepairAnswer(const TStoreIndex& index, const std::string& project,
                     const std::string& version, const std::string& channel,
                     const std::string& body);

// Every version of a package, as an array of package documents, lowest version first.
TAnswer PackageInfoAnswer(const TStoreIndex& index, const std::string& name);
// One package document; `version` is the full version (with the build when there is one).
TAnswer PackageInfoAnswer(const TStoreIndex& index, const std::string& name,
                          const std::string& version);

}  // namespace ombrel::server
