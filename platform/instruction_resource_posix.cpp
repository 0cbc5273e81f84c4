#include "platform/instruction_resource.h"
#include "platform/resource_trailer.h"

namespace ombrel {

bool ReadOwnInstructionResource(std::string& bytes, std::string& error) {
    return ReadResourceTrailer(OwnExecutableFile(), kInstructionResourceName, bytes, error);
}

}  // namespace ombrel
