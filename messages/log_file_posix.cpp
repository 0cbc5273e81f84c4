#include "messages/log_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <fmt/format.h>

namespace ombrel {

bool AppendToFile(const std::string& fileName, const std::string& text, std::string& error) {
    int fd = ::open(fileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = fmt::format("Cannot open file \"{}\": {}", fileName, std::strerror(errno));
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = fmt::format("Cannot write file \"{}\": {}", fileName, std::strerror(errno));
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) {
        error = fmt::format("Cannot write file \"{}\": {}", fileName, std::strerror(errno));
        return false;
    }
    return true;
}

std::tm LocalTime(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

}  // namespace ombrel
