#include "platform/file_chunks.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

namespace ombrel {

bool ReadFileChunks(const std::string& path, const std::function<void(const char*, size_t)>& chunk,
                    std::string& reason) {
    reason.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        reason = std::strerror(errno);
        return false;
    }
    std::vector<char> buffer(1 << 16);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto n = static_cast<size_t>(in.gcount());
        if (n > 0) chunk(buffer.data(), n);
    }
    return !in.bad();
}

}  // namespace ombrel
