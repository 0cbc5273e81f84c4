#include "app/instruction.h"

#include <string_view>
#include <vector>

#include <fmt/printf.h>
#include <nlohmann/json.hpp>

#include "io/text.h"

namespace ombrel {

namespace {

constexpr char kNotAnObject[] = "Der Eingabewert ist kein gültiges Objekt";

// One member of the top-level object, as far as the conversion needs it.
struct TMember {
    enum class TKind { Null, Boolean, Number, String, Structure };
    std::string key;
    TKind kind = TKind::Null;
    std::string text;  // string value, or the number's text
    bool flag = false;
};

// Reads the JSON text keeping the top-level members in order (duplicates included) and the
// textual form of floating-point numbers.
class TTopLevelReader : public nlohmann::json_sax<nlohmann::json> {
public:
    enum class TTop { Nothing, Null, Object, Other };

    TTop top = TTop::Nothing;
    std::vector<TMember> members;

    bool null() override { return Scalar(TMember::TKind::Null, {}, false, TTop::Null); }
    bool boolean(bool value) override {
        return Scalar(TMember::TKind::Boolean, {}, value, TTop::Other);
    }
    bool number_integer(number_integer_t value) override {
        return Scalar(TMember::TKind::Number, std::to_string(value), false, TTop::Other);
    }
    bool number_unsigned(number_unsigned_t value) override {
        return Scalar(TMember::TKind::Number, std::to_string(value), false, TTop::Other);
    }
    bool number_float(number_float_t, const string_t& text) override {
        return Scalar(TMember::TKind::Number, text, false, TTop::Other);
    }
    bool string(string_t& value) override {
        return Scalar(TMember::TKind::String, value, false, TTop::Other);
    }
    bool binary(binary_t&) override { return Scalar(TMember::TKind::Structure, {}, false, TTop::Other); }
    bool start_object(std::size_t) override { return Open(TTop::Object); }
    bool end_object() override { return Close(); }
    bool start_array(std::size_t) override { return Open(TTop::Other); }
    bool end_array() override { return Close(); }
    bool key(string_t& value) override {
        if (depth_ == 1) pendingKey_ = value;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        failed = true;
        return false;
    }

    bool failed = false;

private:
    bool Scalar(TMember::TKind kind, std::string text, bool flag, TTop asTop) {
        if (depth_ == 0) {
            top = asTop;
        } else if (depth_ == 1 && top == TTop::Object) {
            members.push_back({pendingKey_, kind, std::move(text), flag});
        }
        return true;
    }
    bool Open(TTop asTop) {
        if (depth_ == 0) {
            top = asTop;
        } else if (depth_ == 1 && top == TTop::Object) {
            members.push_back({pendingKey_, TMember::TKind::Structure, {}, false});
        }
        ++depth_;
        return true;
    }
    bool Close() {
        --depth_;
        return true;
    }

    int depth_ = 0;
    std::string pendingKey_;
};

void SetText(std::string& field, const TMember& member) {
    switch (member.kind) {
        case TMember::TKind::Null: field.clear(); return;
        case TMember::TKind::String:
        case TMember::TKind::Number: field = member.text; return;
        case TMember::TKind::Boolean: field = member.flag ? "true" : "false"; return;
        case TMember::TKind::Structure: break;
    }
    throw EInstructionError(fmt::sprintf(
        "Der Wert von \"%s\" kann nicht in einen Text umgewandelt werden", member.key));
}

void SetFlag(bool& field, const TMember& member) {
    switch (member.kind) {
        case TMember::TKind::Null: field = false; return;
        case TMember::TKind::Boolean: field = member.flag; return;
        default: break;
    }
    throw EInstructionError(fmt::sprintf(
        "Der Wert von \"%s\" kann nicht in einen Wahrheitswert umgewandelt werden", member.key));
}

}  // namespace

std::unique_ptr<TInstruction> InstructionFromJson(const std::string& text) {
    TTopLevelReader reader;
    bool parsed = nlohmann::json::sax_parse(text, &reader) && !reader.failed;
    if (!parsed) {
        if (IsBlank(text)) return nullptr;
        throw EInstructionError(kNotAnObject);
    }
    if (reader.top == TTopLevelReader::TTop::Null) return nullptr;
    if (reader.top != TTopLevelReader::TTop::Object) throw EInstructionError(kNotAnObject);

    auto instruction = std::make_unique<TInstruction>();
    for (const auto& member : reader.members) {
        if (member.key == "title") {
            SetText(instruction->Title, member);
        } else if (member.key == "app") {
            SetText(instruction->App, member);
        } else if (member.key == "startApp") {
            SetText(instruction->StartApp, member);
        } else if (member.key == "asAdmin") {
            SetFlag(instruction->RunAsAdmin, member);
        }
    }
    return instruction;
}

std::string InstructionToJson(const TInstruction& instruction) {
    nlohmann::ordered_json json;
    json["title"] = instruction.Title;
    json["app"] = instruction.App;
    json["startApp"] = instruction.StartApp;
    json["asAdmin"] = instruction.RunAsAdmin;
    return json.dump(4, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string InstructionTextFromBytes(const std::string& bytes) {
    return Trim(JoinLinesCrLf(DecodeTextWithBom(bytes, TTextEncoding::Ansi)));
}

}  // namespace ombrel
