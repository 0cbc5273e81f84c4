#include "engine/options.h"

#include <utility>

#include "io/paths.h"
#include "ombrel/build_config.h"
#include "platform/folders.h"

namespace ombrel {

TOmbrelOptions::TOmbrelOptions(std::string appName, std::string hostName,
                               std::string updateChannel)
    : iApp(std::move(appName)), iHost(std::move(hostName)), iUpdateChannel(std::move(updateChannel)) {}

std::string TOmbrelOptions::ApiKey() const { return build::kApiKey; }

std::string TOmbrelOptions::Destination() const { return PathJoin(UserAppsFolder(), iApp); }

}  // namespace ombrel
