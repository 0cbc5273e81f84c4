#include "platform/resource_trailer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>
#include <fmt/printf.h>

namespace ombrel {

namespace {

// Owns a file descriptor.
class TFd {
public:
    explicit TFd(int fd = -1) : fd_(fd) {}
    ~TFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

std::string SystemError(const std::string& what, const std::string& path) {
    return fmt::format("{} \"{}\": {}", what, path, std::strerror(errno));
}

bool ReadExactly(int fd, char* data, size_t size, uint64_t offset) {
    while (size > 0) {
        ssize_t n = ::pread(fd, data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

// Reads the layout of an open file.
bool ReadLayout(int fd, const std::string& path, TTrailerLayout& layout, std::string& error) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = SystemError("Cannot examine", path);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        error = fmt::format("\"{}\" is not a regular file", path);
        return false;
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    if (size < kTrailerFooterSize) {
        layout = ParseTrailerFooter({}, size);
        return true;
    }
    char footer[kTrailerFooterSize];
    if (!ReadExactly(fd, footer, sizeof footer, size - kTrailerFooterSize)) {
        error = SystemError("Cannot read", path);
        return false;
    }
    layout = ParseTrailerFooter(std::string_view(footer, sizeof footer), size);
    return true;
}

}  // namespace

std::string OwnExecutableFile() { return "/proc/self/exe"; }

bool ReadResourceTrailer(const std::string& file, const std::string& name, std::string& bytes,
                         std::string& error) {
    bytes.clear();
    error.clear();
    const std::string notFound = fmt::sprintf("Ressource %s nicht gefunden", name);
    if (!SameNameIgnoringCase(name, kInstructionResourceName)) {
        error = notFound;
        return false;
    }
    TFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    std::string reason;
    TTrailerLayout layout;
    if (fd.get() < 0) {
        reason = SystemError("Cannot open", file);
    } else {
        ReadLayout(fd.get(), file, layout, reason);
    }
    if (!reason.empty()) {
        error = fmt::sprintf("Ressource %s konnte nicht gelesen werden: %s", name, reason);
        return false;
    }
    switch (layout.state) {
        case TTrailerState::Missing: error = notFound; return false;
        case TTrailerState::Damaged:
            error = fmt::sprintf(
                "Ressource %s ist beschädigt: angegebene Länge %u, aber nur %u Bytes davor", name,
                layout.resourceSize, layout.programSize - kTrailerFooterSize);
            return false;
        case TTrailerState::Found: break;
    }
    std::string buffer(layout.resourceSize, '\0');
    if (!ReadExactly(fd.get(), buffer.data(), buffer.size(), layout.programSize)) {
        error = fmt::sprintf("Ressource %s konnte nicht gelesen werden: %s", name,
                             SystemError("Cannot read", file));
        return false;
    }
    bytes = std::move(buffer);
    return true;
}

bool WriteResourceTrailer(const std::string& input, const std::string& output,
                          std::string_view bytes, std::string& error) {
    error.clear();
    TFd in(::open(input.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) {
        error = SystemError("Cannot open", input);
        return false;
    }
    TTrailerLayout layout;
    if (!ReadLayout(in.get(), input, layout, error)) return false;
    if (layout.state == TTrailerState::Damaged) {
        error = fmt::format(
            "\"{}\" ends in a damaged instruction trailer (length {} larger than the file); "
            "stamp the original program instead",
            input, layout.resourceSize);
        return false;
    }
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) {
        error = SystemError("Cannot examine", input);
        return false;
    }

    std::filesystem::path target(output);
    std::string folder = target.has_parent_path() ? target.parent_path().string() : ".";
    std::string temp = folder + "/." + target.filename().string() + ".stamp-XXXXXX";
    TFd out(::mkstemp(temp.data()));
    if (out.get() < 0) {
        error = SystemError("Cannot create a temporary file in", folder);
        return false;
    }
    auto fail = [&](const std::string& message) {
        error = message;
        ::unlink(temp.c_str());
        return false;
    };

    char chunk[1 << 16];
    uint64_t offset = 0;
    while (offset < layout.programSize) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof chunk, layout.programSize - offset));
        if (!ReadExactly(in.get(), chunk, want, offset)) return fail(SystemError("Cannot read", input));
        if (!WriteAll(out.get(), chunk, want)) return fail(SystemError("Cannot write", temp));
        offset += want;
    }
    std::string footer = MakeTrailerFooter(bytes.size());
    if (!WriteAll(out.get(), bytes.data(), bytes.size()) ||
        !WriteAll(out.get(), footer.data(), footer.size())) {
        return fail(SystemError("Cannot write", temp));
    }
    if (::fchmod(out.get(), st.st_mode & 07777) != 0) return fail(SystemError("Cannot set the mode of", temp));
    if (::fsync(out.get()) != 0) return fail(SystemError("Cannot flush", temp));
    if (::close(out.release()) != 0) return fail(SystemError("Cannot write", temp));
    if (::rename(temp.c_str(), output.c_str()) != 0) return fail(SystemError("Cannot rename the stamped file to", output));
    return true;
}

}  // namespace ombrel
