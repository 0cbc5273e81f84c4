#pragma once
// The running program's own instruction resource, as the installer reads it at start.

#include <string>

namespace ombrel {

// Linux: the trailer of the program's own file (resource_trailer.h). Windows: the RT_RCDATA
// resource "INSTRUCTION" of the program's module, a slot of fixed capacity whose text ends at
// its first zero byte (an installer that was never stamped reads empty text). Answers false with
// the user-facing reason in `error`: "Ressource instruction nicht gefunden" when there is none.
bool ReadOwnInstructionResource(std::string& bytes, std::string& error);

}  // namespace ombrel
