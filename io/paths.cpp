#include "io/paths.h"

#include <vector>

namespace ombrel {

bool HasInvalidPathChars(std::string_view path) {
    for (char c : path) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || c == '"' || c == '<' || c == '>' || c == '|') return true;
    }
    return false;
}

void CheckPathChars(std::string_view path) {
    if (HasInvalidPathChars(path)) throw EPathError("Illegal characters in path.");
}

bool IsRootedPath(std::string_view path) {
    if (path.empty()) return false;
    if (path[0] == '\\' || path[0] == '/') return true;
    return path.size() >= 2 && path[1] == ':';
}

std::string PathJoin(std::string_view a, std::string_view b) {
    CheckPathChars(a);
    CheckPathChars(b);
    if (a.empty()) return std::string(b);
    if (b.empty()) return std::string(a);
    if (IsRootedPath(b)) return std::string(b);
    std::string result(a);
    char last = a.back();
    if (last != '\\' && last != '/' && last != ':') result += kPathSeparator;
    result += b;
    return result;
}

std::string NormalizeSeparators(std::string_view path) {
    std::string result(path);
    for (char& c : result) {
        if (c == '\\' || c == '/') c = kPathSeparator;
    }
    return result;
}

std::string ExtractFileDir(std::string_view path) {
    size_t pos = path.find_last_of("/\\");
    if (pos == std::string_view::npos) return "";
    if (pos == 0) return std::string(path.substr(0, 1));
    return std::string(path.substr(0, pos));
}

std::string ExtractFileName(std::string_view path) {
    size_t pos = path.find_last_of("/\\:");
    if (pos == std::string_view::npos) return std::string(path);
    return std::string(path.substr(pos + 1));
}

std::string JoinInside(std::string_view root, std::string_view name) {
    CheckPathChars(name);
    if (name.empty()) throw EPathError("Empty name");
    if (IsRootedPath(name)) throw EPathError("Absolute path not allowed: " + std::string(name));
    std::string cleaned;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = name.size();
        std::string_view part = name.substr(start, end - start);
        if (part == "..") throw EPathError("Path leaves its folder: " + std::string(name));
        if (!part.empty() && part != ".") {
            if (!cleaned.empty()) cleaned += kPathSeparator;
            cleaned += part;
        }
        start = end + 1;
    }
    if (cleaned.empty()) throw EPathError("Empty name");
    return PathJoin(root, cleaned);
}

bool PassesThroughLink(std::string_view root, std::string_view path) {
    std::string prefix(root);
    while (prefix.size() > 1 && (prefix.back() == '/' || prefix.back() == '\\')) prefix.pop_back();
    if (path.substr(0, prefix.size()) != prefix) return true;
    std::string_view rest = path.substr(prefix.size());
    if (!prefix.empty() && prefix != "/" && !rest.empty() && rest[0] != '/' && rest[0] != '\\') {
        return true;  // "/dest2/x" is not below "/dest"
    }
    std::string current = prefix.empty() && !rest.empty() && rest[0] == '/' ? "/" : prefix;
    size_t start = 0;
    while (true) {
        while (start < rest.size() && (rest[start] == '/' || rest[start] == '\\')) ++start;
        size_t end = rest.find_first_of("/\\", start);
        if (end == std::string_view::npos) return false;  // what is left is the last name
        std::string_view part = rest.substr(start, end - start);
        if (part == "..") return true;
        if (!current.empty() && current.back() != '/' && current.back() != '\\') {
            current += kPathSeparator;
        }
        current += part;
        switch (ProbePathOnDisk(current)) {
            case TPathOnDisk::Missing: return false;  // nothing further exists yet
            case TPathOnDisk::Link: return true;
            case TPathOnDisk::Other: break;
        }
        start = end + 1;
    }
}

}  // namespace ombrel
