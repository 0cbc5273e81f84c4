#pragma once
// Options: the installer's engine options. Three values come from construction; all others are
// fixed, so the installer always runs a plain installation of one application into a folder
// below the user's folder of installations (UserAppsFolder: on this platform the private,
// lasting counterpart of a per-user temporary folder).

#include "api/ombrel_options.h"

namespace ombrel {

class TOmbrelOptions : public IOptions {
public:
    TOmbrelOptions(std::string appName, std::string hostName, std::string updateChannel);

    std::string CustomerAuth() const override { return ""; }
    std::string UserAuth() const override { return ""; }
    // The key built into the program.
    std::string ApiKey() const override;
    std::string AppName() const override { return iApp; }
    std::string PackageName() const override { return ""; }
    // The user's folder of installations, asked for on every call, joined with AppName.
    std::string Destination() const override;
    std::string ApiUrl() const override { return iHost; }
    std::string Version() const override { return ""; }
    bool Repair() const override { return false; }
    bool Debug() const override { return false; }
    std::string UpdateChannel() const override { return iUpdateChannel; }
    bool Info() const override { return false; }
    bool DependenciesOnly() const override { return false; }
    TPackageMode PackageMode() const override { return TPackageMode::binary; }

private:
    std::string iApp;
    std::string iHost;
    std::string iUpdateChannel;
};

}  // namespace ombrel
