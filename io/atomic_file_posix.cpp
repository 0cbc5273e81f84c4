#include "io/atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>

#include <chrono>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>

namespace ombrel {

TPathParts SplitPath(const std::string& path) {
    size_t pos = path.find_last_of('/');
    if (pos == std::string::npos) return {".", path};
    if (pos == 0) return {"/", path.substr(1)};
    return {path.substr(0, pos), path.substr(pos + 1)};
}

TDirFd::~TDirFd() {
    if (iFd >= 0) ::close(iFd);
}

TDirFd& TDirFd::operator=(TDirFd&& other) noexcept {
    if (this != &other) {
        if (iFd >= 0) ::close(iFd);
        iFd = other.Release();
    }
    return *this;
}

int TDirFd::Release() {
    int fd = iFd;
    iFd = -1;
    return fd;
}

std::error_code TDirFd::Open(const std::string& path, TDirFd& result) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return LastError();
    result = TDirFd(fd);
    return {};
}

std::error_code LastError() { return std::error_code(errno, std::system_category()); }

std::error_code WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t written = ::write(fd, p, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return LastError();
        }
        p += written;
        size -= static_cast<size_t>(written);
    }
    return {};
}

namespace {

// Names of temporary files: unpredictable to other users, without a system call for each. Each
// thread draws from its own generator, seeded from the kernel's random source once.
std::string RandomSuffix() {
    thread_local uint64_t state = [] {
        uint64_t seed = 0;
        if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed) {
            seed = (static_cast<uint64_t>(::getpid()) << 32) ^
                   static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                   reinterpret_cast<uintptr_t>(&seed);
        }
        return seed;
    }();
    // splitmix64
    uint64_t value = (state += 0x9e3779b97f4a7c15ULL);
    value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9ULL;
    value = (value ^ (value >> 27)) * 0x94d049bb133111ebULL;
    value ^= value >> 31;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

TAtomicFile::~TAtomicFile() { Discard(); }

std::error_code TAtomicFile::Create(int dirFd, const std::string& name, bool directWhenNew) {
    Discard();
    if (directWhenNew) {
        int fd = ::openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          static_cast<mode_t>(iCreateMode));
        if (fd >= 0) {
            iDirFd = dirFd;
            iFd = fd;
            iName = name;
            iDirect = true;
            return {};
        }
        if (errno != EEXIST) return LastError();
    }
    // A short name of our own: the final name may already use the whole length limit.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string tempName = ".ombrel-" + RandomSuffix() + ".tmp";
        int fd = ::openat(dirFd, tempName.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          static_cast<mode_t>(iCreateMode));
        if (fd >= 0) {
            iDirFd = dirFd;
            iFd = fd;
            iName = name;
            iTempName = std::move(tempName);
            return {};
        }
        if (errno != EEXIST) return LastError();
    }
    return std::make_error_code(std::errc::file_exists);
}

std::error_code TAtomicFile::Commit(bool durable) {
    if (iFd < 0) return std::make_error_code(std::errc::bad_file_descriptor);
    if (durable && ::fsync(iFd) != 0) return LastError();
    int fd = iFd;
    iFd = -1;
    if (::close(fd) != 0) {
        std::error_code error = LastError();
        Discard();
        return error;
    }
    if (iDirect) {
        iDirect = false;
        if (durable && ::fsync(iDirFd) != 0) return LastError();
        return {};
    }
    if (::renameat(iDirFd, iTempName.c_str(), iDirFd, iName.c_str()) != 0) {
        std::error_code error = LastError();
        Discard();
        return error;
    }
    iTempName.clear();
    if (durable && ::fsync(iDirFd) != 0) return LastError();
    return {};
}

void TAtomicFile::Discard() {
    if (iFd >= 0) {
        ::close(iFd);
        iFd = -1;
    }
    if (!iTempName.empty()) {
        ::unlinkat(iDirFd, iTempName.c_str(), 0);
        iTempName.clear();
    }
    if (iDirect) {
        ::unlinkat(iDirFd, iName.c_str(), 0);
        iDirect = false;
    }
}

}  // namespace ombrel
