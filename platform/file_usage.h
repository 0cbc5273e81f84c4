#pragma once
// Whether a file is in use by another process. Windows tells it through sharing modes. Linux has
// none, so "nobody else has it open" is found out from the kernel: a write lease is granted
// only when no other open file (reading, writing, mapped or executing) refers to the file;
// where a lease cannot be tried, the open files and mappings listed under /proc are searched
// instead.

#include <sys/types.h>

#include <string>
#include <system_error>

namespace ombrel {

// Tests whether the existing file at `path` could be overwritten right now: it opens for
// writing (without changing it) and no other process holds it open. Answers an empty error
// code when so. Otherwise the reason: the open's own error (EACCES, EPERM for an immutable
// file, ETXTBSY for a running program, EROFS, ENOENT ...; on Windows the system's error code),
// or EBUSY (std::errc::device_or_resource_busy) when another process has the file open or
// mapped. Never blocks on another process's lease.
std::error_code ProbeExclusiveWrite(const std::string& path);

// Linux only. As ProbeExclusiveWrite, for the entry `name` of the open folder `dirFd`. On Linux
// neither follows a link at the last name (ELOOP).
std::error_code ProbeExclusiveWriteAt(int dirFd, const std::string& name);

// The other processes that have the file at `path` open, mapped or running, as the system can
// tell: "name (pid N)" each, joined by ", ", at most a handful and "..." for more. Empty when
// none is found or the system cannot say (as a normal user on Linux, only the user's own
// processes are seen). The caller's own process is left out.
std::string DescribeFileUsers(const std::string& path);

// Linux only. Searches /proc for a process that has the file (device, inode) open or mapped, leaving out
// the caller's own descriptor `ownFd` (-1 for none). Processes whose entries cannot be read
// are passed over, so as a normal user this sees only the user's own processes.
bool IsOpenedByOtherProcess(dev_t device, ino_t inode, int ownFd);

}  // namespace ombrel
