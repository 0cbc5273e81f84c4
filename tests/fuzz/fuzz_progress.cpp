// The progress file on any bytes, read through the real file system service, written back
// and read again.

#include <cstdint>
#include <string>

#include "state/progress.h"
#include "tests/fuzz/fuzz_support.h"

using namespace ombrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::WriteInput(data, size, "app.ombrel.progress");
    TProgress plan(fuzz::Io(), fuzz::Sink());
    if (plan.LoadFromFile(path) && plan.SaveToFile(path)) {
        TProgress again(fuzz::Io(), fuzz::Sink());
        again.LoadFromFile(path);
    }
    return 0;
}
