// ombrel: runs the update engine from the command line (see --help).
//
// Every report of the run goes to standard error as one line "<level>: <sender>: <text>".
// When standard error is a terminal, progress shows as one live line that is cleared at the end.
// Exit status: 0 when the run reported no error, 1 when it did, 2 for bad usage.

#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "api/rest_api_client.h"
#include "engine/command_line_options.h"
#include "engine/ombrel.h"
#include "io/io_system.h"
#include "messages/std_messages.h"
#include "platform/console.h"

namespace {

using namespace ombrel;

// Writes reports and the live progress line to standard error.
class TConsole {
public:
    TConsole(TVerbosity verbosity, bool terminal)
        : iVerbosity(verbosity), iShowProgress(terminal && verbosity != TVerbosity::Quiet) {}

    void Report(const char* level, const std::string& sender, const std::string& text) {
        std::string line = std::string(level) + ": " + sender + ": " + OneLine(text) + "\n";
        if (iProgressShown) Write("\r\033[K");
        Write(line);
        if (iProgressShown) Write(iProgressLine);
    }

    bool Shows(TVerbosity least) const { return iVerbosity >= least; }

    void Progress(const std::string& caption, int32_t percent) {
        if (!iShowProgress) return;
        std::string text = std::to_string(percent) + "% " + caption;
        const size_t width = Columns();
        if (width > 4 && text.size() > width - 1) {
            text = "..." + text.substr(text.size() - (width - 4));
        }
        iProgressLine = "\r\033[K" + text;
        // Unpacking reports every entry; a terminal does not need more than a few a second.
        // The latest text is kept and shown with the next line or the next due report.
        const auto now = std::chrono::steady_clock::now();
        if (iProgressShown && now - iLastProgress < std::chrono::milliseconds(50)) return;
        iLastProgress = now;
        Write(iProgressLine);
        iProgressShown = true;
    }

    void EndProgress() {
        if (iProgressShown) Write("\r\033[K");
        iProgressShown = false;
    }

private:
    static std::string OneLine(const std::string& text) {
        std::string line;
        line.reserve(text.size());
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\r' || text[i] == '\n') {
                if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
                line += ' ';
            } else {
                line += text[i];
            }
        }
        return line;
    }

    static size_t Columns() { return TerminalColumns(); }

    static void Write(const std::string& text) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }

    TVerbosity iVerbosity;
    bool iShowProgress;
    bool iProgressShown = false;
    std::string iProgressLine;
    std::chrono::steady_clock::time_point iLastProgress;
};

}  // namespace

int main(int argc, char** argv) {
    PrepareConsole();
    std::vector<std::string> arguments = CommandLineArguments(argc, argv);
    std::vector<char*> argumentPointers;
    for (std::string& argument : arguments) argumentPointers.push_back(argument.data());
    argumentPointers.push_back(nullptr);
    TCommandLine commandLine;
    TParseResult parsed = ParseCommandLine(static_cast<int>(arguments.size()),
                                           argumentPointers.data(), commandLine);
    if (parsed.ExitCode >= 0) {
        std::fputs(parsed.Output.c_str(), parsed.ExitCode == 0 ? stdout : stderr);
        return parsed.ExitCode;
    }

    TConsole console(commandLine.Verbosity, StandardErrorIsTerminal());
    auto messages = std::make_shared<TMessages>(
        [&](const std::string& msg, const std::string& sender) {
            console.Report("error", sender, msg);
        },
        [&](const std::string& msg, const std::string& sender) {
            console.Report("warning", sender, msg);
        },
        [&](const std::string& msg, const std::string& sender) {
            if (console.Shows(TVerbosity::Normal)) console.Report("log", sender, msg);
        },
        [&](const std::string& msg, const std::string& sender) {
            if (console.Shows(TVerbosity::Verbose)) console.Report("debug", sender, msg);
        },
        [&](const std::string& caption, int32_t percent) { console.Progress(caption, percent); });

    try {
        auto io = std::make_shared<TIO>(messages);
        auto apiClient = std::make_shared<TApiClient>(commandLine.Options, messages);
        TOmbrel engine(commandLine.Options, io, messages, apiClient);
        if (commandLine.StopBeforeCopy) {
            engine.OnInterceptBeforePackageCopy([messages] {
                messages->Log("stopped before copying (--stop-before-copy)", "ombrel");
                return true;
            });
        }
        engine.Execute();
    } catch (const std::exception& e) {
        messages->Error(e.what(), "ombrel");
    }
    console.EndProgress();
    return messages->IsError ? 1 : 0;
}
