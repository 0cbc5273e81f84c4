#include "engine/command_line_options.h"

#include <CLI/CLI.hpp>

#include <initializer_list>

#include "api/http_transport.h"
#include "io/paths.h"
#include "ombrel/build_config.h"
#include "platform/folders.h"

namespace ombrel {

TCommandLineOptions::TCommandLineOptions()
    : iApiKey(build::kApiKey), iApiUrl(build::kDefaultServer) {}

std::string TCommandLineOptions::Destination() const {
    if (iDestination) return *iDestination;
    return PathJoin(UserAppsFolder(), iAppName);
}

TParseResult ParseCommandLine(int argc, const char* const* argv, TCommandLine& commandLine) {
    TCommandLineOptions& o = *commandLine.Options;
    CLI::App app{
        "Installs, updates, repairs or lists an application or a single package from an "
        "update server.\n"
        "Every report is printed to standard error as '<level>: <sender>: <text>'. Exit status: "
        "0 when the run reported no error, 1 when it did, 2 for bad usage.",
        "ombrel"};
    app.set_help_flag("-h,--help", "Print this help and exit");

    app.add_option("--app", o.iAppName, "Application (project) to install or update")
        ->type_name("NAME");
    app.add_option("--package", o.iPackageName,
                   "Install this one package instead of an application; with --info, list the "
                   "packages of this name")
        ->type_name("NAME");
    std::string destination;
    auto* destinationOption =
        app.add_option("--dest", destination,
                       "Installation folder (default: " + UserAppsFolderHelp() +
                           ", as the installer uses)")
            ->type_name("DIR");
    app.add_option("--server", o.iApiUrl, "Update server base URL")
        ->type_name("URL")
        ->default_str(build::kDefaultServer);
    app.add_option("--version", o.iVersion,
                   "Install or force exactly this version; in package mode, the package version")
        ->type_name("V");
    app.add_flag("--repair", o.iRepair,
                 "Repair the installation against the server's file hashes");
    app.add_option("--channel", o.iUpdateChannel, "Update channel")->type_name("NAME");
    app.add_flag("--info", o.iInfo, "Only list the server's packages named by --package");
    app.add_flag("--deps-only", o.iDependenciesOnly,
                 "Install everything except the application's own package");
    bool source = false;
    app.add_flag("--source", source, "Package mode: install the source package");
    app.add_option("--api-key", o.iApiKey, "API key (default: the built-in key)")
        ->type_name("KEY");
    app.add_option("--user", o.iUserAuth, "User credential for Basic authentication")
        ->type_name("USER");
    app.add_option("--customer", o.iCustomerAuth, "Customer credential")->type_name("ID");
    app.add_option("--ca-file", o.iCaFile,
                   "Trust the certificate authorities in this PEM file instead of the system's "
                   "for HTTPS")
        ->type_name("FILE")
        ->check(CLI::Validator([](const std::string&) { return CaFileUnsupportedReason(); },
                               "", "PLATFORM"))
        ->check(CLI::ExistingFile);
    app.add_flag("--debug", o.iDebug, "Longer server time-outs and a connection test first");
    bool verbose = false;
    bool quiet = false;
    auto* verboseFlag = app.add_flag("--verbose", verbose, "Also print debug reports");
    auto* quietFlag = app.add_flag("--quiet", quiet, "Print errors and warnings only");
    verboseFlag->excludes(quietFlag);
    app.add_flag("--prune-cache", commandLine.PruneCache,
                 "Remove the cached packages of the server that no installation uses (with "
                 "--app: the packages of that installation at other versions), say how much "
                 "was freed, and exit");
    // Testing aid, not shown in the help.
    app.add_flag("--stop-before-copy", commandLine.StopBeforeCopy)->group("");

    TParseResult result;
    const std::string usage = std::string("Usage: ombrel --app NAME [options]   install, update, repair or force a version\n") +
                              "       ombrel --prune-cache [--app NAME [--dest DIR]] [--server URL]\n" +
                              "       ombrel --package NAME --dest DIR [--version V] [--source] [options]\n" +
                              "       ombrel --info --package NAME [options]\n" +
                              "Run with --help for more information.\n";
    if (argc <= 1) {
        result.ExitCode = 2;
        result.Output = usage;
        return result;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        result.ExitCode = 0;
        result.Output = app.help();
        return result;
    } catch (const CLI::ParseError& e) {
        result.ExitCode = 2;
        result.Output = std::string("ombrel: ") + e.what() + "\nRun with --help for more information.\n";
        return result;
    }
    // Options that mean nothing in the mode chosen are refused rather than ignored.
    const bool info = app.count("--info") > 0;
    const bool package = app.count("--package") > 0;
    const bool application = app.count("--app") > 0;
    std::string misuse;
    auto refuse = [&](std::initializer_list<const char*> options, const std::string& why) {
        for (const char* option : options) {
            if (misuse.empty() && app.count(option) > 0) misuse = std::string(option) + " " + why;
        }
    };
    if (commandLine.PruneCache) {
        refuse({"--package", "--info", "--version", "--repair", "--deps-only", "--source",
                "--channel", "--stop-before-copy"},
               "means nothing with --prune-cache");
    } else if (info) {
        if (!package) misuse = "--info needs --package NAME";
        refuse({"--app", "--dest", "--version", "--repair", "--deps-only", "--source",
                "--stop-before-copy"},
               "means nothing with --info");
    } else if (package) {
        refuse({"--repair", "--deps-only", "--stop-before-copy"},
               "means nothing with --package (it is for an application, --app)");
        if (misuse.empty() && !application && destinationOption->count() == 0) {
            misuse = "--package needs --dest DIR (or --app NAME to install below its folder)";
        }
    } else if (application) {
        refuse({"--source"}, "needs --package (it selects the source of a package)");
        if (misuse.empty() && o.iRepair && !o.iVersion.empty()) {
            misuse = "--version means nothing with --repair (a repair keeps the installed version)";
        }
    } else {
        misuse = "--app NAME or --package NAME is required";
    }
    if (!misuse.empty()) {
        result.ExitCode = 2;
        result.Output = "ombrel: " + misuse + "\n" + usage;
        return result;
    }

    if (destinationOption->count() > 0) o.iDestination = destination;
    o.iPackageMode = source ? TPackageMode::source : TPackageMode::binary;
    commandLine.Verbosity = verbose ? TVerbosity::Verbose
                            : quiet ? TVerbosity::Quiet
                                    : TVerbosity::Normal;
    return result;
}

}  // namespace ombrel
