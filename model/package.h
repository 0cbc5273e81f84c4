#pragma once
// Model.Package: one package of the work plan.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/package_mode.h"

namespace ombrel {

struct TPackage {
    int32_t Id = 0;                 // the server's package id; downloads name the package by it
    std::string Name;               // recorded in the manifest
    std::string Version;            // recorded in the manifest
    std::string Filename;           // single-file package: its file name; empty for archives
    std::vector<std::string> Files; // masks of the files to install; {"*"} for every file
    TPackageMode PackageMode = TPackageMode::binary;
    // What the downloaded file must be, when the server said so (or the signed release did):
    // its size in bytes and its SHA-256 as 64 lowercase hexadecimal digits.
    std::optional<uint64_t> Size;
    std::string Sha256;
};

}  // namespace ombrel
