#include "app/app.h"

#include <exception>
#include <stdexcept>

#include "app/norva_go_crypt.h"
#include "ombrel/build_config.h"
#include "platform/instruction_resource.h"

// The installation run.
#include <fmt/printf.h>

#include <memory>
#include <utility>

#include "api/rest_api_client.h"
#include "app/folder_deletion.h"
#include "app/installation_folder.h"
#include "app/simple_task.h"
#include "engine/ombrel.h"
#include "engine/options.h"
#include "io/disk_entries.h"
#include "io/io_system.h"
#include "io/paths.h"
#include "messages/std_messages.h"
#include "platform/folders.h"

namespace ombrel {

namespace {

constexpr char kLoadFailed[] = "Anweisungen konnten nicht geladen werden: ";
constexpr char kLoadSender[] = "TApp.LoadInstruction";
constexpr char kNoInstructions[] = "Keine Anweisungen gefunden.";
// Decryption hands back empty text (or the text is the literal null) when the instruction
// cannot be used; going on would start a run without an instruction.
constexpr char kNothingDecrypted[] =
    "Die Anweisungen konnten nicht entschlüsselt werden oder sind leer.";

}  // namespace

TApp::TApp(std::string hostName, std::string updateChannel, TOnProgress onProgress,
           TOnDone onDone, TOnError onError, TOnAssignTitle onAssignTitle)
    : TApp(std::move(hostName), std::move(updateChannel), std::move(onProgress),
           std::move(onDone), std::move(onError), std::move(onAssignTitle),
           ReadOwnInstructionResource) {}

TApp::TApp(std::string hostName, std::string updateChannel, TOnProgress onProgress,
           TOnDone onDone, TOnError onError, TOnAssignTitle onAssignTitle,
           TResourceReader resourceReader)
    : iHostName(std::move(hostName)),
      iUpdateChannel(std::move(updateChannel)),
      iOnProgress(std::move(onProgress)),
      iOnDone(std::move(onDone)),
      iOnError(std::move(onError)),
      iOnAssignTitle(std::move(onAssignTitle)),
      iResourceReader(resourceReader ? std::move(resourceReader)
                                     : TResourceReader(ReadOwnInstructionResource)) {}

TApp::~TApp() = default;

bool TApp::Prepare() {
    bool loaded = LoadInstruction(iInstruction);
    if (loaded && iOnAssignTitle) iOnAssignTitle(iInstruction->Title);
    return loaded;
}

bool TApp::LoadInstruction(std::unique_ptr<TInstruction>& instruction) {
    instruction.reset();
    try {
        std::string bytes;
        std::string error;
        if (!iResourceReader(bytes, error)) throw std::runtime_error(error);
        std::string text = InstructionTextFromBytes(bytes);
        if (text.empty()) throw std::runtime_error(kNoInstructions);
        std::string plain = AES_256_CBC_DECRYPT(build::kInstructionPassword, text);
        instruction = InstructionFromJson(plain);
        if (!instruction) throw std::runtime_error(kNothingDecrypted);
        return true;
    } catch (const std::exception& e) {
        instruction.reset();
        DoError(kLoadFailed + std::string(e.what()), kLoadSender);
        return false;
    }
}

void TApp::DoProgress(const std::string& caption, int32_t percent) {
    if (iOnProgress) iOnProgress(caption, percent);
}

void TApp::DoDone(const std::string& path) {
    if (iOnDone) iOnDone(path, iInstruction != nullptr && iInstruction->RunAsAdmin);
}

void TApp::DoError(const std::string& msg, const std::string& sender) {
    if (iOnError) iOnError(msg, sender);
}

// ---------------------------------------------------------------------------------------------
// The installation run: TApp::Execute is defined below this line.
// ---------------------------------------------------------------------------------------------

constexpr char kRunSender[] = "TApp.Execute";
// Shown for a failure that brings no text of its own (an exception with an empty message, or
// one that is no std::exception), so that the run never ends without a word.
constexpr char kUnknownFailure[] =
    "Die Installation wurde wegen eines unbekannten Fehlers abgebrochen.";

std::string FailureText(const char* what) {
    return what != nullptr && *what != '\0' ? std::string(what) : std::string(kUnknownFailure);
}

// What the run's steps share, for as long as any of them lives. The engine is destroyed by
// whichever completion step runs; resetting it twice is harmless.
struct TRunState {
    IOptionsPtr options;
    std::unique_ptr<TOmbrel> engine;
    // The run's own folder below the user's folder of installations; null for a destination
    // that is not one (an empty or absolute application name), which is used as it is.
    std::unique_ptr<TInstallationFolder> folder;
    // Errors reported by any part of the run; one of them makes the run a failure.
    int errors = 0;
};

namespace {

bool FileExists(const std::string& path) {
    return DiskFileExists(path);
}

}  // namespace

bool TApp::FinishFolder(TRunState& run, bool succeeded) {
    if (!run.folder) return true;
    std::string error;
    const bool done = succeeded ? run.folder->Commit(error) : run.folder->Rollback(error);
    if (!done) DoError(error, kRunSender);
    return done;
}

void TApp::Execute() {
    const std::string appName = iInstruction ? iInstruction->App : std::string();
    std::shared_ptr<TRunState> run;
    try {
        if (!iInstruction) throw std::logic_error("no instruction has been loaded");
        run = std::make_shared<TRunState>();
        run->options = std::make_shared<TOmbrelOptions>(iInstruction->App, iHostName,
                                                        iUpdateChannel);
        const std::string destination = run->options->Destination();
        IUiDispatcherPtr dispatcher = iDispatcher;
        if (!dispatcher) throw std::logic_error("no UI thread to report to");
        // Only the run's own folder below the user's folder of installations starts empty,
        // with the previous installation kept aside until the run has succeeded. An
        // application name that is empty, ".." or an absolute path names some other folder:
        // the engine works on it as it finds it, if it is the user's own.
        if (IsPlainSubfolderOf(UserAppsFolder(), destination)) {
            run->folder = std::make_unique<TInstallationFolder>(UserDataHome(), destination);
            run->folder->Prepare();
        } else if (FolderExistsForDeletion(destination)) {
            CheckOwnFolder(destination, "installation folder");
        }

        // Errors and progress wait on the worker until the window has shown them; warnings,
        // log and debug lines are dropped.
        auto messages = std::make_shared<TMessages>(
            [this, dispatcher, run](const std::string& msg, const std::string& sender) {
                dispatcher->Synchronize([&] {
                    ++run->errors;
                    DoError(msg, sender);
                });
            },
            nullptr, nullptr, nullptr,
            [this, dispatcher](const std::string& caption, int32_t percent) {
                dispatcher->Synchronize([&] { DoProgress(caption, percent); });
            });
        auto io = std::make_shared<TIO>(messages);
        auto apiClient = std::make_shared<TApiClient>(run->options, messages);
        run->engine = std::make_unique<TOmbrel>(run->options, io, messages, apiClient);

        iRunning = true;
        // The task deletes itself when it is done.
        new TSimpleTask<bool>(
            [run](bool&, std::string& errorText) {
                try {
                    run->engine->Execute();
                    return true;
                } catch (const std::exception& e) {
                    errorText = FailureText(e.what());
                    return false;
                } catch (...) {
                    errorText = kUnknownFailure;
                    return false;
                }
            },
            [this, run](const bool&) {
                // The engine goes at the end of this step, also when it raises.
                struct TRelease {
                    TRunState& run;
                    ~TRelease() { run.engine.reset(); }
                } release{*run};
                const std::string path = PathJoin(run->options->Destination(),
                                                  iInstruction->StartApp);
                const bool exists = FileExists(path);
                if (!exists) {
                    DoError(fmt::sprintf("Die Anwendung \"%s\" wurde nicht gefunden.", path),
                            kRunSender);
                }
                const bool succeeded = exists && run->engine->Success() && run->errors == 0;
                if (FinishFolder(*run, succeeded) && succeeded) DoDone(path);
                // When this step raises, the error-completion step follows and ends the run.
                iRunning = false;
            },
            [this, run](const std::string& errorText) {
                iRunning = false;
                run->engine.reset();
                // An exception of the engine, or of the completion step, would otherwise end
                // the run without a word while the indicator keeps turning.
                DoError(FailureText(errorText.c_str()), kRunSender);
                FinishFolder(*run, false);
            },
            dispatcher);
    } catch (const std::exception& e) {
        iRunning = false;
        if (run && run->folder) {
            std::string error;
            if (!run->folder->Rollback(error)) DoError(error, kRunSender);
        }
        DoError(fmt::sprintf("Konnte App %s nicht Herunterladen/Installieren: %s", appName,
                             FailureText(e.what())),
                kRunSender);
    }
}

}  // namespace ombrel
