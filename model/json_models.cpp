#include "model/json_models.h"

#include <fmt/format.h>

#include <charconv>
#include <limits>
#include <nlohmann/json.hpp>

#include "io/text.h"

namespace ombrel::json {

namespace {

using nlohmann::json;

// ---- reading ----------------------------------------------------------------------------

// A number with a fraction or an exponent is kept as the text it was written as ("2.10" stays
// "2.10", not 2.1), as a string behind this mark. Parsed strings are valid UTF-8, which never
// holds the byte 0xFF, so no string from the text can be taken for one.
constexpr char kNumberMark = '\xFF';

bool IsNumberText(const json& value) {
    return value.is_string() && !value.get_ref<const std::string&>().empty() &&
           value.get_ref<const std::string&>()[0] == kNumberMark;
}

std::string NumberText(const json& value) { return value.get_ref<const std::string&>().substr(1); }

// Builds the tree as nlohmann's own parser does, apart from numbers with a fraction or an
// exponent (see kNumberMark).
class TTreeBuilder : public nlohmann::detail::json_sax_dom_parser<json> {
  public:
    explicit TTreeBuilder(json& root) : json_sax_dom_parser(root, /*allow_exceptions=*/false) {}

    bool number_float(double, const std::string& text) {
        std::string marked = kNumberMark + text;
        return string(marked);
    }
};

// One JSON value, the whole text; discarded when the text is not valid JSON.
json ParseJson(const std::string& text) {
    json value;
    TTreeBuilder builder(value);
    if (!json::sax_parse(text, &builder)) return json(json::value_t::discarded);
    return value;
}

const char* KindName(const json& value) {
    if (IsNumberText(value)) return "a number";
    switch (value.type()) {
        case json::value_t::null: return "null";
        case json::value_t::object: return "an object";
        case json::value_t::array: return "an array";
        case json::value_t::string: return "a string";
        case json::value_t::boolean: return "a truth value";
        case json::value_t::binary: return "binary data";
        case json::value_t::discarded: return "no value";
        default: return "a number";
    }
}

std::string WrongKind(const std::string& path, const json& value, const char* expected) {
    return fmt::format("\"{}\" is {} where {} is expected", path, KindName(value), expected);
}

// The integer of a decimal text (optional sign, digits only) in 32-bit range; 0 otherwise.
int32_t DecimalOrZero(const std::string& text) {
    std::string_view digits = text;
    if (!digits.empty() && digits.front() == '+') {
        digits.remove_prefix(1);
        if (!digits.empty() && digits.front() == '-') return 0;
    }
    int32_t result = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), result);
    if (ec != std::errc() || ptr != digits.data() + digits.size()) return 0;
    return result;
}

// Strings take strings as they are, numbers as their JSON text, truth values as "true" or
// "false"; null gives the empty string. Arrays and objects fail.
bool ReadString(const json& value, const std::string& path, std::string& out, std::string& error) {
    switch (value.type()) {
        case json::value_t::null: out.clear(); return true;
        case json::value_t::string:
            out = IsNumberText(value) ? NumberText(value) : value.get<std::string>();
            return true;
        case json::value_t::boolean: out = value.get<bool>() ? "true" : "false"; return true;
        case json::value_t::number_integer:
        case json::value_t::number_unsigned: out = value.dump(); return true;
        default: error = WrongKind(path, value, "a string"); return false;
    }
}

// Numbers must be integers in 32-bit range (a fraction or an out-of-range value fails rather
// than silently naming another package); strings give their decimal value or 0; truth values
// and null give 0. Arrays and objects fail.
bool ReadInteger(const json& value, const std::string& path, int32_t& out, std::string& error) {
    switch (value.type()) {
        case json::value_t::null:
        case json::value_t::boolean: out = 0; return true;
        case json::value_t::string:
            if (IsNumberText(value)) {
                error = fmt::format("\"{}\" is {}, which is not a 32-bit integer", path,
                                    NumberText(value));
                return false;
            }
            out = DecimalOrZero(value.get<std::string>());
            return true;
        case json::value_t::number_integer: {
            int64_t number = value.get<int64_t>();
            if (number >= std::numeric_limits<int32_t>::min() &&
                number <= std::numeric_limits<int32_t>::max()) {
                out = static_cast<int32_t>(number);
                return true;
            }
            break;
        }
        case json::value_t::number_unsigned: {
            uint64_t number = value.get<uint64_t>();
            if (number <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
                out = static_cast<int32_t>(number);
                return true;
            }
            break;
        }
        case json::value_t::number_float: break;
        default: error = WrongKind(path, value, "a number"); return false;
    }
    error = fmt::format("\"{}\" is {}, which is not a 32-bit integer", path, value.dump());
    return false;
}

bool ReadSize(const json& value, const std::string& path, std::optional<uint64_t>& out,
              std::string& error) {
    out.reset();
    if (value.is_null()) return true;
    if (value.is_number_unsigned() ||
        (value.is_number_integer() && value.get<int64_t>() >= 0)) {
        out = value.get<uint64_t>();
        return true;
    }
    const std::string shown = IsNumberText(value) ? NumberText(value)
                              : value.is_number()  ? value.dump()
                                                   : std::string(KindName(value));
    error = fmt::format("\"{}\" is {} where a size in bytes is expected", path, shown);
    return false;
}

bool ReadDigest(const json& value, const std::string& path, std::string& out, std::string& error) {
    out.clear();
    if (value.is_null()) return true;
    if (value.is_string() && !IsNumberText(value)) {
        out = value.get<std::string>();
        bool hex = out.size() == 64 && out.find_first_not_of("0123456789abcdef") == std::string::npos;
        if (hex) return true;
    }
    error = fmt::format("\"{}\" is not a SHA-256 digest of 64 lowercase hexadecimal digits", path);
    out.clear();
    return false;
}

bool ReadStringArray(const json& value, const std::string& path, std::vector<std::string>& out,
                     std::string& error) {
    out.clear();
    if (value.is_null()) return true;
    if (!value.is_array()) {
        error = WrongKind(path, value, "an array");
        return false;
    }
    out.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        std::string item;
        if (!ReadString(value[i], fmt::format("{}[{}]", path, i), item, error)) return false;
        out.push_back(std::move(item));
    }
    return true;
}

// The member `key` of an object, or null when it is missing.
const json& Member(const json& object, const char* key) {
    static const json kNull;
    auto it = object.find(key);
    return it == object.end() ? kNull : *it;
}

std::string Join(const std::string& prefix, const char* key) {
    return prefix.empty() ? std::string(key) : prefix + "." + key;
}

// `object` must be a JSON object; `prefix` names it in error texts (empty at the top).
bool ReadPackage(const json& object, const std::string& prefix, TPackage& package,
                 std::string& error) {
    return ReadInteger(Member(object, "id"), Join(prefix, "id"), package.Id, error) &&
           ReadString(Member(object, "name"), Join(prefix, "name"), package.Name, error) &&
           ReadString(Member(object, "version"), Join(prefix, "version"), package.Version,
                      error) &&
           ReadInteger(Member(object, "build"), Join(prefix, "build"), package.Build, error) &&
           ReadString(Member(object, "filename"), Join(prefix, "filename"), package.Filename,
                      error) &&
           ReadStringArray(Member(object, "files"), Join(prefix, "files"), package.Files,
                           error) &&
           ReadString(Member(object, "updated_at"), Join(prefix, "updated_at"),
                      package.UpdatedAt, error) &&
           ReadSize(Member(object, "size"), Join(prefix, "size"), package.Size, error) &&
           ReadDigest(Member(object, "sha256"), Join(prefix, "sha256"), package.Sha256, error) &&
           ReadSize(Member(object, "source_size"), Join(prefix, "source_size"),
                    package.SourceSize, error) &&
           ReadDigest(Member(object, "source_sha256"), Join(prefix, "source_sha256"),
                      package.SourceSha256, error);
}

bool ReadVersion(const json& object, TVersionResponse& document, std::string& error) {
    if (!ReadString(Member(object, "version"), "version", document.Version, error)) return false;
    const json& packages = Member(object, "packages");
    if (!packages.is_null()) {
        if (!packages.is_array()) {
            error = WrongKind("packages", packages, "an array");
            return false;
        }
        for (size_t i = 0; i < packages.size(); ++i) {
            const json& element = packages[i];
            const std::string path = fmt::format("packages[{}]", i);
            TPackage package;
            if (element.is_object()) {
                if (!ReadPackage(element, path, package, error)) return false;
            } else if (!element.is_null()) {
                error = WrongKind(path, element, "an object");
                return false;
            }
            document.Packages.push_back(std::move(package));
        }
    }
    return ReadStringArray(Member(object, "doomed_packages"), "doomed_packages",
                           document.PackagesToDelete, error) &&
           ReadStringArray(Member(object, "doomed_files"), "doomed_files",
                           document.FilesToDelete, error) &&
           ReadString(Member(object, "signed_release"), "signed_release", document.SignedRelease,
                      error) &&
           ReadString(Member(object, "signature"), "signature", document.ReleaseSignature,
                      error);
}

// Parses the text as one JSON value. NoDocument for blank text and null; Error with
// kNotAnObject for anything that is not an object (invalid JSON included).
TReadResult ParseObject(const std::string& text, json& value, std::string& errorText) {
    if (IsBlank(text)) return TReadResult::NoDocument;
    value = ParseJson(text);
    if (value.is_null()) return TReadResult::NoDocument;
    if (!value.is_object()) {
        errorText = kNotAnObject;
        return TReadResult::Error;
    }
    return TReadResult::Document;
}

// ---- writing ----------------------------------------------------------------------------

// A value of the writer's small tree: a scalar already rendered as JSON text, an array or an
// object whose members keep their order.
struct TNode {
    enum class Kind { Scalar, Array, Object } kind = Kind::Scalar;
    std::string text;
    std::vector<TNode> items;
    // The members' names and values, in order (two lists: a pair would need TNode complete).
    std::vector<std::string> memberNames;
    std::vector<TNode> memberValues;

    void AddMember(std::string name, TNode value) {
        memberNames.push_back(std::move(name));
        memberValues.push_back(std::move(value));
    }
    // Defined below the struct, where TNode is complete.
    static TNode Scalar(std::string text);
    static TNode Array();
    static TNode Object();
};

TNode TNode::Scalar(std::string text) {
    TNode node;
    node.kind = Kind::Scalar;
    node.text = std::move(text);
    return node;
}
TNode TNode::Array() {
    TNode node;
    node.kind = Kind::Array;
    return node;
}
TNode TNode::Object() {
    TNode node;
    node.kind = Kind::Object;
    return node;
}

using TQuote = std::string (*)(const std::string&);

// Starts a line of the text: lines are separated by CR LF, none is empty.
std::string& NewLine(std::string& text) {
    if (!text.empty()) text += "\r\n";
    return text;
}

// Appends the node's lines to the text, without building them one by one first.
void Render(const TNode& node, const std::string& indent, const std::string& head,
            const std::string& tail, TQuote quote, std::string& text) {
    if (node.kind == TNode::Kind::Scalar) {
        NewLine(text).append(indent).append(head).append(node.text).append(tail);
        return;
    }
    const bool isArray = node.kind == TNode::Kind::Array;
    const std::string inner = indent + "    ";
    NewLine(text).append(indent).append(head).append(isArray ? "[" : "{");
    if (isArray) {
        for (size_t i = 0; i < node.items.size(); ++i) {
            Render(node.items[i], inner, "", i + 1 < node.items.size() ? "," : "", quote, text);
        }
    } else {
        for (size_t i = 0; i < node.memberNames.size(); ++i) {
            Render(node.memberValues[i], inner, quote(node.memberNames[i]) + ": ",
                   i + 1 < node.memberNames.size() ? "," : "", quote, text);
        }
    }
    NewLine(text).append(indent).append(isArray ? "]" : "}").append(tail);
}

std::string RenderText(const TNode& root, TQuote quote) {
    std::string text;
    Render(root, "", "", "", quote, text);
    return text;
}

// QuoteJsonString, and also the remaining control characters as \u00XX: the progress file is
// read back by a strict JSON reader, which refuses raw control characters inside strings.
std::string QuoteProgressString(const std::string& text) {
    std::string quoted = QuoteJsonString(text);
    std::string result;
    result.reserve(quoted.size());
    for (char c : quoted) {
        if (static_cast<unsigned char>(c) < 0x20) {
            result += fmt::format("\\u{:04x}", static_cast<unsigned char>(c));
        } else {
            result += c;
        }
    }
    return result;
}

TNode StringArray(const std::vector<std::string>& items, TQuote quote) {
    TNode array = TNode::Array();
    for (const auto& item : items) array.items.push_back(TNode::Scalar(quote(item)));
    return array;
}

}  // namespace

TReadResult ReadVersionDocument(const std::string& text, TVersionResponse& document,
                                std::string& errorText) {
    document = TVersionResponse();
    json value;
    TReadResult result = ParseObject(text, value, errorText);
    if (result != TReadResult::Document) return result;
    TVersionResponse read;
    if (!ReadVersion(value, read, errorText)) return TReadResult::Error;
    document = std::move(read);
    return TReadResult::Document;
}

TReadResult ReadPackageDocument(const std::string& text, TPackage& document,
                                std::string& errorText) {
    document = TPackage();
    json value;
    TReadResult result = ParseObject(text, value, errorText);
    if (result != TReadResult::Document) return result;
    TPackage read;
    if (!ReadPackage(value, "", read, errorText)) return TReadResult::Error;
    document = std::move(read);
    return TReadResult::Document;
}

bool ReadPackageArray(const std::string& text, std::vector<TPackage>& packages,
                      std::string& errorText) {
    packages.clear();
    json value = ParseJson(text);
    if (!value.is_array()) {
        errorText = kNotAnArray;
        return false;
    }
    for (size_t i = 0; i < value.size(); ++i) {
        if (!value[i].is_object()) {
            errorText = kNotAnObject;
            return false;
        }
        TPackage package;
        if (!ReadPackage(value[i], fmt::format("[{}]", i), package, errorText)) return false;
        packages.push_back(std::move(package));
    }
    return true;
}

std::string QuoteJsonString(const std::string& text) {
    std::string result;
    result.reserve(text.size() + 2);
    result += '"';
    for (char c : text) {
        switch (c) {
            case '"': result += "\\\""; break;
            case '\\': result += "\\\\"; break;
            case '/': result += "\\/"; break;
            case '\b': result += "\\b"; break;
            case '\t': result += "\\t"; break;
            case '\n': result += "\\n"; break;
            case '\f': result += "\\f"; break;
            case '\r': result += "\\r"; break;
            default: result += c;
        }
    }
    result += '"';
    return result;
}

std::string WriteRequestPackages(const std::vector<TRequestPackage>& packages) {
    TNode array = TNode::Array();
    for (const auto& package : packages) {
        TNode object = TNode::Object();
        object.AddMember("name", TNode::Scalar(QuoteJsonString(package.name)));
        object.AddMember("version", TNode::Scalar(QuoteJsonString(package.version)));
        array.items.push_back(std::move(object));
    }
    return RenderText(array, QuoteJsonString);
}

namespace {

// Written as RenderText writes an array of objects with a name and a hash, without the tree: a
// list of many files would need it several times over.
template <typename TFiles, typename TName, typename THash>
std::string RenderRequestFiles(const TFiles& files, TName name, THash hash) {
    std::string text = "[";
    size_t i = 0;
    for (const auto& file : files) {
        text.append("\r\n    {\r\n        \"name\": ").append(QuoteJsonString(name(file)));
        text.append(",\r\n        \"hash\": ").append(QuoteJsonString(hash(file)));
        text.append(++i < files.size() ? "\r\n    }," : "\r\n    }");
    }
    text += "\r\n]";
    return text;
}

}  // namespace

std::string WriteRequestFiles(const std::vector<TRequestFile>& files) {
    return RenderRequestFiles(
        files, [](const TRequestFile& f) -> const std::string& { return f.filename; },
        [](const TRequestFile& f) -> const std::string& { return f.hash; });
}

std::string WriteRequestHashes(const std::vector<std::pair<std::string, std::string>>& files) {
    using TPair = std::pair<std::string, std::string>;
    return RenderRequestFiles(
        files, [](const TPair& f) -> const std::string& { return f.first; },
        [](const TPair& f) -> const std::string& { return f.second; });
}

std::string WriteProgressDocument(const TVersionResponse& document) {
    const TQuote quote = QuoteProgressString;
    auto addString = [quote](TNode& object, const char* key, const std::string& value) {
        if (!value.empty()) object.AddMember(key, TNode::Scalar(quote(value)));
    };
    auto addStrings = [quote](TNode& object, const char* key,
                              const std::vector<std::string>& values) {
        if (!values.empty()) object.AddMember(key, StringArray(values, quote));
    };

    TNode root = TNode::Object();
    addString(root, "version", document.Version);
    if (!document.Packages.empty()) {
        TNode packages = TNode::Array();
        for (const auto& package : document.Packages) {
            TNode object = TNode::Object();
            object.AddMember("id", TNode::Scalar(std::to_string(package.Id)));
            addString(object, "name", package.Name);
            addString(object, "version", package.Version);
            object.AddMember("build", TNode::Scalar("0"));
            addString(object, "filename", package.Filename);
            addStrings(object, "files", package.Files);
            if (package.Size) {
                object.AddMember("size", TNode::Scalar(std::to_string(*package.Size)));
            }
            addString(object, "sha256", package.Sha256);
            packages.items.push_back(std::move(object));
        }
        root.AddMember("packages", std::move(packages));
    }
    addStrings(root, "doomed_packages", document.PackagesToDelete);
    addStrings(root, "doomed_files", document.FilesToDelete);
    return RenderText(root, quote);
}

}  // namespace ombrel::json
