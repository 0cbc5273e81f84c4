#include <windows.h>

#include <cstring>

#include "platform/instruction_resource.h"

namespace ombrel {

bool ReadOwnInstructionResource(std::string& bytes, std::string& error) {
    bytes.clear();
    error.clear();
    // Resource names compare without regard to case; the slot is linked as "INSTRUCTION".
    HRSRC found = FindResourceW(nullptr, L"INSTRUCTION", MAKEINTRESOURCEW(10));
    HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (data == nullptr) {
        error = "Ressource instruction nicht gefunden";
        return false;
    }
    const size_t size = SizeofResource(nullptr, found);
    bytes.assign(static_cast<const char*>(data), strnlen(static_cast<const char*>(data), size));
    return true;
}

}  // namespace ombrel
