#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file_replace.h"

namespace ombrel {

bool ReplaceFileContent(const std::string& path, std::string_view content,
                        const std::string& permissionsFrom, std::string& error) {
    auto systemError = [&](const char* what, const std::string& file) {
        error = fmt::format("{} \"{}\": {}", what, file, std::strerror(errno));
        return false;
    };
    struct stat st {};
    if (::stat(permissionsFrom.c_str(), &st) != 0)
        return systemError("Cannot examine", permissionsFrom);

    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = (slash == std::string::npos ? "" : folder) + "." + name + ".stamp-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return systemError("Cannot create a temporary file in", folder);
    auto fail = [&](const char* what, const std::string& file) {
        const int saved = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        errno = saved;
        return systemError(what, file);
    };
    const char* data = content.data();
    size_t left = content.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail("Cannot write", temp);
        data += n;
        left -= static_cast<size_t>(n);
    }
    if (::fchmod(fd, st.st_mode & 07777) != 0) return fail("Cannot set the mode of", temp);
    if (::fsync(fd) != 0) return fail("Cannot flush", temp);
    if (::close(fd) != 0) {
        ::unlink(temp.c_str());
        return systemError("Cannot write", temp);
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        return systemError("Cannot rename the new file to", path);
    }
    return true;
}

}  // namespace ombrel
