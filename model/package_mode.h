#pragma once
// Which of the server's two package downloads a package uses.

#include <cstdint>

namespace ombrel {

// Which of the server's two package downloads a package uses, and how its file names are formed.
enum class TPackageMode : uint8_t { source = 0, binary = 1 };

}  // namespace ombrel
