#pragma once
// Ombrel.Options: the settings of one engine run.

#include <memory>
#include <string>

#include "model/package_mode.h"
#include "ombrel/build_config.h"

namespace ombrel {

// Every setting of the engine and its server client. The engine asks again each time it needs
// a value and keeps no copy; implementations must answer the same value for the life of a run.
class IOptions {
public:
    virtual ~IOptions() = default;

    // Sent as "Authorization: Customer <value>" when UserAuth is empty.
    virtual std::string CustomerAuth() const = 0;
    // Sent as "Authorization: Basic <base64 of value>".
    virtual std::string UserAuth() const = 0;
    // Sent as "X-API-Key" when not empty.
    virtual std::string ApiKey() const = 0;
    // The application (project): version requests, manifest and progress file names.
    virtual std::string AppName() const = 0;
    // When not empty: package mode installs this package; info mode lists packages of this name.
    virtual std::string PackageName() const = 0;
    // The installation folder. May throw EPathError when derived from a bad AppName.
    virtual std::string Destination() const = 0;
    // The server base URL.
    virtual std::string ApiUrl() const = 0;
    // The requested version; empty for the highest.
    virtual std::string Version() const = 0;
    virtual bool Repair() const = 0;
    // Read only by the server client: longer time-outs and a connection test at creation.
    virtual bool Debug() const = 0;
    // Added as "?channel=" to every information and download request when not empty.
    virtual std::string UpdateChannel() const = 0;
    virtual bool Info() const = 0;
    virtual bool DependenciesOnly() const = 0;
    // Package kind used in package mode; application runs always use binary packages.
    virtual TPackageMode PackageMode() const = 0;
    // When not empty: a PEM file whose certificate authorities the server client trusts instead
    // of the system's for HTTPS. Read only by the server client.
    virtual std::string CaFile() const { return ""; }
    // When not empty, every release must carry a valid signature under this public key (Base64
    // of a DER P-256 SubjectPublicKeyInfo). Built into the programs, never taken from a user.
    virtual std::string ReleasePublicKey() const { return build::kReleasePublicKey; }
};

using IOptionsPtr = std::shared_ptr<IOptions>;

}  // namespace ombrel
