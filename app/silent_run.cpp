#include "app/silent_run.h"

#include <chrono>
#include <memory>

#include "app/command_line.h"
#include "io/text.h"
#include "messages/msg.h"
#include "platform/ui_dispatcher.h"

namespace ombrel {
namespace {

bool HasArgument(const std::vector<std::string>& arguments,
                 std::initializer_list<const char*> spellings) {
    for (const std::string& argument : arguments) {
        for (const char* spelling : spellings) {
            if (LowerAscii(argument) == spelling) return true;
        }
    }
    return false;
}

// Nobody is there to answer a box: the messages are on standard error and in the log already.
class TSilentAlerts : public IMsgAlerts {
  public:
    explicit TSilentAlerts(std::ostream& errors) : iErrors(errors) {}
    TAnswer ShowAlert(TKind, const std::string&, const std::string&, const std::string&,
                      bool) override {
        return TAnswer::Ok;
    }
    TAnswer ShowErrorBox(const std::string& text, bool) override {
        iErrors << "ombrel-installer: error: " << text << std::endl;
        return TAnswer::Ok;
    }

  private:
    std::ostream& iErrors;
};

}  // namespace

bool WantsSilent(const std::vector<std::string>& arguments) {
    return HasArgument(arguments, {"--silent", "/silent"});
}

bool WantsHelp(const std::vector<std::string>& arguments) {
    return HasArgument(arguments, {"--help", "/?", "-?", "/help"});
}

std::string InstallerUsage(const std::string& program) {
    return "Usage: " + program +
           " [-h URL] [--update-channel NAME] [--silent]\n"
           "Installs the application named in this installer, then starts it.\n"
           "  -h URL                  update server base URL (default: the built-in server)\n"
           "  --update-channel NAME   install the highest release of this channel\n"
           "  --silent                no window: errors go to standard error and to\n"
           "                          messages.log in the current folder; the program is not\n"
           "                          started; exit status 0 on success, 1 on failure\n"
           "  --help                  print this text and start nothing\n"
           "Without --silent the installer needs a graphical display.\n";
}

int RunSilent(const std::vector<std::string>& arguments, std::ostream& errors,
              TApp::TResourceReader resourceReader) {
    auto alerts = std::make_shared<TSilentAlerts>(errors);
    MsgHandler().SetAlerts(alerts);
    const TStartSwitches switches = ReadStartSwitches(arguments);
    auto ui = std::make_shared<TEventLoopDispatcher>();
    int reported = 0;
    bool done = false;
    auto onError = [&](const std::string& msg, const std::string& sender) {
        ++reported;
        errors << "ombrel-installer: error: " << msg << " [" << sender << "]" << std::endl;
        MsgHandler().Log(msg + " [" + sender + "]", "ombrel-installer --silent");
    };
    auto onDone = [&](const std::string& path, bool) {
        done = true;
        MsgHandler().Log("installed; the program " + path + " was not started (--silent)",
                         "ombrel-installer --silent");
    };
    int result = 1;
    {
        TApp app(switches.host, switches.updateChannel, nullptr, onDone, onError, nullptr,
                 std::move(resourceReader));
        app.SetUiDispatcher(ui);
        if (app.Prepare()) {
            app.Execute();
            while (app.IsRunning()) ui->RunOne(std::chrono::milliseconds(500));
            result = done && reported == 0 ? 0 : 1;
        }
    }
    ui->Shutdown();
    MsgHandler().SetAlerts(nullptr);
    return result;
}

}  // namespace ombrel
