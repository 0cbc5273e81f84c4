#pragma once
// The fixture of the suites of the file system service on real files: a temporary folder, a
// sink that keeps every report, and the service reporting to it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "io/io_system.h"
#include "tests/support/test_support.h"

namespace ombrel {

class IoFilesFixture : public ::testing::Test {
protected:
    // Names of every entry left in a folder that look like our temporary files.
    std::vector<std::string> TempLeftovers(const std::string& folder) const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(".ombrel-", 0) == 0) names.push_back(name);
        }
        return names;
    }

    std::string ErrorsDump() const { return messages->Dump(); }

    // What FileExists and DirectoryExists are to answer for a path, both without a report.
    struct TExistence {
        std::string path;
        bool file;
        bool folder;
    };
    void ExpectExistence(const std::vector<TExistence>& cases) {
        for (const auto& c : cases) {
            EXPECT_EQ(io.FileExists(c.path), c.file) << c.path;
            EXPECT_EQ(io.DirectoryExists(c.path), c.folder) << c.path;
        }
        EXPECT_THAT(messages->reports, ::testing::IsEmpty()) << ErrorsDump();
    }

    testing::TempFolder temp;
    std::shared_ptr<testing::CollectingMessages> messages =
        std::make_shared<testing::CollectingMessages>();
    TIO io{messages};
};

}  // namespace ombrel
