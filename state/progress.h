#pragma once
// Ombrel.Progress: the work plan and its progress file.

#include <memory>
#include <string>
#include <vector>

#include "io/io_interface.h"
#include "messages/messages.h"
#include "model/package.h"
#include "model/package_mode.h"

namespace ombrel {

// What an update run still has to do. Filled by one of SetApiVersionResponse,
// SetApiPackageResponse or LoadFromFile (each empties it first), then only shrinks.
// Conversion failures are reported to the sink under "Progress". Used on one thread.
class TProgress {
public:
    TProgress(IOInterfacePtr IO, IMessagesPtr Messages);

    // Each of these empties the plan first (LoadFromFile only once the file has been read) and
    // answers false, leaving the plan empty, for blank text, null or a document that does not
    // convert; only the last is reported. Packages without files are left out of the plan.
    // A version document's packages are binary; a package document gives one package with
    // the files {"*"}, its version + "." + build when build > 0, and the mode given.
    bool SetApiVersionResponse(const std::string& apiResponse);
    bool SetApiPackageResponse(const std::string& apiResponse, TPackageMode packageMode);
    // False with the plan unchanged when the file does not exist (nothing reported) or cannot
    // be read (the IO service reports it).
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
    const std::vector<std::string>& DoomedFiles() const { return iDoomedFiles; }
    std::vector<std::string>& DoomedPackages() { return iDoomedPackages; }
    const std::vector<std::string>& DoomedPackages() const { return iDoomedPackages; }

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
