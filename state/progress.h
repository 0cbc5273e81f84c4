#pragma once
// Ombrel.Progress: the work plan and its progress file.

#include <memory>
#include <string>
#include <vector>

#include "engine/ombrel_options.h"
#include "io/io_interface.h"
#include "messages/messages.h"
#include "state/package.h"

namespace ombrel {

// What an update run still has to do. Filled by one of SetApiVersionResponse,
// SetApiPackageResponse or LoadFromFile (each empties it first), then only shrinks.
// Conversion failures are reported to the sink under "Progress". Used on one thread.
class TProgress {
public:
    TProgress(IOInterfacePtr IO, IMessagesPtr Messages);

    bool SetApiVersionResponse(const std::string& apiResponse);
    bool SetApiPackageResponse(const std::string& apiResponse, TPackageMode packageMode);
    bool LoadFromFile(const std::string& FileName);
    // Answers the result of IOInterface::SetLines (which replaces the file atomically).
    bool SaveToFile(const std::string& FileName);

    bool NothingTodo() const;
    bool HasToDoIO() const;
    // Removes that very package object (by identity); nothing when it is not in the plan.
    void RemoveFromPackages(const TPackage* package);
    // Removes the first package whose Name equals name exactly.
    void RemovePackage(const std::string& name);

    std::string Version;
    std::vector<std::unique_ptr<TPackage>>& Packages() { return iPackages; }
    const std::vector<std::unique_ptr<TPackage>>& Packages() const { return iPackages; }
    std::vector<std::string>& DoomedFiles() { return iDoomedFiles; }
    std::vector<std::string>& DoomedPackages() { return iDoomedPackages; }

private:
    void ReportError(const std::string& text);
    bool ReadVersionDocument(const std::string& text, const std::string& source);
    void Clear();

    IMessagesPtr Messages;
    IOInterfacePtr IO;
    std::vector<std::unique_ptr<TPackage>> iPackages;
    std::vector<std::string> iDoomedFiles;
    std::vector<std::string> iDoomedPackages;
};

}  // namespace ombrel
