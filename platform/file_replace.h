#pragma once
// Replacing a file's whole content at once.

#include <string>
#include <string_view>

namespace ombrel {

// Writes `content` to `path` through a temporary file beside it, flushed to the disk and renamed
// over `path`, so that `path` is either its old self or complete with the new content, never
// half-written; the temporary file is removed on failure. The new file gets the permissions of
// `permissionsFrom` (its run bit, on systems that have one). Answers false with the system's
// reason in `error`.
bool ReplaceFileContent(const std::string& path, std::string_view content,
                        const std::string& permissionsFrom, std::string& error);

}  // namespace ombrel
