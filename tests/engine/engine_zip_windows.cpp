// The engine tests' zip writer on Windows, where there is no libzip: the io tests' archive
// writer, every file deflated.

#include <windows.h>

#include <stdexcept>

#include "tests/engine/engine_fakes.h"
#include "tests/io/zip_test_archive.h"
#include "tests/support/test_support.h"

namespace ombrel::testing {

void WriteZip(const std::string& path,
              const std::vector<std::pair<std::string, std::string>>& entries) {
    std::vector<ZipItem> items;
    for (const auto& [name, content] : entries) {
        items.push_back(!name.empty() && name.back() == '/' ? Stored(name, "")
                                                            : Deflated(name, content));
    }
    WriteZip(path, items);
}

std::string ZipBytes(const std::vector<std::pair<std::string, std::string>>& entries) {
    TempFolder folder;
    const std::string path = folder / "archive.zip";
    WriteZip(path, entries);
    return ReadFileBytes(path);
}

}  // namespace ombrel::testing
