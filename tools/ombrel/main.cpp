// ombrel: runs the update engine from the command line (see --help).
//
// Every report of the run goes to standard error as one line "<level>: <sender>: <text>".
// When standard error is a terminal, progress shows as one live line that is cleared at the end.
// Exit status: 0 when the run reported no error, 1 when it did, 2 for bad usage.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <vector>
#include <memory>
#include <string>
#include <vector>

#include "api/rest_api_client.h"
#include "engine/cache_pruner.h"
#include "engine/command_line_options.h"
#include "engine/ombrel.h"
#include "io/io_system.h"
#include "io/paths.h"
#include "messages/std_messages.h"
#include "platform/console.h"
#include "platform/folders.h"

namespace {

using namespace ombrel;

std::string FormatBytes(int64_t bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes);
    int unit = -1;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, value < 10 ? "%.2f %s" : value < 100 ? "%.1f %s" : "%.0f %s",
                  value, kUnits[unit]);
    return text;
}

std::string FormatDuration(double seconds) {
    char text[32];
    if (seconds < 60) {
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    } else {
        const auto whole = static_cast<long long>(seconds + 0.5);
        if (whole < 3600) {
            std::snprintf(text, sizeof text, "%lld:%02lld min", whole / 60, whole % 60);
        } else {
            std::snprintf(text, sizeof text, "%lld:%02lld:%02lld h", whole / 3600,
                          whole / 60 % 60, whole % 60);
        }
    }
    return text;
}


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
        if (!iDownloadFile.empty() && caption == "download " + iDownloadFile) {
            if (percent < 100) {
                text += ": " + iDownloadDetail;
            } else {
                iDownloadFile.clear();
            }
        }
        const size_t width = Columns();
        if (width > 4 && text.size() > width - 1) {
            text = "..." + text.substr(text.size() - (width - 4));
        }
        iProgressLine = "\r\033[K" + text;
        // Unpacking reports every entry; a terminal does not need more than a few a second.
        // The latest text is kept and shown with the next line or the next due report.
        const auto now = std::chrono::steady_clock::now();
        if (iProgressShown && now - iLastProgress < std::chrono::milliseconds(100)) return;
        iLastProgress = now;
        Write(iProgressLine);
        iProgressShown = true;
    }

    // Bytes of the download in progress; shown with the download's percent line.
    void Download(const std::string& fileName, int64_t received, int64_t total,
                  std::chrono::steady_clock::time_point started) {
        if (!iShowProgress) return;
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const double rate = seconds > 0.05 ? static_cast<double>(received) / seconds : 0.0;
        std::string detail = FormatBytes(received);
        if (total >= 0) detail += " of " + FormatBytes(total);
        if (rate > 0) {
            detail += ", " + FormatBytes(static_cast<int64_t>(rate)) + "/s";
            if (total >= received) {
                detail += ", " + FormatDuration(static_cast<double>(total - received) / rate) +
                          " left";
            }
        }
        iDownloadFile = fileName;
        iDownloadDetail = detail;
        const int32_t percent =
            total > 0 ? static_cast<int32_t>(std::min<int64_t>(received * 100 / total, 100)) : 0;
        Progress("download " + fileName, percent);
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
    std::string iDownloadFile;
    std::string iDownloadDetail;
    bool iProgressShown = false;
    std::string iProgressLine;
    std::chrono::steady_clock::time_point iLastProgress;
};

// Ends the work of main's try block early.
struct TDone {};

// --prune-cache: the manifests whose packages stay, then the pruning; answers the summary.
std::string PruneCacheRun(const TCommandLine& commandLine, IMessages& messages) {
    const IOptions& o = *commandLine.Options;
    const std::string cache = PackageCacheFolder(o.ApiUrl());
    std::vector<std::string> manifests;
    const bool oneInstallation = !o.AppName().empty();
    std::error_code ec;
    if (oneInstallation) {
        const std::string manifest = PathJoin(o.Destination(), o.AppName() + ".ombrel");
        if (!std::filesystem::is_regular_file(manifest, ec)) {
            messages.Error("no installation of " + o.AppName() + " in " + o.Destination() +
                               " (no manifest " + manifest + "); nothing removed",
                           "ombrel");
            return "nothing removed";
        }
        manifests.push_back(manifest);
    } else {
        // Every installation below the user's folder of installations, and the one --dest names.
        std::vector<std::string> folders;
        const std::string apps = UserAppsFolder();
        for (auto it = std::filesystem::directory_iterator(apps, ec);
             !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
            if (it->is_directory(ec) && !it->is_symlink(ec)) folders.push_back(it->path().string());
        }
        if (commandLine.Options->iDestination) folders.push_back(*commandLine.Options->iDestination);
        for (const std::string& folder : folders) {
            std::error_code listError;
            for (auto it = std::filesystem::directory_iterator(folder, listError);
                 !listError && it != std::filesystem::directory_iterator(); it.increment(listError)) {
                if (it->path().extension() == ".ombrel" && it->is_regular_file(listError)) {
                    manifests.push_back(it->path().string());
                }
            }
        }
    }
    TPruneResult result;
    PruneCache(cache, manifests, oneInstallation, messages, result);
    return "pruned the package cache " + cache + ": " + std::to_string(result.Removed) +
           (result.Removed == 1 ? " package" : " packages") + " removed, " +
           FormatBytes(result.Bytes) + " freed";
}

// The one line that ends every run: what happened, to what, and what it cost.
std::string SummaryLine(const TCommandLine& commandLine, const TOmbrel::TRunReport& report,
                        int errors, bool stopped, double seconds) {
    const IOptions& o = *commandLine.Options;
    std::string destination;
    try {
        destination = o.Destination();
    } catch (const std::exception&) {
        destination = "(none)";
    }
    std::string downloads = std::to_string(report.PackagesDownloaded) +
                            (report.PackagesDownloaded == 1 ? " package" : " packages") + " (" +
                            FormatBytes(report.BytesDownloaded) + ") downloaded";
    const std::string took = FormatDuration(seconds);
    if (errors > 0) {
        return "failed after " + took + " with " + std::to_string(errors) +
               (errors == 1 ? " error" : " errors") + "; " + downloads +
               "; the installation folder " + destination + " was not completed";
    }
    const std::string subject = o.PackageName().empty() ? o.AppName()
                                                        : "package " + o.PackageName();
    const std::string version = report.Version.empty() ? "" : " " + report.Version;
    if (report.Mode == "info") return "listed the packages named " + o.PackageName() + ", " + took;
    if (stopped) return "stopped before copying: " + downloads + ", " + took;
    if (report.NothingToDo) {
        return "nothing to do: " + subject + version + " in " + destination +
               " is up to date, " + took;
    }
    std::string done = report.Mode == "update"     ? "updated "
                       : report.Mode == "repair"   ? "repaired "
                       : report.Mode == "continue" ? "finished the interrupted run of "
                       : report.Mode == "force"    ? "installed (forced) "
                                                   : "installed ";
    return done + subject + version + " in " + destination + ": " + downloads + ", " + took;
}

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

    const auto started = std::chrono::steady_clock::now();
    TConsole console(commandLine.Verbosity, StandardErrorIsTerminal());
    int errors = 0;
    auto messages = std::make_shared<TMessages>(
        [&](const std::string& msg, const std::string& sender) {
            ++errors;
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

    TOmbrel::TRunReport report;
    bool stopped = false;
    std::string pruned;
    try {
        // The default installation folder lies in the user's private folder of installations;
        // the folders above it are made private before the engine creates the rest.
        if (!commandLine.Options->iDestination && !commandLine.Options->iAppName.empty()) {
            std::string error;
            if (!CreatePrivateFolders(UserAppsFolder(), error)) messages->Error(error, "ombrel");
        }
        if (commandLine.PruneCache) {
            pruned = PruneCacheRun(commandLine, *messages);
            throw TDone();
        }
        auto io = std::make_shared<TIO>(messages);
        auto apiClient = std::make_shared<TApiClient>(commandLine.Options, messages);
        TOmbrel engine(commandLine.Options, io, messages, apiClient);
        if (commandLine.StopBeforeCopy) {
            engine.OnInterceptBeforePackageCopy([messages, &stopped] {
                messages->Log("stopped before copying (--stop-before-copy)", "ombrel");
                stopped = true;
                return true;
            });
        }
        std::string downloading;
        std::chrono::steady_clock::time_point downloadStarted;
        engine.OnDownloadProgress(
            [&](const std::string& fileName, int64_t received, int64_t total) {
                if (fileName != downloading) {
                    downloading = fileName;
                    downloadStarted = std::chrono::steady_clock::now();
                }
                console.Download(fileName, received, total, downloadStarted);
            });
        try {
            engine.Execute();
        } catch (...) {
            report = engine.Report();
            throw;
        }
        report = engine.Report();
    } catch (const TDone&) {
    } catch (const std::exception& e) {
        messages->Error(e.what(), "ombrel");
    }
    console.EndProgress();
    const bool failed = messages->IsError || errors > 0;
    // The run's last line, a report like any other (so --quiet leaves it out).
    if (console.Shows(TVerbosity::Normal)) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        console.Report("log", "ombrel",
                       commandLine.PruneCache
                           ? (failed ? "failed: " : "") + pruned + ", " + FormatDuration(seconds)
                           : SummaryLine(commandLine, report, failed ? std::max(errors, 1) : 0,
                                         stopped, seconds));
    }
    return failed ? 1 : 0;
}
