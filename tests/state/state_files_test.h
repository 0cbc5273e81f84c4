#pragma once
// The fixture of the state file suites on the real file system.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "io/io_system.h"
#include "tests/support/test_support.h"

namespace ombrel {

class StateFilesTest : public ::testing::Test {
protected:
    testing::TempFolder folder;
    std::shared_ptr<testing::CollectingMessages> messages =
        std::make_shared<testing::CollectingMessages>();
    IOInterfacePtr io = std::make_shared<TIO>(messages);

    std::vector<std::string> FolderEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

}  // namespace ombrel
