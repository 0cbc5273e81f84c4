// The server of the download progress test on Windows: http_fixture_server, started natively by
// the Windows test stage, which passes its address in OMBREL_TEST_HTTP_URL.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace ombrel::testing {

std::string PacedReleaseServerUrl() {
    const char* url = std::getenv("OMBREL_TEST_HTTP_URL");
    if (url == nullptr || *url == '\0') {
        ADD_FAILURE() << "OMBREL_TEST_HTTP_URL names no server: run the suite through "
                         "scripts/test-stages/40-windows.sh";
        return "";
    }
    return url;
}

}  // namespace ombrel::testing
