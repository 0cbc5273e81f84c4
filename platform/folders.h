#pragma once
// Well-known folders of the platform.

#include <string>

namespace ombrel {

// The user's temporary folder (TMPDIR, else /tmp), ending in "/". Asked afresh on every call.
std::string UserTempFolder();

// The engine's package cache: $XDG_CACHE_HOME/ombrel, else ~/.cache/ombrel (no trailing "/").
std::string PackageCacheRoot();

}  // namespace ombrel
