#pragma once
// Pruning the package cache: cached packages that no recorded installation uses are removed.

#include <cstdint>
#include <string>
#include <vector>

#include "messages/messages.h"

namespace ombrel {

// The package cache folder of the server `apiUrl`, as the engine uses it: the cache root for
// the built-in server, else a subfolder named after the URL without its scheme.
std::string PackageCacheFolder(const std::string& apiUrl);

struct TPruneResult {
    int Removed = 0;       // packages (a file with its unpacked folder counts once per entry)
    int64_t Bytes = 0;     // bytes freed
};

// Removes from the cache folder `cache` the packages that none of the manifests `manifests`
// (paths of "<app>.ombrel" files) lists at its version. With `onlyListed`, only packages whose
// name one of the manifests lists are candidates (pruning for one installation: its older
// versions go, other applications' packages stay); otherwise every package of the folder is.
// A package is a file of the folder (an archive, a single file, a ".part" left by a broken
// download) or a folder unpacked from one of them ("<name>.<version>" beside
// "<name>.<version>.zip", or a ".part" folder); other folders (the caches of other servers)
// stay. Holds the cache's lock (".ombrel.lock") throughout, waiting while a run fills the
// cache, so nothing a run is using goes. Reports under "ombrel"; false when a manifest cannot
// be read or something cannot be removed (named with the system's reason).
bool PruneCache(const std::string& cache, const std::vector<std::string>& manifests,
                bool onlyListed, IMessages& messages, TPruneResult& result);

}  // namespace ombrel
