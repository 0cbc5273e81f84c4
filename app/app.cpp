#include "app/app.h"

#include <exception>
#include <stdexcept>

#include "app/norva_go_crypt.h"
#include "ombrel/build_config.h"
#include "platform/resource_trailer.h"

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

bool ReadOwnInstructionResource(std::string& bytes, std::string& error) {
    return ReadResourceTrailer(OwnExecutableFile(), kInstructionResourceName, bytes, error);
}

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

}  // namespace ombrel
