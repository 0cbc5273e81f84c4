#pragma once
// The engine's options as given on the `ombrel` command line.

#include <memory>
#include <optional>
#include <string>

#include "api/ombrel_options.h"

namespace ombrel {

// Every setting of IOptions, filled from the command line; unset values keep the defaults of
// the installer (built-in server and API key, destination below the user's folder of
// installations).
class TCommandLineOptions : public IOptions {
public:
    TCommandLineOptions();

    std::string CustomerAuth() const override { return iCustomerAuth; }
    std::string UserAuth() const override { return iUserAuth; }
    std::string ApiKey() const override { return iApiKey; }
    std::string AppName() const override { return iAppName; }
    std::string PackageName() const override { return iPackageName; }
    // The folder given with --dest, exactly as given (also an empty one, which the engine then
    // refuses); without --dest, the user's folder of installations joined with AppName, as the
    // installer does (may throw EPathError for a bad AppName).
    std::string Destination() const override;
    std::string ApiUrl() const override { return iApiUrl; }
    std::string Version() const override { return iVersion; }
    bool Repair() const override { return iRepair; }
    bool Debug() const override { return iDebug; }
    std::string UpdateChannel() const override { return iUpdateChannel; }
    bool Info() const override { return iInfo; }
    bool DependenciesOnly() const override { return iDependenciesOnly; }
    TPackageMode PackageMode() const override { return iPackageMode; }
    std::string CaFile() const override { return iCaFile; }
    // The built-in key; no command-line option changes it (programs embedding the engine, and
    // tests, set the field).
    std::string ReleasePublicKey() const override { return iReleasePublicKey; }

    std::string iCustomerAuth;
    std::string iUserAuth;
    std::string iApiKey;
    std::string iAppName;
    std::string iPackageName;
    std::optional<std::string> iDestination;
    std::string iApiUrl;
    std::string iVersion;
    bool iRepair = false;
    bool iDebug = false;
    std::string iUpdateChannel;
    bool iInfo = false;
    bool iDependenciesOnly = false;
    TPackageMode iPackageMode = TPackageMode::binary;
    std::string iCaFile;
    std::string iReleasePublicKey = build::kReleasePublicKey;
};

// Which reports the front end prints.
enum class TVerbosity { Quiet, Normal, Verbose };

// The whole command line of `ombrel`.
struct TCommandLine {
    std::shared_ptr<TCommandLineOptions> Options = std::make_shared<TCommandLineOptions>();
    TVerbosity Verbosity = TVerbosity::Normal;
    // Testing aid: the run stops after the downloads, before the installation folder changes.
    bool StopBeforeCopy = false;
    // Remove cached packages that no recorded installation uses, instead of a run.
    bool PruneCache = false;
};

// What ParseCommandLine decided.
struct TParseResult {
    // -1: run the engine; otherwise exit with this status (0 after --help, 2 for bad usage).
    int ExitCode = -1;
    // Text to print before exiting: the help (to standard output) or the usage error (to
    // standard error).
    std::string Output;
};

TParseResult ParseCommandLine(int argc, const char* const* argv, TCommandLine& commandLine);

}  // namespace ombrel
