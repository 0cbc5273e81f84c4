#include "app/instruction.h"

#include <gtest/gtest.h>

namespace ombrel {
namespace {

const char kNotAnObject[] = "Der Eingabewert ist kein gültiges Objekt";

TEST(Instruction, DefaultsAreEmptyAndNotAdmin) {
    TInstruction instruction;
    EXPECT_EQ(instruction.Title, "");
    EXPECT_EQ(instruction.App, "");
    EXPECT_EQ(instruction.StartApp, "");
    EXPECT_FALSE(instruction.RunAsAdmin);
}

TEST(Instruction, ObjectMembersFillTheFields) {
    struct Case {
        const char* name;
        std::string json;
        TInstruction expected;
    };
    const Case cases[] = {
        {"all four", R"({"title":"T","app":"A","startApp":"bin/s","asAdmin":true})", {"T", "A", "bin/s", true}},
        {"extra members and a capital Title are ignored",
         R"({"Title":"X","app":"A","more":{"x":[1,2]},"list":[{}]})", {"", "A", "", false}},
        {"missing members keep defaults", R"({"title":"T"})", {"T", "", "", false}},
        {"empty object", "{}", {"", "", "", false}},
        {"numbers become their text", R"({"title":12,"app":-3,"startApp":1.50e3})", {"12", "-3", "1.50e3", false}},
        {"null restores the default", R"({"title":"T","title":null,"asAdmin":true,"asAdmin":null})", {"", "", "", false}},
        {"later duplicates win", R"({"app":"first","app":"second"})", {"", "second", "", false}},
        {"booleans in text fields give their text", R"({"title":false})", {"false", "", "", false}},
        {"surrounding blanks", " \r\n {\"app\":\"A\"}\r\n ", {"", "A", "", false}},
        {"unicode", R"({"title":"Gr\u00fc\u00dfe \u20ac","app":"Grüße"})",
         {"Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC", "Grüße", "", false}},
    };
    for (const auto& c : cases) {
        std::unique_ptr<TInstruction> instruction;
        ASSERT_NO_THROW(instruction = InstructionFromJson(c.json)) << c.name;
        ASSERT_NE(instruction, nullptr) << c.name;
        EXPECT_EQ(instruction->Title, c.expected.Title) << c.name;
        EXPECT_EQ(instruction->App, c.expected.App) << c.name;
        EXPECT_EQ(instruction->StartApp, c.expected.StartApp) << c.name;
        EXPECT_EQ(instruction->RunAsAdmin, c.expected.RunAsAdmin) << c.name;
    }
}

TEST(Instruction, TextsThatAreNoObject) {
    struct Case {
        std::string text;
        const char* error;  // null: no instruction and no error
    };
    const Case cases[] = {
        {"", nullptr},
        {" \r\n\t", nullptr},
        {"null", nullptr},
        {" null\r\n", nullptr},
        {"[]", kNotAnObject},
        {"[{\"app\":\"A\"}]", kNotAnObject},
        {"42", kNotAnObject},
        {"\"text\"", kNotAnObject},
        {"true", kNotAnObject},
        {"{\"app\":", kNotAnObject},
        {"{\"app\":\"A\"} trailing", kNotAnObject},
        {"\xC3\x28", kNotAnObject},
        {"{\"app\":\"\xFF\"}", kNotAnObject},
        {"\xEF\xBF\xBD\xEF\xBF\xBD", kNotAnObject},
        {"nul", kNotAnObject},
    };
    for (const auto& c : cases) {
        if (c.error == nullptr) {
            EXPECT_EQ(InstructionFromJson(c.text), nullptr) << c.text;
            continue;
        }
        try {
            InstructionFromJson(c.text);
            ADD_FAILURE() << "no error for " << c.text;
        } catch (const EInstructionError& e) {
            EXPECT_STREQ(e.what(), c.error) << c.text;
        }
    }
}

TEST(Instruction, MembersOfTheWrongTypeFailWithTheirName) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({"asAdmin":"true"})", "asAdmin"},
        {R"({"asAdmin":1})", "asAdmin"},
        {R"({"title":{}})", "title"},
        {R"({"startApp":["a"]})", "startApp"},
    };
    for (const auto& [json, member] : cases) {
        try {
            InstructionFromJson(json);
            ADD_FAILURE() << "no error for " << json;
        } catch (const EInstructionError& e) {
            EXPECT_NE(std::string(e.what()).find("\"" + member + "\""), std::string::npos) << e.what();
        }
    }
}

TEST(Instruction, JsonRoundTrip) {
    TInstruction instruction{"Mein \"Installer\"", "demo", "bin/demo", true};
    std::string json = InstructionToJson(instruction);
    EXPECT_EQ(json,
              "{\n    \"title\": \"Mein \\\"Installer\\\"\",\n    \"app\": \"demo\",\n"
              "    \"startApp\": \"bin/demo\",\n    \"asAdmin\": true\n}");
    auto back = InstructionFromJson(json);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->Title, instruction.Title);
    EXPECT_EQ(back->StartApp, instruction.StartApp);
    EXPECT_TRUE(back->RunAsAdmin);
}

TEST(Instruction, ResourceBytesAsText) {
    const std::pair<std::string, std::string> cases[] = {
        {"  abc \r\n", "abc"},
        {"a\nb\rc", "a\r\nb\r\nc"},
        {"\xEF\xBB\xBF" "abc", "abc"},
        {std::string("\xFF\xFE" "a\0\n\0b\0", 8), "a\r\nb"},
        {std::string("\xFE\xFF\0a\0\xE4", 6), "a\xC3\xA4"},
        {"K\xE4se", "K\xC3\xA4se"},  // no mark: Windows-1252
        {" \r\n\t ", ""},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(InstructionTextFromBytes(bytes), text) << bytes;
}

}  // namespace
}  // namespace ombrel
