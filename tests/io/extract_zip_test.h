#pragma once
// The fixture of the archive extraction suites, and paths as the platform joins them.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "io/io_system.h"
#include "io/paths.h"
#include "tests/io/zip_test_archive.h"
#include "tests/support/test_support.h"

namespace ombrel {
namespace testing {

// A relative name ("a/b") with the platform's separator.
inline std::string Native(std::string relative) {
    std::replace(relative.begin(), relative.end(), '/', kPathSeparator);
    return relative;
}

// A name below a folder, joined as the file system service joins it.
inline std::string Below(const std::string& folder, const std::string& relative) {
    return folder + kPathSeparator + Native(relative);
}

}  // namespace testing

class ExtractZipTest : public ::testing::Test {
protected:
    // Writes the archive as temp/pkg.zip and extracts it into temp/out.
    bool Extract(const std::vector<testing::ZipItem>& items) {
        testing::WriteZip(Archive(), items);
        return io.ExtractZipFile(Archive(), Out());
    }
    std::string Archive() const { return temp / "pkg.zip"; }
    std::string Out() const { return temp / "out"; }

    // The percents reported for one caption, in order.
    std::vector<int32_t> PercentsFor(const std::string& caption) const {
        std::vector<int32_t> result;
        for (const auto& r : messages->reports) {
            if (r.level == testing::Level::Progress && r.text == caption) result.push_back(r.percent);
        }
        return result;
    }

    // Names of everything below a folder, relative, sorted.
    static std::vector<std::string> Tree(const std::string& folder) {
        std::vector<std::string> names;
        std::error_code error;
        for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
             !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
            names.push_back(std::filesystem::relative(it->path(), folder).generic_string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    void ExpectOneErrorFromTio() const {
        ASSERT_EQ(messages->Count(testing::Level::Error), 1u) << messages->Dump();
        for (const auto& r : messages->reports) {
            if (r.level == testing::Level::Error) {
                EXPECT_EQ(r.sender, "TIO");
            }
        }
    }

    testing::TempFolder temp;
    std::shared_ptr<testing::CollectingMessages> messages =
        std::make_shared<testing::CollectingMessages>();
    TIO io{messages};
};

}  // namespace ombrel
