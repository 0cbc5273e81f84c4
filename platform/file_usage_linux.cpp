#include "platform/file_usage.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace ombrel {
namespace {

std::error_code LastError() { return std::error_code(errno, std::system_category()); }
std::error_code Busy() { return std::error_code(EBUSY, std::system_category()); }

struct TDirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using TDirPtr = std::unique_ptr<DIR, TDirCloser>;

struct TFileCloser {
    void operator()(FILE* file) const { fclose(file); }
};

bool ParseNumber(const char* text, long& value) {
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return *end == '\0';
}

bool HasOpenDescriptor(const std::string& processDir, bool self, int ownFd, dev_t device,
                       ino_t inode) {
    const std::string fdDir = processDir + "/fd";
    TDirPtr fds(opendir(fdDir.c_str()));
    if (!fds) return false;
    while (dirent* entry = readdir(fds.get())) {
        long number = 0;
        if (!ParseNumber(entry->d_name, number)) continue;
        if (self && (number == ownFd || number == dirfd(fds.get()))) continue;
        struct stat st;
        if (stat((fdDir + "/" + entry->d_name).c_str(), &st) == 0 && st.st_dev == device &&
            st.st_ino == inode) {
            return true;
        }
    }
    return false;
}

bool HasMapping(const std::string& processDir, dev_t device, ino_t inode) {
    std::unique_ptr<FILE, TFileCloser> maps(fopen((processDir + "/maps").c_str(), "re"));
    if (!maps) return false;
    char line[4096];
    while (fgets(line, sizeof line, maps.get())) {
        unsigned int major = 0;
        unsigned int minor = 0;
        unsigned long long mappedInode = 0;
        if (std::sscanf(line, "%*s %*s %*s %x:%x %llu", &major, &minor, &mappedInode) == 3 &&
            mappedInode == inode && makedev(major, minor) == device) {
            return true;
        }
    }
    return false;
}

// Calls `found` for every process with the file (device, inode) open or mapped, the caller's
// own descriptor `ownFd` left out, until it answers false.
template <typename Found>
void ScanProcesses(dev_t device, ino_t inode, int ownFd, Found found) {
    TDirPtr proc(opendir("/proc"));
    if (!proc) return;
    const long self = static_cast<long>(getpid());
    while (dirent* entry = readdir(proc.get())) {
        long pid = 0;
        if (!ParseNumber(entry->d_name, pid)) continue;
        const std::string processDir = std::string("/proc/") + entry->d_name;
        if (HasOpenDescriptor(processDir, pid == self, ownFd, device, inode) ||
            HasMapping(processDir, device, inode)) {
            if (!found(pid, processDir)) return;
        }
    }
}

std::string ProcessName(const std::string& processDir) {
    std::unique_ptr<FILE, TFileCloser> comm(fopen((processDir + "/comm").c_str(), "re"));
    char name[64] = {};
    if (!comm || !fgets(name, sizeof name, comm.get())) return "?";
    std::string text = name;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

}  // namespace

bool IsOpenedByOtherProcess(dev_t device, ino_t inode, int ownFd) {
    bool opened = false;
    ScanProcesses(device, inode, ownFd, [&](long, const std::string&) {
        opened = true;
        return false;
    });
    return opened;
}

std::string DescribeFileUsers(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return {};
    constexpr int kMostNamed = 5;
    std::string text;
    int count = 0;
    const long self = static_cast<long>(getpid());
    ScanProcesses(st.st_dev, st.st_ino, -1, [&](long pid, const std::string& processDir) {
        if (pid == self) return true;
        if (!text.empty()) text += ", ";
        if (++count > kMostNamed) {
            text += "...";
            return false;
        }
        text += ProcessName(processDir) + " (pid " + std::to_string(pid) + ")";
        return true;
    });
    return text;
}

std::error_code ProbeExclusiveWrite(const std::string& path) {
    return ProbeExclusiveWriteAt(AT_FDCWD, path);
}

std::error_code ProbeExclusiveWriteAt(int dirFd, const std::string& name) {
    // O_NONBLOCK: when someone else holds a lease on the file, fail at once instead of
    // waiting for it to be broken.
    int fd = openat(dirFd, name.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == EWOULDBLOCK) return Busy();
        return LastError();
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        std::error_code error = LastError();
        close(fd);
        return error;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return {};
    }
    // Should another process open the file while the lease is held, the kernel signals the
    // holder; SIGURG is ignored by default, where the standard SIGIO would end the process.
    fcntl(fd, F_SETSIG, SIGURG);
    std::error_code result;
    if (fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
        fcntl(fd, F_SETLEASE, F_UNLCK);
    } else if (errno == EAGAIN) {
        result = Busy();
    } else if (IsOpenedByOtherProcess(st.st_dev, st.st_ino, fd)) {
        // No lease here (not the owner without CAP_LEASE, or a file system without leases).
        result = Busy();
    }
    close(fd);
    return result;
}

}  // namespace ombrel
