#pragma once
// The installer without a window: for administrators who deploy it unattended (--silent).

#include <ostream>
#include <string>
#include <vector>

#include "app/app.h"

namespace ombrel {

// Runs one installation as the window would, on the calling thread as UI thread, without any
// window and without starting the installed program. Every error goes to `errors` as one line
// "ombrel-installer: error: <message> [<sender>]" and into the message log (messages.log in the
// current folder, written when the process ends). Answers the exit status: 0 when the
// instruction loaded and the run ended without any error, 1 otherwise. `arguments` are those
// after the program name (the switches -h and --update-channel are read from them as the
// window does); `resourceReader` replaces the program's own instruction trailer (tests).
int RunSilent(const std::vector<std::string>& arguments, std::ostream& errors,
              TApp::TResourceReader resourceReader = {});

// True when the arguments ask for --silent or --help (either spelling of the installer's
// switch style: "--silent", "/silent"; "--help", "/?", "-?").
bool WantsSilent(const std::vector<std::string>& arguments);
bool WantsHelp(const std::vector<std::string>& arguments);

// The installer's switches, for --help.
std::string InstallerUsage(const std::string& program);

}  // namespace ombrel
