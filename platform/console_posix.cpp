#include "platform/console.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace ombrel {

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void PrepareConsole() {}

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) == 1; }

size_t TerminalColumns() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

}  // namespace ombrel
