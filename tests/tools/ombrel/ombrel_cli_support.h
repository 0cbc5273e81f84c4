#pragma once
// Real processes for the ombrel end-to-end tests: the ombrel-server executable on 127.0.0.1 and
// runs of the ombrel executable with their standard error captured.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace ombrel::testing {

struct ProcessResult {
    int exitCode = -1;    // -1 when killed by a signal
    int signal = 0;       // the signal that ended it
    std::string output;   // standard error (and standard output when merged)

    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::istringstream in(output);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    bool HasLine(const std::string& line) const {
        for (const auto& l : Lines()) {
            if (l == line) return true;
        }
        return false;
    }
    size_t CountPrefix(const std::string& prefix) const {
        size_t n = 0;
        for (const auto& l : Lines()) n += l.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }
};

// Starts argv[0] with extra environment entries ("NAME=value"); the child's standard error (and
// standard output when mergeStdout) go to a pipe whose read end is answered.
inline pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   bool mergeStdout, int& readFd) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        // A group of its own, so that a test can end the child with everything it started.
        setpgid(0, 0);
        dup2(fds[1], STDERR_FILENO);
        if (mergeStdout) {
            dup2(fds[1], STDOUT_FILENO);
        } else {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
        }
        int in = open("/dev/null", O_RDONLY);
        dup2(in, STDIN_FILENO);
        for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    readFd = fds[0];
    return pid;
}

inline ProcessResult Wait(pid_t pid, int readFd) {
    ProcessResult result;
    char buffer[4096];
    for (;;) {
        ssize_t n = read(readFd, buffer, sizeof buffer);
        if (n > 0) {
            result.output.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(readFd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

// Runs a program to its end.
inline ProcessResult RunProcess(const std::vector<std::string>& argv,
                                const std::vector<std::string>& env = {},
                                bool mergeStdout = false) {
    int fd = -1;
    pid_t pid = Spawn(argv, env, mergeStdout, fd);
    return Wait(pid, fd);
}

// Runs a program to its end with its standard error on a pseudo-terminal (standard output goes
// to /dev/null), as a user at a terminal sees it. The terminal turns "\n" into "\r\n".
inline ProcessResult RunOnTerminal(const std::vector<std::string>& argv,
                                   const std::vector<std::string>& env = {}) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        throw std::runtime_error("pseudo-terminal");
    }
    const std::string slaveName = ptsname(master);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        setsid();
        int slave = open(slaveName.c_str(), O_RDWR);
        if (slave < 0) _exit(126);
        dup2(slave, STDERR_FILENO);
        int null = open("/dev/null", O_RDWR);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDIN_FILENO);
        close(slave);
        for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    // Reading ends with EIO once the child and everything it started closed the terminal.
    return Wait(pid, master);
}

// The ombrel-server executable serving a store on 127.0.0.1, any free port.
class ServerProcess {
public:
    ServerProcess(const std::string& binary, const std::string& store,
                  const std::vector<std::string>& extra = {}) {
        std::vector<std::string> argv = {binary, "--store", store, "--host", "127.0.0.1",
                                         "--port", "0", "--quiet"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        pid = Spawn(argv, {}, true, fd);
        // The first line tells where it listens: "listening on http://127.0.0.1:PORT".
        std::string line;
        char c;
        while (read(fd, &c, 1) == 1 && c != '\n') line += c;
        const std::string prefix = "listening on ";
        if (line.rfind(prefix, 0) != 0) {
            Stop();
            throw std::runtime_error("ombrel-server did not start: " + line);
        }
        url = line.substr(prefix.size());
    }
    ~ServerProcess() { Stop(); }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    const std::string& Url() const { return url; }
    // "127.0.0.1:PORT": the name of the engine's cache folder for this server.
    std::string HostPort() const { return url.substr(url.find("://") + 3); }

    // Ends the server at once, as a crash or a pulled cable would.
    void Kill() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            Wait(pid, fd);
            pid = -1;
        }
    }
    void Stop() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            Wait(pid, fd);
            pid = -1;
        }
    }
    pid_t Pid() const { return pid; }

private:
    pid_t pid = -1;
    int fd = -1;
    std::string url;
};

}  // namespace ombrel::testing
