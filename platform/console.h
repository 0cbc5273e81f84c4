#pragma once
// The console of a command-line program: its arguments and its standard error.

#include <cstddef>
#include <string>
#include <vector>

namespace ombrel {

// The program's arguments as UTF-8, argv[0] included. On Windows they are read from the
// wide-character command line, since `argv` holds them in the ANSI code page, which cannot hold
// every name.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// Makes standard error take UTF-8 text (on Windows a console otherwise shows the bytes in its
// own code page). Call once, before anything is written.
void PrepareConsole();

// True when standard error is a terminal (a console window on Windows).
bool StandardErrorIsTerminal();

// The width of that terminal in characters; 80 when it cannot be found out.
size_t TerminalColumns();

}  // namespace ombrel
