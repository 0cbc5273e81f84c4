#pragma once
// App: the installer's application controller. It loads the embedded instruction, hands the
// window its title and later starts the installation run. It reaches the window only through
// the four callbacks it is given; any of them may be empty, and an empty one is not called.
//
// Created, prepared and executed on the UI thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/instruction.h"
#include "platform/ui_dispatcher.h"

namespace ombrel {

struct TRunState;

class TApp {
public:
    using TOnProgress = std::function<void(const std::string& caption, int32_t percent)>;
    using TOnDone = std::function<void(const std::string& path, bool runAsAdmin)>;
    using TOnError = std::function<void(const std::string& msg, const std::string& sender)>;
    using TOnAssignTitle = std::function<void(const std::string& title)>;

    // Supplies the raw bytes of the embedded instruction resource. Answers false with the
    // user-facing reason in `error` (for a missing resource "Ressource instruction nicht
    // gefunden").
    using TResourceReader = std::function<bool(std::string& bytes, std::string& error)>;

    // Stores the arguments; nothing is loaded or validated here. The instruction is read from
    // the trailer of the running program's own file.
    TApp(std::string hostName, std::string updateChannel, TOnProgress onProgress, TOnDone onDone,
         TOnError onError, TOnAssignTitle onAssignTitle);
    // The same, with the instruction bytes taken from `resourceReader` instead.
    TApp(std::string hostName, std::string updateChannel, TOnProgress onProgress, TOnDone onDone,
         TOnError onError, TOnAssignTitle onAssignTitle, TResourceReader resourceReader);
    ~TApp();
    TApp(const TApp&) = delete;
    TApp& operator=(const TApp&) = delete;

    // Loads the instruction; on success calls the title callback once with its title. On
    // failure the error callback has been called with sender "TApp.LoadInstruction" and the
    // instruction stays absent. Called once, while the main window is created.
    bool Prepare();

    // Starts the installation run on a background task and returns at once. Only after
    // Prepare answered true. The run hands its progress and errors to the UI thread through
    // the dispatcher given to SetUiDispatcher; without one, building the run fails.
    void Execute();

    // The UI thread of the installation run; set before Execute.
    void SetUiDispatcher(IUiDispatcherPtr dispatcher) { iDispatcher = std::move(dispatcher); }
    // True from Execute until the run's completion step (or its error-completion step) has
    // been delivered on the UI thread; false again at once when building the run failed.
    bool IsRunning() const { return iRunning; }

    // The loaded instruction, null until Prepare succeeded.
    const TInstruction* Instruction() const { return iInstruction.get(); }
    const std::string& HostName() const { return iHostName; }
    const std::string& UpdateChannel() const { return iUpdateChannel; }

protected:
    void DoProgress(const std::string& caption, int32_t percent);
    // Adds RunAsAdmin of the loaded instruction.
    void DoDone(const std::string& path);
    void DoError(const std::string& msg, const std::string& sender);

private:
    // The exception boundary of the instruction load: every failure ends in the error callback
    // with "Anweisungen konnten nicht geladen werden: " + its message, and false.
    bool LoadInstruction(std::unique_ptr<TInstruction>& instruction);
    // Keeps the new installation (`succeeded`) or brings the previous one back; a failure is
    // reported as an error and answers false.
    bool FinishFolder(TRunState& run, bool succeeded);

    std::string iHostName;
    std::string iUpdateChannel;
    TOnProgress iOnProgress;
    TOnDone iOnDone;
    TOnError iOnError;
    std::unique_ptr<TInstruction> iInstruction;
    TOnAssignTitle iOnAssignTitle;
    TResourceReader iResourceReader;
    // The installation run.
    IUiDispatcherPtr iDispatcher;
    bool iRunning = false;
};

}  // namespace ombrel
