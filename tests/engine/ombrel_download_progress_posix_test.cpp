// The server of the download progress test on Linux: in-process, for the life of the suite.
#include <string>

#include "tests/support/http_test_server.h"
#include "tests/support/paced_release.h"

namespace ombrel::testing {

std::string PacedReleaseServerUrl() {
    static HttpTestServer server;
    static const bool served = (ServePacedRelease(server), true);
    (void)served;
    return server.BaseUrl();
}

}  // namespace ombrel::testing
