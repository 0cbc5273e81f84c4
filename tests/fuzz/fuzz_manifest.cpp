// The manifest (block storage format) on any bytes, read through the real file system
// service, changed, written back and read again.

#include <cstdint>
#include <string>

#include "state/ombrel_file.h"
#include "tests/fuzz/fuzz_support.h"

using namespace ombrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::WriteInput(data, size, "app.ombrel");
    TOmbrelFile manifest(fuzz::Io());
    if (!manifest.Load(path)) return 0;
    manifest.AddOrUpdatePackage("core", "1.0");
    manifest.AddFile("bin/run");
    if (!manifest.Files().empty()) manifest.DeleteFile(manifest.Files().front());
    if (manifest.Store(path)) {
        TOmbrelFile again(fuzz::Io());
        again.Load(path);
    }
    return 0;
}
