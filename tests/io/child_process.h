#pragma once
// A second, real process for the tests: one that holds a file open, or runs a program.

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <string>

namespace ombrel::testing {

// How the child holds the file.
enum class Hold { Read, Write, Mapped };

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Forks a child that opens `path` as asked (for Mapped: maps it and closes the
    // descriptor) and then waits to be killed. Returns once the child holds the file.
    void HoldOpen(const std::string& path, Hold how) {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
        iPid = ::fork();
        if (iPid < 0) throw std::runtime_error("fork");
        if (iPid == 0) {
            int fd = ::open(path.c_str(), how == Hold::Write ? O_WRONLY : O_RDONLY);
            if (fd < 0) ::_exit(2);
            if (how == Hold::Mapped) {
                if (::mmap(nullptr, 1, PROT_READ, MAP_SHARED, fd, 0) == MAP_FAILED) ::_exit(3);
                ::close(fd);
            }
            (void)!::write(ready[1], "r", 1);
            for (;;) ::pause();
        }
        ::close(ready[1]);
        char c = 0;
        ssize_t got = ::read(ready[0], &c, 1);
        ::close(ready[0]);
        if (got != 1) throw std::runtime_error("child could not hold " + path);
    }

    // Runs the program `path` with one argument. Returns once the program has been started
    // (the exec has closed the child's end of a close-on-exec pipe).
    void Run(const std::string& path, const std::string& argument) {
        int started[2];
        if (::pipe2(started, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
        iPid = ::fork();
        if (iPid < 0) throw std::runtime_error("fork");
        if (iPid == 0) {
            char* const argv[] = {const_cast<char*>(path.c_str()),
                                  const_cast<char*>(argument.c_str()), nullptr};
            ::execv(path.c_str(), argv);
            (void)!::write(started[1], "x", 1);
            ::_exit(127);
        }
        ::close(started[1]);
        char c = 0;
        ssize_t got = ::read(started[0], &c, 1);
        ::close(started[0]);
        if (got != 0) throw std::runtime_error("could not run " + path);
    }

    void Stop() {
        if (iPid > 0) {
            ::kill(iPid, SIGKILL);
            int status = 0;
            ::waitpid(iPid, &status, 0);
            iPid = -1;
        }
    }

    pid_t Pid() const { return iPid; }

    // The process's name as the system keeps it (/proc/PID/comm).
    std::string Name() const {
        std::ifstream comm("/proc/" + std::to_string(iPid) + "/comm");
        std::string name;
        std::getline(comm, name);
        return name;
    }

private:
    pid_t iPid = -1;
};

}  // namespace ombrel::testing
