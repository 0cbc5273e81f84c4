#pragma once
// Reading a whole file piece by piece.

#include <cstddef>
#include <functional>
#include <string>

namespace ombrel {

// Hands every piece of the file at `path` to `chunk`, in order, until its end. False when the
// file cannot be opened or read, with the system's reason in `reason` (empty when the system
// gave none).
bool ReadFileChunks(const std::string& path, const std::function<void(const char*, size_t)>& chunk,
                    std::string& reason);

}  // namespace ombrel
