#include "model/json_models.h"

#include <gtest/gtest.h>

#include <functional>

namespace ombrel::json {
namespace {

// ---- reading version documents -----------------------------------------------------------

struct VersionCase {
    const char* text;
    TReadResult result;
    std::string error;  // exact error text; empty: only "some text" for Error
    std::function<void(const TVersionResponse&)> check;
};

void RunVersionCases(const std::vector<VersionCase>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TVersionResponse document;
        document.Version = "stale";
        std::string error;
        EXPECT_EQ(ReadVersionDocument(c.text, document, error), c.result);
        if (c.result == TReadResult::Error) {
            if (c.error.empty()) {
                EXPECT_FALSE(error.empty());
            } else {
                EXPECT_EQ(error, c.error);
            }
        } else {
            EXPECT_EQ(error, "");
        }
        if (c.result != TReadResult::Document) {
            EXPECT_EQ(document.Version, "");
        }
        if (c.check) c.check(document);
    }
}

TEST(JsonModels, TextsThatAreNoObject) {
    RunVersionCases({
        {"", TReadResult::NoDocument, "", nullptr},
        {"  \r\n\t ", TReadResult::NoDocument, "", nullptr},
        {"null", TReadResult::NoDocument, "", nullptr},
        {" null\r\n", TReadResult::NoDocument, "", nullptr},
        {"[]", TReadResult::Error, kNotAnObject, nullptr},
        {"[{\"version\": \"1\"}]", TReadResult::Error, kNotAnObject, nullptr},
        {"\"text\"", TReadResult::Error, kNotAnObject, nullptr},
        {"12", TReadResult::Error, kNotAnObject, nullptr},
        {"2.5", TReadResult::Error, kNotAnObject, nullptr},
        {"true", TReadResult::Error, kNotAnObject, nullptr},
        {"{", TReadResult::Error, kNotAnObject, nullptr},
        {"{} {}", TReadResult::Error, kNotAnObject, nullptr},
        {"<html>502 Bad Gateway</html>", TReadResult::Error, kNotAnObject, nullptr},
    });
}

TEST(JsonModels, ReadsAVersionDocument) {
    const char* full = R"({
        "version": "2.1",
        "packages": [
            {"id": 7, "name": "core", "version": "2.1.0", "build": 3, "filename": "core.bin",
             "files": ["*.dll", "bin/app"], "updated_at": "2024-03-05 14:07"},
            {"id": 8, "name": "extra"}
        ],
        "doomed_packages": ["old"],
        "doomed_files": ["lib\\gone.dll", "a/b.txt"]
    })";
    // Members in another order, unknown members and nulls read the same.
    const char* shuffled = R"({
        "doomed_files": ["lib\\gone.dll", "a/b.txt"], "unknown": {"x": [1, 2]},
        "packages": [
            {"files": ["*.dll", "bin/app"], "extra": true, "updated_at": "2024-03-05 14:07",
             "filename": "core.bin", "build": 3, "version": "2.1.0", "name": "core", "id": 7},
            {"name": "extra", "id": 8, "files": null, "version": null}
        ],
        "doomed_packages": ["old"], "version": "2.1"
    })";
    auto check = [](const TVersionResponse& d) {
        EXPECT_EQ(d.Version, "2.1");
        ASSERT_EQ(d.Packages.size(), 2u);
        const TPackage& p = d.Packages[0];
        EXPECT_EQ(p.Id, 7);
        EXPECT_EQ(p.Name, "core");
        EXPECT_EQ(p.Version, "2.1.0");
        EXPECT_EQ(p.Build, 3);
        EXPECT_EQ(p.Filename, "core.bin");
        EXPECT_EQ(p.Files, (std::vector<std::string>{"*.dll", "bin/app"}));
        EXPECT_EQ(p.UpdatedAt, "2024-03-05 14:07");
        EXPECT_EQ(d.Packages[1].Id, 8);
        EXPECT_EQ(d.Packages[1].Version, "");
        EXPECT_TRUE(d.Packages[1].Files.empty());
        EXPECT_EQ(d.PackagesToDelete, (std::vector<std::string>{"old"}));
        EXPECT_EQ(d.FilesToDelete, (std::vector<std::string>{"lib\\gone.dll", "a/b.txt"}));
    };
    RunVersionCases({
        {full, TReadResult::Document, "", check},
        {shuffled, TReadResult::Document, "", check},
        {"{}", TReadResult::Document, "",
         [](const TVersionResponse& d) {
             EXPECT_EQ(d.Version, "");
             EXPECT_TRUE(d.Packages.empty());
             EXPECT_TRUE(d.PackagesToDelete.empty());
             EXPECT_TRUE(d.FilesToDelete.empty());
         }},
        {R"({"version": null, "packages": null, "doomed_files": null})", TReadResult::Document,
         "", [](const TVersionResponse& d) { EXPECT_EQ(d.Version, ""); }},
        {R"({"packages": [null, {"id": 1}], "doomed_files": [null, "x"]})",
         TReadResult::Document, "",
         [](const TVersionResponse& d) {
             ASSERT_EQ(d.Packages.size(), 2u);
             EXPECT_EQ(d.Packages[0].Id, 0);
             EXPECT_EQ(d.FilesToDelete, (std::vector<std::string>{"", "x"}));
         }},
    });
}

TEST(JsonModels, ConvertsScalarsByTheFieldsType) {
    auto version = [](const char* expected) {
        return [expected](const TVersionResponse& d) { EXPECT_EQ(d.Version, expected); };
    };
    auto id = [](int32_t expected) {
        return [expected](const TVersionResponse& d) {
            ASSERT_EQ(d.Packages.size(), 1u);
            EXPECT_EQ(d.Packages[0].Id, expected);
        };
    };
    RunVersionCases({
        {R"({"version": 2})", TReadResult::Document, "", version("2")},
        {R"({"version": 2.5})", TReadResult::Document, "", version("2.5")},
        // A number's own text: trailing zeros and exponents stay as written.
        {R"({"version": 2.10})", TReadResult::Document, "", version("2.10")},
        {R"({"version": 1E3})", TReadResult::Document, "", version("1E3")},
        {R"({"version": -0.50e-2})", TReadResult::Document, "", version("-0.50e-2")},
        {R"({"version": 123456789012345678901234567890})", TReadResult::Document, "",
         version("123456789012345678901234567890")},
        {R"({"version": -3})", TReadResult::Document, "", version("-3")},
        {R"({"version": true})", TReadResult::Document, "", version("true")},
        {R"({"version": "\u00e4\/\"\\"})", TReadResult::Document, "", version("\xC3\xA4/\"\\")},
        {R"({"doomed_files": [1, 2.50, "a"]})", TReadResult::Document, "",
         [](const TVersionResponse& d) {
             EXPECT_EQ(d.FilesToDelete, (std::vector<std::string>{"1", "2.50", "a"}));
         }},
        {R"({"packages": [{"id": "17"}]})", TReadResult::Document, "", id(17)},
        {R"({"packages": [{"id": "-5"}]})", TReadResult::Document, "", id(-5)},
        {R"({"packages": [{"id": "+5"}]})", TReadResult::Document, "", id(5)},
        {R"({"packages": [{"id": " 5"}]})", TReadResult::Document, "", id(0)},
        {R"({"packages": [{"id": "5a"}]})", TReadResult::Document, "", id(0)},
        {R"({"packages": [{"id": "0x1F"}]})", TReadResult::Document, "", id(0)},
        {R"({"packages": [{"id": "2147483648"}]})", TReadResult::Document, "", id(0)},
        {R"({"packages": [{"id": ""}]})", TReadResult::Document, "", id(0)},
        {R"({"packages": [{"id": true}]})", TReadResult::Document, "", id(0)},
        {R"({"packages": [{"id": 2147483647}]})", TReadResult::Document, "", id(2147483647)},
        {R"({"packages": [{"id": -2147483648}]})", TReadResult::Document, "",
         id(-2147483647 - 1)},
        {R"({"packages": [{"id": 2147483648}]})", TReadResult::Error,
         "\"packages[0].id\" is 2147483648, which is not a 32-bit integer", nullptr},
        {R"({"packages": [{"build": -2147483649}]})", TReadResult::Error, "", nullptr},
        {R"({"packages": [{"id": 2.5}]})", TReadResult::Error,
         "\"packages[0].id\" is 2.5, which is not a 32-bit integer", nullptr},
        // A string is no number, even when it begins like the parser's own marks.
        {R"({"packages": [{"id": "\u00ff5"}], "version": "\u00ff"})", TReadResult::Document, "",
         [](const TVersionResponse& d) {
             EXPECT_EQ(d.Version, "\xC3\xBF");
             ASSERT_EQ(d.Packages.size(), 1u);
             EXPECT_EQ(d.Packages[0].Id, 0);
         }},
    });
}

TEST(JsonModels, WrongJsonKindsFail) {
    RunVersionCases({
        {R"({"version": []})", TReadResult::Error,
         "\"version\" is an array where a string is expected", nullptr},
        {R"({"version": {}})", TReadResult::Error, "", nullptr},
        {R"({"packages": {}})", TReadResult::Error, "", nullptr},
        {R"({"packages": "core"})", TReadResult::Error, "", nullptr},
        {R"({"packages": [1]})", TReadResult::Error,
         "\"packages[0]\" is a number where an object is expected", nullptr},
        {R"({"packages": [{"files": "*"}]})", TReadResult::Error,
         "\"packages[0].files\" is a string where an array is expected", nullptr},
        {R"({"packages": [{"files": [["*"]]}]})", TReadResult::Error, "", nullptr},
        {R"({"packages": [{"id": [1]}]})", TReadResult::Error, "", nullptr},
        {R"({"packages": [{"name": {"a": 1}}]})", TReadResult::Error, "", nullptr},
        {R"({"doomed_files": "a.txt"})", TReadResult::Error, "", nullptr},
        {R"({"doomed_packages": 3})", TReadResult::Error, "", nullptr},
    });
}

TEST(JsonModels, ReadsAPackageDocument) {
    TPackage package;
    std::string error;
    ASSERT_EQ(ReadPackageDocument(R"({"id": "12", "name": "core", "version": 2.1, "build": 7,
                                      "filename": "core.zip", "files": ["x"], "other": []})",
                                  package, error),
              TReadResult::Document);
    EXPECT_EQ(package.Id, 12);
    EXPECT_EQ(package.Name, "core");
    EXPECT_EQ(package.Version, "2.1");
    EXPECT_EQ(package.Build, 7);
    EXPECT_EQ(package.Filename, "core.zip");
    EXPECT_EQ(package.Files, (std::vector<std::string>{"x"}));

    struct Case {
        const char* text;
        TReadResult result;
        const char* error;
    };
    const Case cases[] = {
        {"[{\"id\": 1}]", TReadResult::Error, kNotAnObject},
        {"null", TReadResult::NoDocument, ""},
        {"  ", TReadResult::NoDocument, ""},
        {"{\"build\": 1e3}", TReadResult::Error, "\"build\" is 1e3, which is not a 32-bit integer"},
        {"{\"files\": {}}", TReadResult::Error,
         "\"files\" is an object where an array is expected"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        package.Name = "stale";
        error.clear();
        EXPECT_EQ(ReadPackageDocument(c.text, package, error), c.result);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(package.Name, "");
    }
}

TEST(JsonModels, ReadsPackageArraysUpToTheFirstBadElement) {
    std::vector<TPackage> packages;
    std::string error;
    EXPECT_TRUE(ReadPackageArray(R"([{"name": "a", "version": "1"}, {"name": "b"}])", packages,
                                 error));
    ASSERT_EQ(packages.size(), 2u);
    EXPECT_EQ(packages[1].Name, "b");
    EXPECT_TRUE(ReadPackageArray("[]", packages, error));
    EXPECT_TRUE(packages.empty());

    struct Case {
        const char* text;
        size_t kept;
        const char* error;
    };
    const Case cases[] = {
        {R"([{"name": "a"}, {"name": []}, {"name": "c"}])", 1,
         "\"[1].name\" is an array where a string is expected"},
        {R"([{"name": "a"}, 3, {"name": "c"}])", 1, kNotAnObject},
        {R"([null])", 0, kNotAnObject},
        {R"({"name": "a"})", 0, kNotAnArray},
        {"", 0, kNotAnArray},
        {"null", 0, kNotAnArray},
        {"[{\"name\": \"a\"}", 0, kNotAnArray},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_FALSE(ReadPackageArray(c.text, packages, error));
        EXPECT_EQ(packages.size(), c.kept);
        EXPECT_EQ(error, c.error);
    }
}

// ---- writing -----------------------------------------------------------------------------

TEST(JsonModels, QuotesStrings) {
    const std::pair<std::string, std::string> cases[] = {
        {"", R"("")"},
        {"plain text", R"("plain text")"},
        {"say \"hi\"", R"("say \"hi\"")"},
        {"lib\\core.dll", R"("lib\\core.dll")"},
        {"a/b", R"("a\/b")"},
        {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
        {std::string("\x01\x1f\x7f", 3), std::string("\"\x01\x1f\x7f\"", 5)},
        {std::string("nul\0x", 5), std::string("\"nul\0x\"", 7)},
        {"\xC3\xA4\xE2\x82\xAC", "\"\xC3\xA4\xE2\x82\xAC\""},
    };
    for (const auto& [text, quoted] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(QuoteJsonString(text), quoted);
    }
}

TEST(JsonModels, WritesTheInstalledPackagesBody) {
    EXPECT_EQ(WriteRequestPackages({}), "[\r\n]");
    EXPECT_EQ(WriteRequestPackages({{"core", "1.2"}}),
              "[\r\n"
              "    {\r\n"
              "        \"name\": \"core\",\r\n"
              "        \"version\": \"1.2\"\r\n"
              "    }\r\n"
              "]");
    EXPECT_EQ(WriteRequestPackages({{"core", "1.2"}, {"extra", ""}}),
              "[\r\n"
              "    {\r\n"
              "        \"name\": \"core\",\r\n"
              "        \"version\": \"1.2\"\r\n"
              "    },\r\n"
              "    {\r\n"
              "        \"name\": \"extra\",\r\n"
              "        \"version\": \"\"\r\n"
              "    }\r\n"
              "]");
}

TEST(JsonModels, WritesTheHashBody) {
    EXPECT_EQ(WriteRequestFiles({}), "[\r\n]");
    EXPECT_EQ(WriteRequestHashes({}), "[\r\n]");
    EXPECT_EQ(WriteRequestHashes({{"a\"b", "1"}, {"c", "2"}}),
              WriteRequestFiles({{"a\"b", "1"}, {"c", "2"}}));
    EXPECT_EQ(WriteRequestFiles({{"lib\\core.dll", "d41d8cd98f00b204e9800998ecf8427e"},
                                 {"sub/\xC3\xA4.txt", ""},
                                 {"tab\there\x01", "h"}}),
              "[\r\n"
              "    {\r\n"
              "        \"name\": \"lib\\\\core.dll\",\r\n"
              "        \"hash\": \"d41d8cd98f00b204e9800998ecf8427e\"\r\n"
              "    },\r\n"
              "    {\r\n"
              "        \"name\": \"sub\\/\xC3\xA4.txt\",\r\n"
              "        \"hash\": \"\"\r\n"
              "    },\r\n"
              "    {\r\n"
              "        \"name\": \"tab\\there\x01\",\r\n"
              "        \"hash\": \"h\"\r\n"
              "    }\r\n"
              "]");
}

TEST(JsonModels, WritesTheProgressDocument) {
    EXPECT_EQ(WriteProgressDocument({}), "{\r\n}");

    TVersionResponse document;
    document.Version = "2.1";
    TPackage core;
    core.Id = 7;
    core.Name = "core";
    core.Version = "2.1.0";
    core.Build = 5;                // never written: always 0
    core.UpdatedAt = "yesterday";  // never written
    core.Files = {"*.dll", "bin/app"};
    TPackage single;
    single.Id = -1;
    single.Filename = "setup.bin";
    single.Files = {"*"};
    document.Packages = {core, single};
    document.FilesToDelete = {"lib\\old.dll"};
    EXPECT_EQ(WriteProgressDocument(document),
              "{\r\n"
              "    \"version\": \"2.1\",\r\n"
              "    \"packages\": [\r\n"
              "        {\r\n"
              "            \"id\": 7,\r\n"
              "            \"name\": \"core\",\r\n"
              "            \"version\": \"2.1.0\",\r\n"
              "            \"build\": 0,\r\n"
              "            \"files\": [\r\n"
              "                \"*.dll\",\r\n"
              "                \"bin\\/app\"\r\n"
              "            ]\r\n"
              "        },\r\n"
              "        {\r\n"
              "            \"id\": -1,\r\n"
              "            \"build\": 0,\r\n"
              "            \"filename\": \"setup.bin\",\r\n"
              "            \"files\": [\r\n"
              "                \"*\"\r\n"
              "            ]\r\n"
              "        }\r\n"
              "    ],\r\n"
              "    \"doomed_files\": [\r\n"
              "        \"lib\\\\old.dll\"\r\n"
              "    ]\r\n"
              "}");

    TVersionResponse onlyDoomed;
    onlyDoomed.PackagesToDelete = {"old", ""};  // elements are kept even when empty
    EXPECT_EQ(WriteProgressDocument(onlyDoomed),
              "{\r\n"
              "    \"doomed_packages\": [\r\n"
              "        \"old\",\r\n"
              "        \"\"\r\n"
              "    ]\r\n"
              "}");
}

TEST(JsonModels, ProgressDocumentReadsBackWhateverItHolds) {
    const std::string awkward = std::string("q\"b\\s/\b\t\n\f\r\x01\x1f\0\xC3\xA4", 17);
    TVersionResponse document;
    document.Version = awkward;
    TPackage package;
    package.Id = 2147483647;
    package.Name = awkward;
    package.Files = {awkward, "*"};
    document.Packages = {package};
    document.PackagesToDelete = {awkward};
    document.FilesToDelete = {awkward};

    std::string text = WriteProgressDocument(document);
    EXPECT_NE(text.find("\\u0001\\u001f\\u0000"), std::string::npos) << text;

    TVersionResponse read;
    std::string error;
    ASSERT_EQ(ReadVersionDocument(text, read, error), TReadResult::Document) << error;
    EXPECT_EQ(read.Version, awkward);
    ASSERT_EQ(read.Packages.size(), 1u);
    EXPECT_EQ(read.Packages[0].Id, 2147483647);
    EXPECT_EQ(read.Packages[0].Name, awkward);
    EXPECT_EQ(read.Packages[0].Files, package.Files);
    EXPECT_EQ(read.PackagesToDelete, document.PackagesToDelete);
    EXPECT_EQ(read.FilesToDelete, document.FilesToDelete);
}

}  // namespace
}  // namespace ombrel::json
