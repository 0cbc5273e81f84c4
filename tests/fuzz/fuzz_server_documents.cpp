// The server's JSON answers on any bytes: version documents, package documents, package
// arrays, and a version document turned into a work plan.

#include <cstdint>
#include <string>
#include <vector>

#include "messages/messages.h"
#include "model/json_models.h"
#include "state/progress.h"
#include "tests/fuzz/fuzz_support.h"

using namespace ombrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    json::TVersionResponse version;
    if (ReadVersionDocument(text, version, error) == json::TReadResult::Document) {
        (void)WriteProgressDocument(version);
    }
    json::TPackage package;
    (void)ReadPackageDocument(text, package, error);
    std::vector<json::TPackage> packages;
    (void)ReadPackageArray(text, packages, error);

    TProgress plan(fuzz::Io(), fuzz::Sink());
    plan.SetApiVersionResponse(text);
    plan.SetApiPackageResponse(text, TPackageMode::source);
    return 0;
}
