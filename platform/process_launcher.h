#pragma once
// Starting the installed program.

#include <memory>
#include <string>

namespace ombrel {

class IProcessLauncher {
  public:
    virtual ~IProcessLauncher() = default;

    // Starts the program at `path` without arguments, detached from this process (it outlives
    // the installer and is never waited for), with the folder part of `path` as its working
    // folder. With `runAsAdmin` the program is started with administrator rights. A file that
    // is not executable is handed to the desktop's default application instead. Answers whether
    // the start was handed off; callers may ignore the answer.
    virtual bool StartProgram(const std::string& path, bool runAsAdmin) = 0;
};

using IProcessLauncherPtr = std::shared_ptr<IProcessLauncher>;

// The POSIX launcher: fork, a new session, a second fork (so no zombie is left behind), chdir and
// exec. No shell is involved anywhere, so blanks, quotes or "$(...)" in a path are just part of
// the path. Elevation goes through `elevator` ("pkexec": `pkexec --keep-cwd <path>`, so that the
// program starts in its own folder there too); a file that is not an
// executable regular file goes to `opener` ("xdg-open": `xdg-open <path>`), with no elevation.
// Helper names without "/" are looked up in PATH before forking.
class TProcessLauncher : public IProcessLauncher {
  public:
    explicit TProcessLauncher(std::string elevator = "pkexec", std::string opener = "xdg-open");

    // True when the exec succeeded. False, with the reason in LastError, when the file is
    // missing, a helper cannot be found, or fork, chdir or exec failed.
    bool StartProgram(const std::string& path, bool runAsAdmin) override;

    // The reason of the last failed start, as the system words it; empty after a success.
    const std::string& LastError() const { return iLastError; }

  private:
    std::string iElevator;
    std::string iOpener;
    std::string iLastError;
};

// Looks a program name up in PATH the way a shell would (names containing "/" are taken as
// they are). Empty when nothing executable was found.
std::string FindProgramInPath(const std::string& name);

}  // namespace ombrel
