// Loads the instruction embedded in this program's own file through TApp::Prepare and prints
// one line per callback ("title|...", "error|msg|sender"), then "prepare|true" or
// "prepare|false". Returns from main normally, so the message handler writes its log at exit.

#include <cstdio>
#include <string>

#include "app/app.h"

int main() {
    using ombrel::TApp;
    TApp app(
        "https://host.example", "", nullptr, nullptr,
        [](const std::string& msg, const std::string& sender) {
            std::printf("error|%s|%s\n", msg.c_str(), sender.c_str());
        },
        [](const std::string& title) { std::printf("title|%s\n", title.c_str()); });
    bool prepared = app.Prepare();
    if (prepared) {
        const auto* instruction = app.Instruction();
        std::printf("instruction|%s|%s|%s|%s\n", instruction->Title.c_str(),
                    instruction->App.c_str(), instruction->StartApp.c_str(),
                    instruction->RunAsAdmin ? "admin" : "user");
    }
    std::printf("prepare|%s\n", prepared ? "true" : "false");
    return 0;
}
