#include "io/failure_text.h"

#include <fmt/format.h>

namespace ombrel {

std::string FailureText(std::string_view action, std::string_view path, std::string_view reason) {
    return fmt::format("cannot {} \"{}\": {}", action, path, reason);
}

std::string CopyFailureText(std::string_view source, std::string_view target,
                            std::string_view reason) {
    return fmt::format("cannot copy \"{}\" to \"{}\": {}", source, target, reason);
}

}  // namespace ombrel
