#include "tools/ombrel-server/file_masks.h"

#include "io/file_mask.h"
#include "io/paths.h"
#include "io/text.h"
#include "state/ombrel_file.h"

namespace ombrel::server {
namespace {

std::string_view BareName(std::string_view name) {
    size_t slash = name.find_last_of("/\\");
    return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

}  // namespace

bool CheckMasks(const std::vector<std::string>& masks, std::string& error) {
    if (masks.empty()) {
        error = "a package needs at least one file mask";
        return false;
    }
    for (const auto& mask : masks) {
        TFileMask parsed;
        if (IsBlank(mask)) {
            error = "a file mask may not be blank";
            return false;
        }
        if (!TFileMask::Parse(NormalizeSeparators(mask), parsed)) {
            error = "the file mask '" + mask + "' is malformed (a \"[\" without its \"]\")";
            return false;
        }
    }
    if (masks.size() == 1 &&
        (masks[0].find_first_of("/\\") != std::string::npos || HasInvalidPathChars(masks[0]))) {
        error = "the single mask '" + masks[0] +
                "' holds a path separator or a character that file names may not contain; a "
                "single mask is matched against bare file names (give two or more masks to "
                "match relative paths)";
        return false;
    }
    return true;
}

std::vector<std::string> SelectInstalledFiles(const std::vector<std::string>& masks,
                                              const std::vector<std::string>& names) {
    std::vector<std::string> result;
    std::vector<TFileMask> parsed(masks.size());
    for (size_t i = 0; i < masks.size(); ++i) {
        if (!TFileMask::Parse(NormalizeSeparators(masks[i]), parsed[i])) return {};
    }
    for (const auto& name : names) {
        bool keep = false;
        if (masks.size() == 1) {
            keep = masks[0] == "*.*" || parsed[0].Matches(BareName(name));
        } else {
            for (const auto& mask : parsed) {
                if (mask.Matches(name)) {
                    keep = true;
                    break;
                }
            }
        }
        if (keep) result.push_back(name);
    }
    return result;
}

bool CleanInstallName(std::string_view name, std::string& cleaned, std::string& error) {
    if (DecodeText(name, TTextEncoding::Utf8) != name) {
        error = "file name '" + DecodeText(name, TTextEncoding::Utf8) + "' is not valid UTF-8";
        return false;
    }
    try {
        cleaned = JoinInside("", name);
        // Installations record the name in their manifest, which must read it back the same.
        if (std::string fault = ManifestFileFault(cleaned); !fault.empty()) {
            error = "file name '" + cleaned + "' cannot be recorded in an installation's " +
                    "manifest: " + fault;
            return false;
        }
        return true;
    } catch (const EPathError& e) {
        error = "unusable file name '" + std::string(name) + "': " + e.what();
        return false;
    }
}

}  // namespace ombrel::server
