#include "platform/process_launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

extern char** environ;

namespace ombrel {
namespace {

// The folder part of a path; the root keeps its separator.
std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

// What the started side tells the caller when it could not exec; nothing at all on success,
// because the exec closes the pipe.
struct ChildFailure {
    int stage;  // 0 fork, 1 chdir, 2 exec
    int error;
};

void ReportAndExit(int fd, int stage) {
    const ChildFailure failure{stage, errno};
    ssize_t ignored = ::write(fd, &failure, sizeof failure);
    (void)ignored;
    ::_exit(127);
}

// Only async-signal-safe calls from here on: the caller may have other threads.
[[noreturn]] void RunDetached(int reportFd, const char* folder, const char* program,
                              char* const argv[]) {
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild < 0) ReportAndExit(reportFd, 0);
    if (grandchild > 0) ::_exit(0);

    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &defaults, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    if (folder[0] != '\0' && ::chdir(folder) != 0) ReportAndExit(reportFd, 1);
    // Descriptors of the installer (display connection, downloads) are not the program's
    // business; the report pipe is close-on-exec already.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execve(program, argv, environ);
    ReportAndExit(reportFd, 2);
    ::_exit(127);
}

}  // namespace

std::string FindProgramInPath(const std::string& name) {
    if (name.empty()) return "";
    if (name.find('/') != std::string::npos) return IsExecutableFile(name) ? name : "";
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        // An empty entry means the current folder.
        const std::string candidate =
            (end == start ? std::string(".") : dirs.substr(start, end - start)) + "/" + name;
        if (IsExecutableFile(candidate)) return candidate;
        start = end + 1;
    }
    return "";
}

TProcessLauncher::TProcessLauncher(std::string elevator, std::string opener)
    : iElevator(std::move(elevator)), iOpener(std::move(opener)) {}

bool TProcessLauncher::StartProgram(const std::string& path, bool runAsAdmin) {
    iLastError.clear();
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        iLastError =
            "Cannot start \"" + path + "\": " + std::strerror(path.empty() ? ENOENT : errno);
        return false;
    }

    // Everything the child needs is prepared here: after fork only async-signal-safe calls.
    std::vector<std::string> args;
    std::string program;
    if (!IsExecutableFile(path)) {
        program = FindProgramInPath(iOpener);
        args = {iOpener, path};
    } else if (runAsAdmin) {
        program = FindProgramInPath(iElevator);
        // pkexec starts the program in the target user's home folder unless told otherwise.
        args = {iElevator, "--keep-cwd", path};
    } else {
        program = path;
        args = {path};
    }
    if (program.empty()) {
        iLastError = "Cannot start \"" + path + "\": \"" + args.front() + "\" was not found";
        return false;
    }
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string folder = FolderOf(path);

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        iLastError = std::string("Cannot start a process: ") + std::strerror(errno);
        return false;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        iLastError = std::string("Cannot start a process: ") + std::strerror(errno);
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (child == 0) {
        ::close(report[0]);
        RunDetached(report[1], folder.c_str(), program.c_str(), argv.data());
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ChildFailure failure{};
    ssize_t got;
    do {
        got = ::read(report[0], &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof failure)) {
        static const char* const kStages[] = {"fork", "chdir", "exec"};
        const char* stage = failure.stage >= 0 && failure.stage <= 2 ? kStages[failure.stage] : "?";
        iLastError =
            "Cannot start \"" + path + "\" (" + stage + "): " + std::strerror(failure.error);
        return false;
    }
    return true;
}

}  // namespace ombrel
